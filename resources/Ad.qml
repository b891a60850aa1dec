// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

Rectangle {
    width: 100
    height: 62
}
