// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import "scripts.js" as Game

Rectangle {
    width: 480
    height: 800

    Image {
        anchors.fill: parent
        source: "images/start.jpg"
    }

    Item {
        id: navigation
        x: 32
        y: 306
        width: 416
        height: 266

        readonly property var menu: [button1, button2, button5, button3, button4]

        // Up and Down walk the menu from top to bottom, stopping at either end.
        function step(by) {
            const at = menu.findIndex((button) => button.activeFocus);
            if (at >= 0)
                menu[Math.max(0, Math.min(menu.length - 1, at + by))].forceActiveFocus(Qt.TabFocusReason);
        }

        Keys.onUpPressed: step(-1)
        Keys.onDownPressed: step(1)

        Button {
            id: button1
            x: 5
            y: 2
            width: 416
            height: 50
            buttonText: "New Game"
            onButtonClicked: Game.newGame()
        }

        Button {
            id: button2
            x: 5
            y: 62
            width: 416
            height: 50
            buttonText: "Highscores"
            onButtonClicked: {
                Game.getScores();
                Game.setState("highscore");
            }
        }

        Button {
            id: button5
            x: 5
            y: 122
            width: 416
            height: 50
            opacity: 0.67
            buttonText: "More Games"
            onButtonClicked: Qt.openUrlExternally(Game.STORE_URL)
        }

        Button {
            id: button3
            anchors.left: parent.left
            anchors.leftMargin: 5
            y: 182
            width: parent.width / 2 - 25
            height: 50
            buttonText: "Help"
            onButtonClicked: gameArea.state = "info"
        }

        Button {
            id: button4
            anchors.right: parent.right
            anchors.rightMargin: 0
            y: 181
            width: parent.width / 2 - 25
            height: 50
            buttonText: "Exit"
            onButtonClicked: {
                advertisement.start();
                appData.close();
            }
        }
    }
}
