// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QCoreApplication>
#include <QKeyEvent>
#include <QWindow>

// One auto-repeated press of a key, as a window gets it while the key is held down.
inline void sendHeldKeyRepeat(QWindow &window, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QKeyEvent repeat(QEvent::KeyPress, key, modifiers, QString(), true);
    QCoreApplication::sendEvent(&window, &repeat);
}
