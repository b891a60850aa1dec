#include "GameProcess.h"
#include "IsolatedHome.h"
#include "LocalService.h"

#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

// The real game against the local ad network: what it sends at start-up, in order.
class GameChainTest : public QObject {
    Q_OBJECT

private slots:
    void startUpFetchesLogoAdAndPictureAfterTheProbe()
    {
        LocalService service;
        QVERIFY(service.isRunning());
        QTemporaryDir home;
        QVERIFY(home.isValid());

        QProcess game;
        game.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QVERIFY(startGame(game, home));

        auto paths = [&] {
            QStringList result;
            const QList<QJsonObject> requests = service.requests();
            for (const QJsonObject &request : requests)
                result += request.value(QStringLiteral("path")).toString();
            return result;
        };
        const bool complete = QTest::qWaitFor(
            [&] { return paths().filter(QStringLiteral("/ads/")).size() == 1 && paths().contains("/content.asp"); },
            30000);
        // The ad dialog is up now, waiting for the player; the game has done its part.
        QTest::qWait(300);
        game.terminate();
        if (!game.waitForFinished(5000)) {
            game.kill();
            game.waitForFinished(2000);
        }
        QVERIFY2(complete, qPrintable(paths().join(' ')));

        const QStringList seen = paths();
        QCOMPARE(seen.size(), 4);
        // The logo is asked for before the scene loads, so it and the probe race; the ad
        // request waits for the logo, by which time the probe has long been sent.
        QStringList chain = seen;
        chain.removeAll(QStringLiteral("/content.asp"));
        QCOMPARE(chain.mid(0, 2), QStringList({ "/quillon_logo.png", "/simpleM2M/clientRequestAd" }));
        QVERIFY(chain[2].startsWith(QLatin1String("/ads/")));
        QVERIFY(seen.indexOf("/content.asp") < seen.indexOf("/simpleM2M/clientRequestAd"));

        const QString query = service.requests(QStringLiteral("/simpleM2M/clientRequestAd"))
                                  .first()
                                  .value(QStringLiteral("query"))
                                  .toString();
        QVERIFY2(query.startsWith(QLatin1String("aid=Kelto_Tamboro_Qt&v=Sm2m-1.5.2-QT_1.5.2&o=true&po=551&k=games,"
                                                "arcade,action,boxing,jungle,ape,monkey,touch,move,sports,adventure,"
                                                "classic,fun,free&c=Games&time=")),
            qPrintable(query));
    }
};

TAMBORO_TEST_MAIN(GameChainTest)
#include "tst_game_chain.moc"
