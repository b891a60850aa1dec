// SPDX-License-Identifier: GPL-3.0-or-later
#include "AppData.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QQuickWindow>

void AppData::minimize()
{
    // The phone's desktop takes the view off the screen on this signal. It is sent twice,
    // as that desktop has always been asked; without a bus both sends fail silently.
    const QDBusMessage message = QDBusMessage::createSignal(
        QStringLiteral("/"), QStringLiteral("com.nokia.hildon_desktop"), QStringLiteral("exit_app_view"));
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.send(message);
    bus.send(message);

    // Desktops that do not listen for that signal still expect the window to minimise. The
    // minimised state is added to the others rather than replacing them, so the window
    // comes back full screen (or however the player left it) when restored.
    const QWindowList windows = QGuiApplication::topLevelWindows();
    for (QWindow *window : windows) {
        if (qobject_cast<QQuickWindow *>(window) && window->isVisible())
            window->setWindowStates(window->windowStates() | Qt::WindowMinimized);
    }
}

void AppData::close()
{
    QCoreApplication::quit();
}
