// SPDX-License-Identifier: GPL-3.0-or-later
#include "GameProcess.h"
#include "IsolatedHome.h"
#include "LocalService.h"

#include <QElapsedTimer>

#include <signal.h>

// The real game started against the worst replies the local ad network can give: each costs
// it under a second of processor time and leaves its memory where it was; it keeps running,
// idle, until it is told to stop, and nothing crashes on the way.
class GameHostileTest : public QObject {
    Q_OBJECT

private slots:
    void gameOutlivesAHostileNetwork_data()
    {
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<QString>("lastPath");
        // What a picture still playing on screen may hold beside that: its decoder's frame,
        // the frame being decoded and the one drawn, each of the picture's full size.
        QTest::addColumn<qint64>("playingBytes");
        for (const char *mode : { "hang", "oversized", "nested", "entities", "reset", "attributes", "cutoff",
                 "dtdattributes", "entitytext", "longid", "commented" })
            QTest::newRow(mode) << QStringList { QStringLiteral("ad=%1").arg(QLatin1String(mode)) }
                                << LocalService::AdPath << qint64(0);
        QTest::newRow("badimage") << QStringList { "ad=badimage" } << "/ads/broken.png" << qint64(0);
        QTest::newRow("hugeimage") << QStringList { "ad=hugeimage" } << "/ads/huge.gif" << qint64(0);
        // The probe answers late, so the game shows the ad dialog as soon as the ad is held.
        QTest::newRow("giant logo and picture shown")
            << QStringList { "ad=giantpicture", "logo=giant", "probe_delay_ms=2000" } << "/ads/giant.gif"
            << qint64(3) * 3000 * 3000 * 4;
    }

    void gameOutlivesAHostileNetwork()
    {
        QFETCH(QStringList, settings);
        QFETCH(QString, lastPath);
        QFETCH(qint64, playingBytes);
        QStringList arguments;
        // The ad reply waits, so the game's weight before it can be taken.
        for (const QString &setting : settings + QStringList { "ad_delay_ms=1500" })
            arguments << QStringLiteral("--set") << setting;
        LocalService service(arguments);
        QVERIFY(service.isRunning());
        QTemporaryDir home;
        QProcess game;
        QVERIFY(home.isValid() && startGame(game, home));
        const qint64 pid = game.processId();

        const bool asked = QTest::qWaitFor([&] { return !service.requests(LocalService::AdPath).isEmpty(); }, 30000);
        QTest::qWait(700);
        const qint64 residentBefore = residentBytes(pid);
        const qint64 ticksBefore = cpuTicks(pid);
        QElapsedTimer replyWindow;
        replyWindow.start();
        const bool reached = QTest::qWaitFor([&] { return !service.requests(lastPath).isEmpty(); }, 30000);
        // Time for the reply to be read, refused or left hanging, and a dialog to come up.
        QTest::qWait(1500);
        const qint64 replyTicks = cpuTicks(pid) - ticksBefore;
        // A second of processor time, or three quarters of a core over a window that load has
        // stretched: a picture's frames are paced to leave the thread free much of the time,
        // and a reply spinning takes all of it.
        const qint64 mostTicks = qMax<qint64>(100, replyWindow.elapsed() * 75 / 1000);
        // What stays, not what a frame being decoded holds for a moment: the least of a few looks.
        qint64 kept = residentBytes(pid) - residentBefore;
        for (int look = 0; look < 5; ++look) {
            QTest::qWait(100);
            kept = qMin(kept, residentBytes(pid) - residentBefore);
        }
        const bool running = game.state() == QProcess::Running;
        // Running means waiting in the event loop, not spinning over a reply.
        const qint64 before = cpuTicks(pid);
        QTest::qWait(1000);
        const qint64 used = cpuTicks(pid) - before;
        stopGame(game);
        const QByteArray errors = game.readAllStandardError();
        qInfo("%-30s reply %lld of %lld ticks, memory kept %+lld KiB, idle %lld ticks", QTest::currentDataTag(),
            replyTicks, mostTicks, kept / 1024, used);

        QVERIFY(asked);
        QVERIFY(reached);
        QVERIFY2(running, errors.constData());
        QVERIFY2(replyTicks >= 0 && replyTicks < mostTicks, qPrintable(QStringLiteral("%1 of %2").arg(replyTicks).arg(mostTicks)));
        QVERIFY2(residentBefore > 0 && kept < MostKeptBytes + playingBytes, qPrintable(QString::number(kept)));
        QVERIFY2(used >= 0 && used < 50, qPrintable(QString::number(used)));
        // The game has no handler of its own for SIGTERM, so it ends by that signal and no other.
        QCOMPARE(game.exitStatus(), QProcess::CrashExit);
        QCOMPARE(game.exitCode(), int(SIGTERM));
        for (const char *report : { "AddressSanitizer", "runtime error:", "LeakSanitizer" })
            QVERIFY2(!errors.contains(report), errors.constData());
    }
};

TAMBORO_TEST_MAIN(GameHostileTest)
#include "tst_game_hostile.moc"
