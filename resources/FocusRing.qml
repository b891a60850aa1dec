// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// Marks the control it lies in as the one the keyboard presses, from the first key used to
// the next pointer press. It lies around the control, never over its size or place.
Rectangle {
    property real cornerRadius: 10

    anchors.fill: parent
    anchors.margins: -5
    radius: cornerRadius + 5
    color: "transparent"
    border.width: 3
    border.color: "#e8e3e3"
    visible: parent.activeFocus && gameArea.keysUsed
}
