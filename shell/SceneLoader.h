// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QUrl>

class QQuickView;

// Loads the root scene into the view. A scene that fails to load would leave an empty
// full-screen window that cannot be closed, so the caller gets false and ends the process;
// the engine's errors are on standard error.
bool loadScene(QQuickView &view, const QUrl &source);
