// SPDX-License-Identifier: GPL-3.0-or-later
#include "ChildProcess.h"
#include "IsolatedHome.h"
#include "LocalService.h"

#include <QElapsedTimer>

namespace {

// Starts the real game offscreen with a home of its own, so it reads and writes no
// player's scores or settings. TAMBORO_GAME_EXECUTABLE is the built game.
bool startGame(QProcess &game, const QTemporaryDir &home)
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

void stopGame(QProcess &game)
{
    game.terminate();
    if (!game.waitForFinished(10000)) {
        game.kill();
        game.waitForFinished(2000);
    }
}

} // namespace

// The real game against the local ad network: what it sends at start-up, in order, and how it
// meets the worst replies the network can give.
class GameNetworkTest : public QObject {
    Q_OBJECT

private slots:
    void startUpProbesAndFetchesLogoAdAndPicture()
    {
        LocalService service;
        QTemporaryDir home;
        QProcess game;
        game.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QVERIFY(service.isRunning() && home.isValid() && startGame(game, home));

        const bool complete = QTest::qWaitFor(
            [&] { return service.paths().filter("/ads/").size() == 1 && service.paths().contains("/content.asp"); },
            30000);
        // The ad dialog is up now, waiting for the player; the game has done its part.
        QTest::qWait(300);
        stopGame(game);
        const QStringList seen = service.paths();
        QVERIFY2(complete, qPrintable(seen.join(' ')));
        QCOMPARE(seen.size(), 4);
        // The logo is asked for before the scene loads and the probe as it loads, each on a
        // connection of its own, so they reach the network in either order (on a loaded machine
        // the probe has come after the ad request). Each step of the chain waits for the last.
        QStringList chain = seen;
        chain.removeAll(QStringLiteral("/content.asp"));
        QCOMPARE(chain.mid(0, 2), QStringList({ LocalService::LogoPath, LocalService::AdPath }));
        QVERIFY(chain[2].startsWith(QLatin1String("/ads/")));

        const QString query = service.requests(LocalService::AdPath).first().value("query").toString();
        // The time is the last value.
        const QString time = query.mid(LocalService::GameAdQueryStart.size());
        QVERIFY2(query.startsWith(LocalService::GameAdQueryStart) && time.toLongLong() > 0, qPrintable(query));
    }

    // Each of the worst replies costs the game under a second of processor time and leaves
    // its memory where it was; it keeps running, idle, until it is told to stop, and nothing
    // crashes on the way.
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
        QTemporaryDir home;
        QProcess game;
        QVERIFY(service.isRunning() && home.isValid() && startGame(game, home));
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
        // A second of processor time, or three quarters of a core over a window load stretched:
        // a picture's frames are paced to leave the thread free, a reply spinning takes all.
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

        QVERIFY(asked && reached);
        QVERIFY2(running, errors.constData());
        QVERIFY2(replyTicks >= 0 && replyTicks < mostTicks,
            qPrintable(QStringLiteral("%1 of %2").arg(replyTicks).arg(mostTicks)));
        QVERIFY2(residentBefore > 0 && kept < MostKeptBytes + playingBytes, qPrintable(QString::number(kept)));
        QVERIFY2(used >= 0 && used < 50, qPrintable(QString::number(used)));
        // SIGTERM ends the game through its own quit, with the ad dialog open too.
        QCOMPARE(game.exitStatus(), QProcess::NormalExit);
        QCOMPARE(game.exitCode(), 0);
        for (const char *report : { "AddressSanitizer", "runtime error:", "LeakSanitizer" })
            QVERIFY2(!errors.contains(report), errors.constData());
    }
};

TAMBORO_TEST_MAIN(GameNetworkTest)
#include "tst_game_hostile.moc"
