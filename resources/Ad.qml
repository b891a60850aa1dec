import QtQuick

Rectangle {
    width: 100
    height: 62
}
