// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import "scripts.js" as Game

Rectangle {
    id: hole

    property string image: "holebg3"
    property string image2: "hole"
    property int idNumber: 0
    property int hasMonkey: 0
    property int flipSpeed: 500

    readonly property var points: ({ "holebg1": 1, "holebg2": 2, "holebg3": 3 })

    // A finger down on the card, or the hole's number key.
    function press() {
        if (hole.state !== "hasMonkey")
            return;
        flipable.flipped = true;
        Game.addScore(hole.points[hole.image], hole.idNumber);
    }

    width: 200
    height: 200
    color: "#00000000"
    // A control that cannot be pressed now (its screen sliding or covered) is not offered.
    activeFocusOnTab: enabled
    Accessible.focusable: enabled
    Keys.onPressed: (event) => Game.controlKey(event, hole, hole.press)
    Accessible.role: Accessible.Button
    Accessible.name: "Hole " + idNumber
    Accessible.onPressAction: Game.pressLikeATap(hole, hole.press)

    // The number keys, main row and keypad alike, stand for the holes.
    Shortcut {
        sequence: String(hole.idNumber)
        autoRepeat: false
        enabled: Game.canPress(hole)
        onActivated: hole.press()
    }

    Flipable {
        id: flipable

        property int angle: 180
        property bool flipped: true

        anchors.fill: parent

        front: Image {
            anchors.fill: parent
            source: "images/" + hole.image + ".png"
        }
        back: Image {
            anchors.fill: parent
            source: "images/holebg.png"
        }

        transform: Rotation {
            origin.x: flipable.width / 2
            origin.y: flipable.height / 2
            axis { x: 0; y: 1; z: 0 }
            angle: flipable.angle
        }

        // The card rests on its empty face; a state for the monkey's face, rather than one
        // for the empty face, lets it start there without a turn when the scene loads.
        states: State {
            name: "front"
            when: !flipable.flipped
            PropertyChanges { target: flipable; angle: 0 }
        }

        transitions: Transition {
            NumberAnimation { target: flipable; property: "angle"; duration: hole.flipSpeed }
        }

        // Finger down is enough: waiting for the release would let the monkey escape meanwhile.
        // Each hole follows a finger of its own, so fingers landing on other holes at the same
        // time all count; a finger that slides onto the card from elsewhere was never pressed
        // here and takes nothing.
        TapHandler {
            onPressedChanged: {
                if (pressed)
                    hole.press();
            }
        }
    }

    // The rim's opening is transparent and the rim takes no presses, so the card shows and
    // is pressed through it.
    Image {
        id: img
        anchors.fill: parent
        z: 2
        source: "images/" + hole.image2 + ".png"
    }

    FocusRing { cornerRadius: 20; z: 3 }

    states: State {
        name: "hasMonkey"
        PropertyChanges { target: flipable; flipped: false }
    }
}
