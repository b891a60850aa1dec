// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWindow>

#include <functional>

class QuillonAdModule;

// The scene's one way to advertising, published to it as "advertisement". It owns the
// game's ad module, asks for the first ad at start-up and shows the held ad on request.
class Ad : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

public slots:
    void startAd();
    // Connected to the module's signals; empty, as the scene is told nothing of an ad's progress.
    void onStartReloadAd();
    void onAdDataReady();
    void onAdDataCorrupted();
    void onNetworkError(QString networkError);

public:
    Q_INVOKABLE void start();

    QuillonAdModule *module() const { return adModule; }
    // The game's window. The dialog has no parent widget, yet its window belongs to the
    // game's, so the window manager keeps it above the game, minimises and restores it with
    // the game and centres it there. sceneScale tells how many times its own size the scene
    // is drawn in that window; the dialog is drawn at the same scale.
    void setGameWindow(QWindow *window, std::function<qreal()> sceneScale = {});

signals:
    void gameReturned(QPrivateSignal);

private:
    // Gives each ad dialog shown while it lives to the game's window.
    class TransientForGame;

    // Wayland tells nothing of a minimised window: the game counts as away from its own
    // minimise until it has the keyboard again. keyboardLeft: the keyboard has gone elsewhere
    // since then. The game's return is told by gameReturned.
    struct Away {
        bool away = false;
        bool keyboardLeft = false;
    };

    QuillonAdModule *adModule = nullptr;
    QPointer<QWindow> gameWindow;
    std::function<qreal()> sceneScale;
    Away gameAway;
};
