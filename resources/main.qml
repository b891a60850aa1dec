// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import "scripts.js" as Game

Rectangle {
    id: gameArea

    property int score: 0
    property int lives: 3
    property int clickCount: 0
    property int gameTimerInterval: 1000
    // Every chance in the game is drawn from here, so a test can put in its own sequence.
    property var random: Math.random
    // Evaluating this once at load sends the connection probe.
    property string advert: Game.getQuillonAd(0)
    // Slides under way. While one runs no screen takes a press or a key: a second tap would
    // land on whatever slid under the finger, and a move between two named states has no
    // slide to show its screen.
    property int slidesRunning: 0
    readonly property bool sliding: slidesRunning > 0
    // Whether the player has used a key since the last pointer press: the focus ring shows
    // only then, so a player who only taps sees every screen as it always was.
    property bool keysUsed: false

    // Called by the shell as the game quits.
    function writeWaitingScoresAtQuit() {
        Game.writeWaitingScoresAtQuit();
    }

    component HideTimer: Timer {
        property int hole
        interval: 1500
        onTriggered: Game.hideMonkey(hole)
    }

    component SlideTransition: Transition {
        property Item arriving
        property Item leaving
        property bool resetArriving: false

        onRunningChanged: {
            gameArea.slidesRunning += running ? 1 : -1;
            // Once the screen takes presses, its first control takes the keyboard; nothing
            // on the screen that slid away keeps it.
            if (!running)
                Game.focusFirstControl(arriving);
        }

        SequentialAnimation {
            ScriptAction {
                script: {
                    arriving.visible = true;
                    if (resetArriving)
                        arriving.state = "";
                }
            }
            NumberAnimation { property: "x"; duration: 300; easing.type: Easing.OutInSine }
            ScriptAction { script: leaving.visible = false }
        }
    }

    function minimise() {
        appData.minimize();
        advertisement.start();
    }

    function close() {
        advertisement.start();
        appData.close();
    }

    function focusStartScreen() {
        if (state === "" && mainView.enabled)
            Game.focusFirstControl(mainView);
    }

    width: 480
    height: 800

    // The start screen takes neither presses nor the keyboard while the connection overlay
    // covers its buttons.
    StartScreen {
        id: mainView
        enabled: !gameArea.sliding && !item1.visible
        x: 0
        width: gameArea.width
        height: gameArea.height
    }

    GameScreen {
        id: gameView
        enabled: !gameArea.sliding
        x: gameArea.width
        width: gameArea.width
        height: gameArea.height
        visible: false
        scoreText: gameArea.score
        livesText: gameArea.lives
    }

    InfoScreen {
        id: infoView
        enabled: !gameArea.sliding
        x: gameArea.width
        width: gameArea.width
        height: gameArea.height
        visible: false
    }

    HighScoreScreen {
        id: highScoreView
        enabled: !gameArea.sliding
        x: gameArea.width
        width: gameArea.width
        height: gameArea.height
        visible: false
    }

    Timer {
        id: gameTimer
        interval: gameArea.gameTimerInterval
        repeat: true
        running: false
        onTriggered: Game.gameLoop(true)
    }

    // Ends a connection probe that has had no answer for Game.PROBE_WAIT ms.
    Timer {
        id: probeTimer
        property var request: null
        onTriggered: Game.giveUpProbe()
    }

    HideTimer { id: hideTimer1; hole: 1 }
    HideTimer { id: hideTimer2; hole: 2 }
    HideTimer { id: hideTimer3; hole: 3 }
    HideTimer { id: hideTimer4; hole: 4 }
    HideTimer { id: hideTimer5; hole: 5 }
    HideTimer { id: hideTimer6; hole: 6 }
    HideTimer { id: hideTimer7; hole: 7 }
    HideTimer { id: hideTimer8; hole: 8 }

    Image {
        id: image1
        x: 5
        y: 5
        width: 40
        height: 40
        opacity: 0.4
        source: "images/minimize.png"
        fillMode: Image.PreserveAspectFit
        activeFocusOnTab: true
        Keys.onPressed: (event) => Game.controlKey(event, image1, gameArea.minimise)
        Accessible.role: Accessible.Button
        Accessible.name: "Minimise"
        Accessible.onPressAction: Game.pressLikeATap(image1, gameArea.minimise)

        FocusRing { cornerRadius: 4 }

        MouseArea {
            anchors.fill: parent
            onClicked: gameArea.minimise()
        }
    }

    Image {
        id: image2
        width: 40
        height: 40
        anchors.top: parent.top
        anchors.topMargin: 5
        anchors.right: parent.right
        anchors.rightMargin: 5
        opacity: 0.4
        source: "images/close.png"
        fillMode: Image.PreserveAspectFit
        activeFocusOnTab: true
        Keys.onPressed: (event) => Game.controlKey(event, image2, gameArea.close)
        Accessible.role: Accessible.Button
        Accessible.name: "Close"
        Accessible.onPressAction: Game.pressLikeATap(image2, gameArea.close)

        FocusRing { cornerRadius: 4 }

        MouseArea {
            anchors.fill: parent
            onClicked: gameArea.close()
        }
    }

    Advertisement {
        id: quillon_ad
        anchors.fill: parent
        opacity: 0
        // Qt Quick still hands presses to fully transparent items; the panel lies over every
        // screen and must never take a touch meant for them.
        enabled: opacity > 0
    }

    // While it shows it has the keyboard: Return on its error asks again, as a tap does.
    Item {
        id: item1
        x: 30
        y: 302
        width: 428
        height: 242
        focus: true
        activeFocusOnTab: true
        Keys.onPressed: (event) => Game.controlKey(event, item1, Game.retryConnection)
        Accessible.role: Accessible.Button
        Accessible.name: text1.text
        Accessible.onPressAction: Game.pressLikeATap(item1, Game.retryConnection)
        // The start screen's first control takes the keyboard once the probe has its answer,
        // as soon as the screen it lies on takes it.
        onVisibleChanged: {
            if (visible)
                forceActiveFocus();
            else
                Qt.callLater(gameArea.focusStartScreen);
        }

        Rectangle {
            anchors.fill: parent
            color: "#c8000000"
            radius: 40

            Text {
                id: text1
                x: 87
                y: 107
                width: 300
                height: 100
                color: "#ffffff"
                font.pixelSize: 24
                wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                text: "Waiting data connection"
                Accessible.role: Accessible.StaticText
                Accessible.name: text
                onTextChanged: {
                    if (item1.visible)
                        item1.forceActiveFocus();
                }
            }

            // Swallows every press so the start screen stays blocked until the probe answers;
            // a tap on the error that asks to try again sends the probe again.
            MouseArea {
                anchors.fill: parent
                anchors.topMargin: -1
                anchors.bottomMargin: 1
                onClicked: Game.retryConnection()
            }
        }

        FocusRing { cornerRadius: 40 }
    }

    // Any pointer press puts the focus ring away; the press itself goes on to whatever lies
    // beneath.
    MouseArea {
        anchors.fill: parent
        onPressed: (mouse) => {
            gameArea.keysUsed = false;
            mouse.accepted = false;
        }
    }

    states: [
        State {
            name: "game"
            PropertyChanges { target: mainView; x: -gameArea.width }
            PropertyChanges { target: gameView; x: 0 }
            PropertyChanges { target: item1; visible: false }
            PropertyChanges { target: quillon_ad; visible: true }
        },
        State {
            name: "info"
            PropertyChanges { target: mainView; x: -gameArea.width }
            PropertyChanges { target: infoView; x: 0 }
            PropertyChanges { target: item1; visible: false }
            PropertyChanges { target: quillon_ad; visible: true }
        },
        State {
            name: "highscore"
            PropertyChanges { target: mainView; x: -gameArea.width }
            PropertyChanges { target: gameView; x: -gameArea.width }
            PropertyChanges { target: highScoreView; x: 0 }
            PropertyChanges { target: item1; visible: false }
            PropertyChanges { target: quillon_ad; visible: true }
        }
    ]

    transitions: [
        SlideTransition { from: ""; to: "game"; arriving: gameView; leaving: mainView },
        SlideTransition { from: "game"; to: ""; arriving: mainView; leaving: gameView },
        SlideTransition { from: ""; to: "info"; arriving: infoView; leaving: mainView },
        SlideTransition { from: "info"; to: ""; arriving: mainView; leaving: infoView },
        SlideTransition { from: ""; to: "highscore"; arriving: highScoreView; leaving: mainView; resetArriving: true },
        SlideTransition { from: "game"; to: "highscore"; arriving: highScoreView; leaving: gameView; resetArriving: true },
        SlideTransition { from: "highscore"; to: ""; arriving: mainView; leaving: highScoreView }
    ]
}
