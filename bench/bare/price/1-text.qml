// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// The bare window and one line of text in the game's button font.
Rectangle {
    width: 480
    height: 800
    color: "#000000"

    Text {
        text: "New Game"
        color: "#ffffff"
        font.family: "MV Boli"
        font.pointSize: 25
    }
}
