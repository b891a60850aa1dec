// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

Rectangle {
    width: 480
    height: 800
    color: "#000000"
}
