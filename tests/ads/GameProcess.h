// SPDX-License-Identifier: GPL-3.0-or-later
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
    for (const char *folder : { "data", "config", "cache" })
        environment.insert(QStringLiteral("XDG_%1_HOME").arg(QString::fromLatin1(folder).toUpper()),
            home.filePath(QLatin1String(folder)));
    game.setProcessEnvironment(environment);
    endWithThisProcess(game);
    game.start(QStringLiteral(TAMBORO_GAME_EXECUTABLE), {});
    return game.waitForStarted(5000);
}

// Asks the game to end (SIGTERM) and kills it when it has not within ten seconds.
inline void stopGame(QProcess &game)
{
    game.terminate();
    if (!game.waitForFinished(10000)) {
        game.kill();
        game.waitForFinished(2000);
    }
}
