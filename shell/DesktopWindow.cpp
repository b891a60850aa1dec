#include "DesktopWindow.h"

#include <QGuiApplication>
#include <QIcon>
#include <QShortcut>
#include <QWindow>

void nameApplicationForDesktop()
{
    // The installed entry is tamboro.desktop. The icon is compiled in, the same pictures the
    // install ships, so a build that is not installed shows it too.
    QGuiApplication::setDesktopFileName(QStringLiteral("tamboro"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/shell/tamboro-64.png"));
    icon.addFile(QStringLiteral(":/shell/tamboro-256.png"));
    QGuiApplication::setWindowIcon(icon);
}

void addFullScreenKey(QWindow &window)
{
    auto *shortcut = new QShortcut(QKeySequence(Qt::Key_F11), &window);
    shortcut->setAutoRepeat(false);
    QObject::connect(shortcut, &QShortcut::activated, &window, [&window] {
        if (window.windowStates() & Qt::WindowFullScreen)
            window.showNormal();
        else
            window.showFullScreen();
    });
}
