import QtQuick

Item {
    id: advertisement

    property string ad: ""
    property string html: ""
}
