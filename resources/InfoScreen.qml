// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

Rectangle {
    width: 480
    height: 800
    color: "#000000"

    ScreenBackground {}

    Text {
        id: title
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.top: parent.top
        anchors.topMargin: 10
        text: "How to play?"
        color: "#ffffff"
        font.pointSize: 34
    }

    HomeButton { id: homeButton }

    Item {
        x: 32
        y: 98
        width: 414
        height: 552

        Text {
            id: helpText
            anchors.fill: parent
            color: "#ffffff"
            font.pointSize: 23
            font.bold: false
            // The substituted font may be wider than the one the lines were written for; a
            // wrapped line would push the last ones under the about text.
            fontSizeMode: Text.HorizontalFit
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignTop
            wrapMode: Text.WordWrap
            text: "When you see monkey in the hole,\n"
                + "press it before it goes away.\n"
                + "\n"
                + "If you miss three monkeys or\n"
                + "the screen fills, you lose the game.\n"
                + "\n"
                + "Blue monkey - 1 point\n"
                + "Violet monkey - 2 points\n"
                + "Yellow monkey - 3 points"
        }

        Text {
            id: aboutText
            anchors.horizontalCenter: parent.horizontalCenter
            anchors.bottom: parent.bottom
            anchors.bottomMargin: 0
            color: "#ffffff"
            font.pointSize: 14
            horizontalAlignment: Text.AlignHCenter
            text: "About application\n"
                + "Developer - Kelto Games\n"
                + "Name - Tamboro 2 (v2.0.1)\n"
                + "More info - http://kelto.example/tamboro"
        }
    }
}
