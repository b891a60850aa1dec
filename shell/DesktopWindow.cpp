// SPDX-License-Identifier: GPL-3.0-or-later
#include "DesktopWindow.h"

#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QScreen>
#include <QTimer>
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

namespace {

// Sees the window's keys before the scene does, so F11 works whatever has the focus.
class FullScreenKey : public QObject {
public:
    FullScreenKey(QWindow &window, const QSize &shape)
        : QObject(&window)
        , window(window)
        , shape(shape)
    {
        window.installEventFilter(this);
        // A child, so the window's own tests can tell a look is due.
        frameCheck.setParent(this);
        frameCheck.setSingleShot(true);
        frameCheck.setInterval(FrameCheckMs);
        connect(&frameCheck, &QTimer::timeout, this, [this] { fitOnScreen(); });
    }

    bool eventFilter(QObject *, QEvent *event) override
    {
        // The first move or resize after F11 is the window manager placing the window.
        if ((event->type() == QEvent::Resize || event->type() == QEvent::Move) && leavingFullScreen) {
            leavingFullScreen = false;
            frameChecks = 0;
            fitOnScreen();
            return false;
        }
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() != Qt::Key_F11 || key->isAutoRepeat())
            return false;
        // A fit still looking for the frame belongs to the last switch: run late, it would
        // take the window back out of full screen.
        frameCheck.stop();
        frameChecks = 0;
        leavingFullScreen = window.windowStates() & Qt::WindowFullScreen;
        if (leavingFullScreen)
            window.showNormal();
        else
            window.showFullScreen();
        return true;
    }

private:
    // The window manager gives back the size the window had before full screen, the
    // scene's 480x800, which with its frame is taller than many a laptop's screen. Such a
    // window is shrunk, keeping its shape, until it fits with its frame, and is centred.
    // One given a few pixels less on a side (XWayland's) takes the scene's shape again.
    void fitOnScreen()
    {
        const QRect room = window.screen()->availableGeometry();
        const QMargins frame = window.frameMargins();
        // The window manager may place the window before it tells the frame it drew
        // around it, and no event says when it has: look again a few times, briefly.
        if (frame.isNull() && !(window.flags() & Qt::FramelessWindowHint) && ++frameChecks <= MaxFrameChecks) {
            frameCheck.start();
            return;
        }
        const QSize most = room.size().shrunkBy(frame);
        const QSize wanted = shape.isValid() ? shape : window.size();
        if (window.width() <= most.width() && window.height() <= most.height()) {
            const QSize reshaped = wanted.scaled(window.size(), Qt::KeepAspectRatio);
            if (reshaped != window.size())
                window.resize(reshaped);
            return;
        }
        const QSize fitted = wanted.scaled(most, Qt::KeepAspectRatio);
        QRect outer(QPoint(), fitted.grownBy(frame));
        outer.moveCenter(room.center());
        window.resize(fitted);
        window.setFramePosition(outer.topLeft());
    }

    static constexpr int MaxFrameChecks = 10;
    static constexpr int FrameCheckMs = 100;

    QWindow &window;
    QSize shape;
    bool leavingFullScreen = false;
    int frameChecks = 0;
    QTimer frameCheck;
};

} // namespace

void addFullScreenKey(QWindow &window, const QSize &shape)
{
    new FullScreenKey(window, shape);
}
