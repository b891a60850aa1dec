// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// Shows "<picture>2" while held. A release outside, or a press taken away (by a modal ad
// dialog), restores the picture without acting.
Image {
    id: button

    property string picture
    signal clicked

    source: "images/" + picture + (area.pressed ? "2" : "") + ".png"
    Accessible.role: Accessible.Button

    MouseArea {
        id: area
        anchors.fill: parent
        onClicked: button.clicked()
    }
}
