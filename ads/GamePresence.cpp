// SPDX-License-Identifier: GPL-3.0-or-later
#include "GamePresence.h"

#include <QEvent>
#include <QGuiApplication>

namespace {

// How long a Wayland compositor may take to take the keyboard from a game it minimises.
constexpr int MinimiseUnansweredMs = 1000;

} // namespace

GamePresence::Platform GamePresence::currentPlatform()
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland")) ? Platform::TellsNothing
                                                                                : Platform::ReportsMinimise;
}

GamePresence::GamePresence(QWindow *game, Platform platform, QObject *parent)
    : QObject(parent)
    , window(game)
    , kind(platform)
{
    minimiseUnanswered.setSingleShot(true);
    minimiseUnanswered.setInterval(MinimiseUnansweredMs);
    connect(&minimiseUnanswered, &QTimer::timeout, this, [this] {
        if (!keyboardLeft)
            minimisedItself = false;
        update();
    });
    if (!game)
        return;
    connect(game, &QWindow::windowStateChanged, this, [this](Qt::WindowState state) {
        if (state == Qt::WindowMinimized)
            noteMinimised();
        update();
    });
    connect(game, &QWindow::visibleChanged, this, &GamePresence::update);
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, &GamePresence::noteKeyboard);
    // Exposure has no signal: its events come to the window.
    game->installEventFilter(this);
    seen = sees();
}

bool GamePresence::eventFilter(QObject *, QEvent *event)
{
    if (event->type() == QEvent::Expose)
        update();
    return false;
}

// The keyboard is with the game's window or with one that belongs to it (an ad dialog).
bool GamePresence::keyboardWithGame() const
{
    for (QWindow *focus = QGuiApplication::focusWindow(); focus; focus = focus->transientParent()) {
        if (focus == window)
            return true;
    }
    return false;
}

bool GamePresence::sees() const
{
    if (!window || !window->isVisible())
        return false;
    if (kind == Platform::ReportsMinimise)
        return !(window->windowStates() & Qt::WindowMinimized);
    // The keyboard gone to another program stands for the compositor's minimise, of which
    // the game hears nothing, and for another program raised over the game.
    return !minimisedItself && keyboardWithGame() && window->isExposed();
}

// Qt tells a Wayland game only of the minimise it asked for itself.
void GamePresence::noteMinimised()
{
    if (kind != Platform::TellsNothing)
        return;
    minimisedItself = true;
    keyboardLeft = !keyboardWithGame();
    minimiseUnanswered.start();
}

void GamePresence::noteKeyboard()
{
    if (!keyboardWithGame()) {
        keyboardLeft = true;
    } else if (std::exchange(keyboardLeft, false)) {
        minimisedItself = false;
    }
    update();
}

void GamePresence::update()
{
    const bool now = sees();
    if (now == seen)
        return;
    seen = now;
    if (seen)
        emit gameBack();
    else
        emit gameHidden();
}
