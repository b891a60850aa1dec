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
