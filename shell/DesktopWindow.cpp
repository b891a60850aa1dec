#include "DesktopWindow.h"

#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
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
    explicit FullScreenKey(QWindow &window)
        : QObject(&window)
        , window(window)
    {
        window.installEventFilter(this);
    }

    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() != Qt::Key_F11 || key->isAutoRepeat())
            return false;
        if (window.windowStates() & Qt::WindowFullScreen)
            window.showNormal();
        else
            window.showFullScreen();
        return true;
    }

private:
    QWindow &window;
};

} // namespace

void addFullScreenKey(QWindow &window)
{
    new FullScreenKey(window);
}
