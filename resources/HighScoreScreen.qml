import QtQuick
import "scripts.js" as Game

Rectangle {
    property string highscores: ""
    property string username: ""
    property string password: ""

    width: 480
    height: 800
    color: "#000000"
}
