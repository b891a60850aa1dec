// SPDX-License-Identifier: GPL-3.0-or-later
#include "GameProcess.h"
#include "IsolatedHome.h"
#include "LocalService.h"

// The real game against the local ad network: what it sends at start-up, in order.
class GameChainTest : public QObject {
    Q_OBJECT

private slots:
    void startUpFetchesLogoAdAndPictureAfterTheProbe()
    {
        LocalService service;
        QVERIFY(service.isRunning());
        QTemporaryDir home;
        QProcess game;
        game.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QVERIFY(home.isValid() && startGame(game, home));

        const bool complete = QTest::qWaitFor(
            [&] { return service.paths().filter("/ads/").size() == 1 && service.paths().contains("/content.asp"); },
            30000);
        // The ad dialog is up now, waiting for the player; the game has done its part.
        QTest::qWait(300);
        stopGame(game);
        const QStringList seen = service.paths();
        QVERIFY2(complete, qPrintable(seen.join(' ')));
        QCOMPARE(seen.size(), 4);
        // The logo is asked for before the scene loads, so it and the probe race; the ad
        // request waits for the logo, by which time the probe has long been sent.
        QStringList chain = seen;
        chain.removeAll(QStringLiteral("/content.asp"));
        QCOMPARE(chain.mid(0, 2), QStringList({ LocalService::LogoPath, LocalService::AdPath }));
        QVERIFY(chain[2].startsWith(QLatin1String("/ads/")));
        QVERIFY(seen.indexOf("/content.asp") < seen.indexOf(LocalService::AdPath));

        const QString query = service.requests(LocalService::AdPath).first().value("query").toString();
        QVERIFY2(query.startsWith(LocalService::GameAdQueryStart), qPrintable(query));
    }
};

TAMBORO_TEST_MAIN(GameChainTest)
#include "tst_game_chain.moc"
