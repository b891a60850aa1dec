// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWindow>

// Whether the player can see the game's window now. The ad dialogs ask it before they show,
// and follow its changes; nothing else keeps a copy.
//
// X11 reports every minimise, the game's own and the window manager's. A Wayland
// compositor reports none: there the game counts as away from its own minimise until it has
// the keyboard again, and whenever the keyboard is with another program (a compositor's
// minimise, another program raised over the game) or the game is not exposed (a compositor
// that stops drawing it).
class GamePresence : public QObject {
    Q_OBJECT

public:
    enum class Platform { ReportsMinimise, TellsNothing };
    static Platform currentPlatform();

    GamePresence(QWindow *game, Platform platform, QObject *parent = nullptr);

    bool playerSeesGame() const { return seen; }
    Platform platform() const { return kind; }
    QWindow *game() const { return window; }

signals:
    void gameHidden();
    void gameBack();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool keyboardWithGame() const;
    bool sees() const;
    void noteMinimised();
    void noteKeyboard();
    void update();

    QPointer<QWindow> window;
    Platform kind;
    bool seen = false;
    // Wayland: the game minimised itself and the keyboard has not come back to it since.
    bool minimisedItself = false;
    bool keyboardLeft = false;
    // A compositor that keeps the game on the screen (a kiosk) ignores the minimise and never
    // takes the keyboard: after this long the game counts as seen again.
    QTimer minimiseUnanswered;
};
