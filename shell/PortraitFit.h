// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QSize>
#include <QSizeF>

class QQuickView;

// The scene is always 480x800 logical pixels. This keeps it upright and whole in a window
// of any size: scaled uniformly to fit, centred, with black bars where the shapes differ.
// A 480x800 window shows it exactly 1:1. Shown larger, by the fit or by the screen's pixel
// ratio, the scene's pictures come from their "@2x" files so they stay sharp.
void keepPortrait(QQuickView &view);
// How many times its own size the scene is drawn in a window of this size.
qreal portraitScale(const QSizeF &window);
// The scene's own size in logical pixels.
QSize portraitSceneSize();
