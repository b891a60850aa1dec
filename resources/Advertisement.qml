// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// An ad shown inside the scene. The scene keeps the panel fully transparent, which also
// keeps it from taking any touch; the panel is hidden only by its opacity, its own visible
// stays true. What it holds is not visible while it is transparent (below), so its buttons
// take no keyboard either.
Item {
    id: advertisement

    property string ad: ""
    property alias html: webView.text

    Rectangle {
        id: background
        anchors.fill: parent
        color: "#000000"
        // Nothing in it shows while the panel is transparent: its buttons take no keyboard
        // and assistive technology does not list them as showing.
        visible: advertisement.opacity > 0

        // Qt's rich-text subset stands in for a browser engine the panel would never use.
        Text {
            id: webView
            x: 2
            y: 50
            width: parent.width - 4
            height: 220
            textFormat: Text.RichText
            wrapMode: Text.WordWrap
            clip: true
            text: ""

            MouseArea {
                anchors.fill: parent
                onClicked: {
                    Qt.openUrlExternally(advertisement.ad)
                    advertisement.opacity = 0
                }
            }
        }

        Button {
            id: viewButton
            x: 22
            y: 280
            width: 194
            height: 47
            opacity: 1
            buttonText: "VIEW"
            onButtonClicked: {
                Qt.openUrlExternally(advertisement.ad)
                advertisement.opacity = 0
            }
        }

        Button {
            id: skipButton
            x: 242
            y: 280
            width: 204
            height: 47
            opacity: 1
            buttonText: "SKIP"
            onButtonClicked: advertisement.opacity = 0
        }

        // Swallows touches on the lower part so they never reach the screen underneath.
        MouseArea {
            id: touchCatcher
            x: 1
            y: 342
            width: 478
            height: 458
        }

        Text {
            x: 31
            y: 438
            width: 420
            color: "#ffffff"
            text: "Please support my game development and view the ad."
            font.pixelSize: 24
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
        }

        Text {
            x: 174
            y: 557
            color: "#ffffff"
            text: "Thank you!"
            font.bold: true
            font.pixelSize: 24
        }
    }
}
