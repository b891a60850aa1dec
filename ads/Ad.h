// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <QWindow>

#include <functional>

class GamePresence;
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

private:
    // Finds the dialog the module is about to show, places it on the game and keeps it out of
    // sight while the player cannot see the game.
    class DialogOnGame;

    QuillonAdModule *adModule = nullptr;
    GamePresence *presence = nullptr;
    std::function<qreal()> sceneScale;
    bool dialogShowing = false;
};
