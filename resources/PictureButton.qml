// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import "scripts.js" as Game

// Shows "<picture>2" while held. A release outside, or a press taken away (by a modal ad
// dialog), restores the picture without acting.
Image {
    id: button

    property string picture
    signal clicked

    source: "images/" + picture + (area.pressed ? "2" : "") + ".png"
    // A control that cannot be pressed now (its screen sliding or covered) is not offered.
    activeFocusOnTab: enabled
    Accessible.focusable: enabled
    Keys.onPressed: (event) => Game.controlKey(event, button, button.clicked)
    Accessible.role: Accessible.Button
    Accessible.onPressAction: Game.pressLikeATap(button, button.clicked)

    FocusRing { cornerRadius: 14 }

    MouseArea {
        id: area
        anchors.fill: parent
        onClicked: button.clicked()
    }
}
