// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import "scripts.js" as Game

Rectangle {
    id: gameScreen

    property alias hole1: hole1
    property alias hole2: hole2
    property alias hole3: hole3
    property alias hole4: hole4
    property alias hole5: hole5
    property alias hole6: hole6
    property alias hole7: hole7
    property alias hole8: hole8
    property alias scoreText: scoreText.text
    property alias livesText: livesText.text
    property int gamesPlayed: 0

    // Taken from the actual size and used unrounded, so the board fills any screen alike.
    readonly property real holeWidth: width / 2.5
    readonly property real holeHeight: height / 4.7

    // Two columns, four rows, numbered left to right and top to bottom.
    component BoardHole: Hole {
        readonly property int column: (idNumber - 1) % 2
        readonly property int row: Math.floor((idNumber - 1) / 2)

        x: column === 0 ? gameScreen.holeWidth / 8 : gameScreen.holeWidth + gameScreen.holeWidth / 8 * 3
        y: gameScreen.holeHeight * row + gameScreen.holeHeight / 10
        width: gameScreen.holeWidth
        height: gameScreen.holeHeight
    }

    // The substituted font is wider than the one the lines were written for: a line keeps
    // its size where it fits and shrinks only as far as it must to stay clear of the
    // overlay's rounded edges.
    component OverlayText: Text {
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.top: parent.top
        anchors.bottom: parent.bottom
        width: parent.width - 2 * 16
        horizontalAlignment: Text.AlignHCenter
        fontSizeMode: Text.HorizontalFit
        opacity: 0
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }

    function offerAdOnEvenGame() {
        if (gamesPlayed % 2 === 0)
            advertisement.start();
    }

    width: 460
    height: 800

    ScreenBackground {}

    // The keyboard reaches the controls in reading order: the holes row by row, then the
    // buttons left to right. The buttons lie above the board, wherever they are declared.
    BoardHole { id: hole1; idNumber: 1 }
    BoardHole { id: hole2; idNumber: 2 }
    BoardHole { id: hole3; idNumber: 3 }
    BoardHole { id: hole4; idNumber: 4 }
    BoardHole { id: hole5; idNumber: 5 }
    BoardHole { id: hole6; idNumber: 6 }
    BoardHole { id: hole7; idNumber: 7 }
    BoardHole { id: hole8; idNumber: 8 }

    PictureButton {
        id: restart
        width: 64
        height: 64
        sourceSize.width: 64
        sourceSize.height: 64
        anchors.right: homeBtn.left
        anchors.rightMargin: 20
        anchors.verticalCenter: homeBtn.verticalCenter
        z: 1
        picture: "restart"
        Accessible.name: "Restart"
        onClicked: Game.newGame()
    }

    HomeButton {
        id: homeBtn
        anchors.bottomMargin: 4
    }

    PictureButton {
        id: highscore
        width: 64
        height: 64
        sourceSize.width: 64
        sourceSize.height: 64
        anchors.left: homeBtn.right
        anchors.leftMargin: 20
        anchors.verticalCenter: homeBtn.verticalCenter
        z: 1
        picture: "highscore"
        Accessible.name: "High scores"
        onClicked: {
            Game.getScores();
            Game.setState("highscore");
        }
    }

    Text {
        id: scoreText
        anchors.left: parent.left
        anchors.leftMargin: 10
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 10
        color: "#ffffff"
        font.family: "MV Boli"
        font.pixelSize: 35
        Accessible.role: Accessible.StaticText
        Accessible.name: "Score " + text
    }

    Text {
        id: livesText
        anchors.right: parent.right
        anchors.rightMargin: 10
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 10
        color: "#ffffff"
        font.family: "MV Boli"
        font.pixelSize: 35
        Accessible.role: Accessible.StaticText
        Accessible.name: "Lives " + text
    }

    // No press area of its own: a monkey left standing behind it can still be pressed away.
    Rectangle {
        id: rectangle2
        anchors.left: hole1.left
        anchors.top: hole1.top
        anchors.right: hole2.right
        anchors.bottom: hole7.bottom
        color: "#ffffff"
        opacity: 0

        OverlayText { id: title; anchors.topMargin: 10 }
        OverlayText { id: text2; anchors.topMargin: 80 }
    }

    states: [
        State {
            name: "gameOver"
            PropertyChanges { target: rectangle2; color: "#a0000000"; radius: 61; opacity: 1 }
            PropertyChanges { target: title; text: "Game over!"; color: "#ffffff"; font.pointSize: 24; opacity: 1 }
            PropertyChanges { target: text2; text: "You got to high scores list!"; color: "#ffffff"; font.pointSize: 23; opacity: 1 }
        },
        State {
            name: "gameOver1"
            PropertyChanges { target: rectangle2; color: "#a0000000"; radius: 61; opacity: 1 }
            PropertyChanges { target: title; text: "Game over!"; color: "#ffffff"; font.pointSize: 24; opacity: 1 }
            PropertyChanges { target: text2; text: "You didn't get new highscore!"; color: "#ffffff"; font.pointSize: 23; opacity: 1 }
        }
    ]

    // The score is saved before the ad: start() returns only once a dialog shown there has
    // closed, and a game ended in those seconds must not take the score with it.
    transitions: [
        Transition {
            from: ""
            to: "gameOver1"
            ScriptAction { script: gameScreen.offerAdOnEvenGame() }
        },
        Transition {
            from: ""
            to: "gameOver"
            ScriptAction {
                script: {
                    Game.saveHighScore();
                    gameScreen.offerAdOnEvenGame();
                }
            }
        }
    ]
}
