import QtQuick
import "scripts.js" as Game

Rectangle {
    id: gameScreen

    property alias scoreText: scoreText.text
    property alias livesText: livesText.text
    property int gamesPlayed: 0

    width: 460
    height: 800

    Text { id: scoreText }
    Text { id: livesText }
}
