// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// The bare window and the start screen's picture.
Rectangle {
    width: 480
    height: 800
    color: "#000000"

    Image {
        anchors.fill: parent
        source: "../../../resources/images/start.jpg"
    }
}
