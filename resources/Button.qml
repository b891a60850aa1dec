// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import "scripts.js" as Game

Rectangle {
    id: rectangle1

    property string buttonText: ""

    signal buttonClicked

    x: 2
    y: 2
    width: 350
    height: 47
    color: "#000000"
    radius: 10
    opacity: 0.68
    // Qt Quick still delivers presses to an item at opacity 0; a button faded out must not react.
    enabled: opacity > 0
    border.width: 4
    border.color: "#444343"
    // A control that cannot be pressed now (its screen sliding or covered) is not offered.
    activeFocusOnTab: enabled
    Accessible.focusable: enabled
    Keys.onPressed: (event) => Game.controlKey(event, rectangle1, rectangle1.buttonClicked)

    Text {
        id: label
        anchors.centerIn: parent
        text: rectangle1.buttonText
        color: "#ffffff"
        font.family: "MV Boli"
        font.pointSize: rectangle1.height / 2
    }

    FocusRing {}

    Accessible.role: Accessible.Button
    Accessible.name: buttonText
    Accessible.onPressAction: Game.pressLikeATap(rectangle1, rectangle1.buttonClicked)

    MouseArea {
        id: area
        anchors.fill: parent
        onClicked: rectangle1.buttonClicked()
    }

    // Light while held; a press taken away (by a modal ad dialog) puts the resting look back.
    states: State {
        name: "pressed"
        when: area.pressed
        PropertyChanges { target: rectangle1; color: "#e8e3e3" }
        PropertyChanges { target: label; color: "#000000" }
    }
}
