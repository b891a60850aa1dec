// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import "scripts.js" as Game

// The house at the foot of a screen, which leads back to the start screen. Escape presses
// it whenever a finger could.
PictureButton {
    id: home

    width: 90
    height: 90
    anchors.horizontalCenter: parent.horizontalCenter
    anchors.bottom: parent.bottom
    anchors.bottomMargin: 5
    z: 2
    picture: "homebtn"
    Accessible.name: "Home"
    onClicked: Game.setState("")

    Shortcut {
        sequence: "Escape"
        enabled: Game.canPress(home)
        onActivated: home.clicked()
    }
}
