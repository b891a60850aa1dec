// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// The grey texture behind every screen but the start screen, decoded when its screen
// first shows rather than before the first frame.
Image {
    anchors.fill: parent
    source: visible ? "images/bg.jpg" : ""
}
