// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// The start screen's picture and, hidden behind it as the game's other screens are, the
// background those screens share: it is decoded before the first frame all the same.
Rectangle {
    width: 480
    height: 800
    color: "#000000"

    Image {
        anchors.fill: parent
        source: "../../../resources/images/start.jpg"
    }

    Image {
        anchors.fill: parent
        source: "../../../resources/images/bg.jpg"
        visible: false
    }
}
