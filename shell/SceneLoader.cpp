// SPDX-License-Identifier: GPL-3.0-or-later
#include "SceneLoader.h"

#include <QQuickView>

bool loadScene(QQuickView &view, const QUrl &source)
{
    // The view has already written the engine's errors to standard error.
    view.setSource(source);
    return view.status() == QQuickView::Ready;
}
