// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QWindow;

// What a desktop expects of the game's window beyond the scene: the monkey icon and the
// name of its desktop entry, so docks and task bars group the window with the launcher,
// and F11 to switch between full screen and a window.
void nameApplicationForDesktop();
void addFullScreenKey(QWindow &window);
