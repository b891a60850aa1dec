import QtQuick
import "scripts.js" as Game

Rectangle {
    width: 200
    height: 200
    color: "#00000000"
}
