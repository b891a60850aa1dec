// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QSize>

class QWindow;

// What a desktop expects of the game's window beyond the scene: the monkey icon and the
// name of its desktop entry, so docks and task bars group the window with the launcher,
// and F11 to switch between full screen and a window, one of the given shape where the
// window manager gives back another (none: the window's own).
void nameApplicationForDesktop();
void addFullScreenKey(QWindow &window, const QSize &shape = QSize());
