// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import "scripts.js" as Game

Rectangle {
    id: screen

    property string highscores: ""
    // Kept for the rest of the run only; nothing writes them anywhere.
    property string username: ""
    property string password: ""
    // Scores of this run that qualified while the database would not take them, best first,
    // and the stored scores last listed; the listing shows both until they are written.
    property var unsavedScores: []
    // The last write of waiting scores, { row, scores }, until its rows are found.
    property var unconfirmedWrite: null
    property var listedScores: []

    width: 480
    height: 800
    color: "#000000"

    ScreenBackground {}

    Text {
        id: title
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.top: parent.top
        anchors.topMargin: 10
        text: "High Scores"
        color: "#ffffff"
        font.family: "MS Shell Dlg 2"
        font.pointSize: 23
    }

    Text {
        id: dialogText
        x: 50
        y: 100
        text: screen.highscores
        color: "#ffffff"
        font.pointSize: 20
    }

    Button {
        id: uploadButton
        x: 65
        y: 582
        buttonText: "Upload high score"
        onButtonClicked: {
            if (screen.username !== "") {
                Game.uploadScore(screen.username, screen.password);
                loadingText.opacity = 1;
            } else {
                screen.state = "upload";
                loadingText.opacity = 0;
                // A player at the keyboard goes on typing in the form; a tap leaves the
                // fields as they were, with no cursor until one is tapped.
                if (gameArea.keysUsed)
                    usernameInput.forceActiveFocus(Qt.TabFocusReason);
            }
        }
    }

    Button {
        id: topListButton
        x: 65
        y: 640
        buttonText: "Show global top list"
        onButtonClicked: Qt.openUrlExternally("http://" + Game.SCORE_HOST + "/highscores/tamboro")
    }

    Rectangle {
        id: loginPanel
        x: 38
        y: 86
        width: 404
        height: 444
        color: "#000000"
        visible: false

        Rectangle {
            id: usernameBox
            height: loginPanel.height / 10
            anchors.left: parent.left
            anchors.leftMargin: 10
            anchors.right: parent.right
            anchors.rightMargin: 10
            anchors.verticalCenter: parent.verticalCenter
            color: "#ffffff"
            opacity: 0

            TextInput {
                id: usernameInput
                anchors.fill: parent
                activeFocusOnTab: true
                Keys.onPressed: (event) => Game.fieldKey(event)
                onVisibleChanged: Game.releaseHiddenField(usernameInput, screen)
                Accessible.role: Accessible.EditableText
                Accessible.name: "Username"
                text: "textInput"
                font.pixelSize: 12
            }
        }

        Rectangle {
            id: passwordBox
            height: loginPanel.height / 10
            anchors.left: parent.left
            anchors.leftMargin: 10
            anchors.right: parent.right
            anchors.rightMargin: 10
            anchors.verticalCenter: parent.verticalCenter
            color: "#ffffff"
            opacity: 0

            TextInput {
                id: passwordInput
                anchors.fill: parent
                activeFocusOnTab: true
                // Return sends the form, as "Upload score" does.
                Keys.onPressed: (event) => Game.fieldKey(event, uploadScoreButton)
                onVisibleChanged: Game.releaseHiddenField(passwordInput, screen)
                Accessible.role: Accessible.EditableText
                Accessible.name: "Password"
            }
        }
    }

    Text {
        id: usernameLabel
        x: 61
        y: 162
        text: "Username"
        color: "#ffffff"
        font.pixelSize: 24
        visible: false
    }

    Text {
        id: passwordLabel
        x: 61
        y: 162
        text: "Password"
        color: "#ffffff"
        font.pixelSize: 24
        visible: false
    }

    Button {
        id: uploadScoreButton
        buttonText: "Upload score"
        x: 65
        y: 392
        opacity: 0
        Accessible.name: "Upload score"
        onButtonClicked: {
            loadingText.opacity = 1;
            Game.uploadScore(usernameInput.text, passwordInput.text);
        }
    }

    Button {
        id: getAccountButton
        buttonText: "Get account"
        x: 73
        y: 383
        opacity: 0
        Accessible.name: "Get account"
        onButtonClicked: Qt.openUrlExternally("http://" + Game.SCORE_HOST + "/highscores/createaccount/")
    }

    Text {
        id: loadingText
        x: 188
        y: 544
        width: 80
        height: 20
        text: "Loading..."
        color: "#ffffff"
        font.pixelSize: 24
        opacity: 0
    }

    // Leaving also takes away a "Loading..." shown for an upload.
    HomeButton {
        id: homeButton
        onClicked: loadingText.opacity = 0
    }

    states: [
        State {
            name: "upload"
            PropertyChanges { target: uploadButton; visible: false }
            PropertyChanges { target: topListButton; visible: false }
            PropertyChanges { target: dialogText; visible: false }
            PropertyChanges { target: loginPanel; visible: true; opacity: 0.5; radius: 60 }
            PropertyChanges {
                target: usernameBox
                opacity: 1
                anchors.leftMargin: 20
                anchors.rightMargin: 20
                anchors.verticalCenterOffset: -100
            }
            PropertyChanges {
                target: passwordBox
                opacity: 1
                anchors.leftMargin: 20
                anchors.rightMargin: 20
                anchors.verticalCenterOffset: -10
            }
            PropertyChanges {
                target: usernameInput
                text: ""
                font.pixelSize: 24
                horizontalAlignment: TextInput.AlignHCenter
                opacity: 1
            }
            PropertyChanges {
                target: passwordInput
                horizontalAlignment: TextInput.AlignHCenter
                font.pointSize: 24
                echoMode: TextInput.Password
            }
            PropertyChanges { target: usernameLabel; visible: true; x: 61; y: 157; font.pixelSize: 24 }
            PropertyChanges { target: passwordLabel; visible: true; x: 61; y: 244; font.pixelSize: 24 }
            PropertyChanges { target: uploadScoreButton; x: 65; y: 369; opacity: 0.7 }
            PropertyChanges { target: getAccountButton; x: 65; y: 435; opacity: 0.7 }
            PropertyChanges {
                target: loadingText
                x: 190
                y: 330
                font.pixelSize: 23
                color: "#ffffff"
                opacity: 0
            }
        },
        State {
            name: "uploaded"
            PropertyChanges { target: uploadButton; opacity: 0 }
            PropertyChanges { target: loadingText; visible: false; font.pixelSize: 25 }
            // Leaving this state must not bring back an opacity set before it: "Loading..."
            // shown for an upload from the default state would show again on the next visit.
            PropertyChanges { target: loadingText; opacity: 0; restoreEntryValues: false }
        }
    ]
}
