#pragma once

#include "ChildProcess.h"

#include <QProcess>
#include <QTemporaryDir>

// Starts the real game offscreen with a home of its own, so it reads and writes no
// player's scores or settings. TAMBORO_GAME_EXECUTABLE is the built game.
inline bool startGame(QProcess &game, const QTemporaryDir &home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral("cache")));
    game.setProcessEnvironment(environment);
    endWithThisProcess(game);
    game.start(QStringLiteral(TAMBORO_GAME_EXECUTABLE), {});
    return game.waitForStarted(5000);
}
