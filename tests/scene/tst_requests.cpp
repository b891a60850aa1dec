// SPDX-License-Identifier: GPL-3.0-or-later
#include "IsolatedHome.h"
#include "LocalService.h"
#include "SceneFixture.h"

#include <QQmlEngine>
#include <QScopeGuard>
#include <QTcpServer>

#include <memory>

namespace {

const QString PROBE_PATH = QStringLiteral("/content.asp");
const QString UPLOAD_PATH = QStringLiteral("/scores/upload.php");
constexpr qint64 MIB = 1024 * 1024;
// Where the launcher hands the game the port of the player's own service.
constexpr char PORT_VARIABLE[] = "TAMBORO_LOCAL_SERVICE_PORT";

} // namespace

// The scene's own two web requests, the connection probe and the score upload, against a
// service that answers them with every status, any size of body, or a redirect elsewhere.
class RequestsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_service = startService();
        QVERIFY2(m_service, "the local service did not start on the compiled-in port");
    }
    void cleanupTestCase() { m_service.reset(); }
    void init()
    {
        QVERIFY(m_service->control(QUrlQuery(QStringLiteral("reset=1"))));
        m_earlierProbes = int(m_service->requests(PROBE_PATH).size());
    }

    // Any body counts as an answer, whatever its status; a redirect is followed only on the
    // probe's own host and port, where it comes back to the probe's page. An upload redirected to
    // another host ends as a failure does, with the name it was sent with kept.
    void probeCountsAnyBodyAndRedirectsStayOnTheirHost_data()
    {
        QTest::addColumn<QString>("switches");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<int>("probes");
        const QString reply = QStringLiteral("probe=%1&probe_status=%2");
        for (int status : { 200, 204, 401, 403, 404, 407, 409, 410, 413, 500, 502, 503 }) {
            // A 204 has no body by definition.
            if (status != 204)
                QTest::addRow("%d with a page", status) << reply.arg("ok").arg(status) << true << 1;
            QTest::addRow("%d without a body", status) << reply.arg("empty").arg(status) << false << 1;
        }
        QTest::newRow("redirect to another host") << QStringLiteral("probe=redirect") << false << 1;
        QTest::newRow("redirect to another port of its host")
            << QStringLiteral("probe=redirect&redirect_to=127.0.0.1:OTHER_PORT") << false << 1;
        QTest::newRow("redirect to its own host")
            << QStringLiteral("probe=redirect&redirect_to=127.0.0.1:%1").arg(m_service->port()) << true << 2;
        QTest::newRow("upload redirected to another host") << QStringLiteral("upload=redirect") << true << 1;
    }

    void probeCountsAnyBodyAndRedirectsStayOnTheirHost()
    {
        QFETCH(QString, switches);
        QFETCH(bool, answered);
        QFETCH(int, probes);
        // Another host of this machine on the service's port, and another port of the
        // service's host: whatever reaches them has left where the request was sent.
        QTcpServer otherHost, otherPort;
        QVERIFY2(otherHost.listen(QHostAddress(QStringLiteral("127.0.0.2")), LocalService::compiledInPort()),
            "127.0.0.2 is not a host of this machine");
        QVERIFY(otherPort.listen(QHostAddress::LocalHost));
        // What connects is counted and closed at once, so a request sent there ends soon.
        int connections = 0;
        for (QTcpServer *other : { &otherHost, &otherPort })
            QObject::connect(other, &QTcpServer::newConnection, [other, &connections] {
                ++connections;
                delete other->nextPendingConnection();
            });
        QVERIFY(set(QString(switches).replace("OTHER_PORT", QString::number(otherPort.serverPort()))));

        Scene scene;
        QVERIFY(scene.waitForProbe());
        QCOMPARE(scene.overlayShown(), !answered);
        QCOMPARE(scene.overlayText(), answered ? LOADING : CONNECTION_ERROR);
        QCOMPARE(scene.calls(), answered ? QStringList { QStringLiteral("advertisement.start") } : QStringList());
        QCOMPARE(probesSent(), probes);
        if (switches.startsWith(QLatin1String("upload"))) {
            QVERIFY(upload(scene));
            QCOMPARE(scene.property("highScoreView", "username").toString(), QStringLiteral("ann"));
        }
        if (switches.contains(QLatin1String("redirect"))) {
            scene.idle(200);
            QCOMPARE(connections, 0);
        }
    }

    void bodyOfAnySizeIsLeftAtItsFirstBytes_data()
    {
        // The request a row's switches name is the one it sends.
        QTest::addColumn<QString>("switches");
        QTest::newRow("probe, endless body") << QStringLiteral("probe=endless");
        QTest::newRow("probe, 409 with an endless body") << QStringLiteral("probe=endless&probe_status=409");
        QTest::newRow("probe, 100 MiB body") << QStringLiteral("probe=huge&hugebody_mib=100");
        QTest::newRow("upload, 1 GiB reply") << QStringLiteral("upload=huge&hugebody_mib=1024");
        QTest::newRow("upload, endless 500 reply") << QStringLiteral("upload=endless&upload_status=500");
    }

    void bodyOfAnySizeIsLeftAtItsFirstBytes()
    {
        QFETCH(QString, switches);
        const bool probe = switches.startsWith(QLatin1String("probe"));
        // The probe's answer waits a little, so the memory before it can be read once the scene is up.
        if (probe)
            QVERIFY(set(switches + QStringLiteral("&probe_delay_ms=300")));

        Scene scene;
        if (!probe) {
            // A first upload answered as usual, so the memory taken by the first use of the code is not counted.
            QVERIFY(upload(scene));
            scene.evaluate(QStringLiteral("highScoreView.state = ''"));
            QVERIFY(set(switches));
        }
        const qint64 before = residentBytes();
        resetPeakResident();
        if (!probe)
            scene.evaluate(QStringLiteral("Game.uploadScore('ann', 'pw')"));
        // A request that waited for the end of its body would wait for good on the endless ones.
        QVERIFY(probe ? scene.waitFor([&] { return !scene.overlayShown(); }, 20000) : scene.waitForUploaded(20000));
        // A body still being read would go on growing meanwhile.
        // What is released only later (the script's garbage, replies deleted from the event
        // loop) is released before the count.
        QTest::qWait(500);
        scene.view().engine()->collectGarbage();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const qint64 grown = residentBytes() - before;
        const qint64 peak = peakResidentBytes() - before;
        QVERIFY2(grown < 10 * MIB, qPrintable(QString::number(grown)));
        // Nor may the first bytes come as megabytes the network layer read ahead.
        QVERIFY2(peak < 10 * MIB, qPrintable(QString::number(peak)));
        QCOMPARE(scene.calls(), probe ? QStringList { QStringLiteral("advertisement.start") } : QStringList());
    }

    void tapOnTheErrorSendsTheProbeAgain()
    {
        QVERIFY(set(QStringLiteral("probe=empty")));
        Scene scene;
        QVERIFY(scene.waitFor([&] { return scene.overlayText() == CONNECTION_ERROR; }));
        scene.idle(300);
        QCOMPARE(probesSent(), 1);

        QVERIFY(set(QStringLiteral("probe=ok&probe_delay_ms=400")));
        QQuickItem *overlay = scene.itemById(QStringLiteral("item1"));
        // Near its top left corner, where no start-screen button lies beneath.
        const QPointF corner(4, 4);
        scene.tap(overlay, corner);
        QCOMPARE(scene.overlayText(), LOADING);
        QVERIFY(scene.waitFor([&] { return probesSent() == 2; }));
        scene.tap(overlay, corner);
        QVERIFY(scene.waitFor([&] { return !scene.overlayShown(); }));
        QCOMPARE(scene.calls(), QStringList { QStringLiteral("advertisement.start") });

        scene.tap(overlay, corner);
        scene.idle(200);
        QCOMPARE(probesSent(), 2);
        QCOMPARE(scene.calls().size(), 1);
        QCOMPARE(scene.root()->state(), QString());
    }

    // A host that takes the probe and never answers: the overlay shows the error 20 s on,
    // and a tap asks again. An answered probe leaves no wait behind to end it later.
    void probeWithoutAnswerGivesUpAndATapRetries()
    {
        QVERIFY(set(QStringLiteral("probe=hang")));
        Scene scene;
        QVERIFY(scene.waitFor([&] { return probesSent() == 1; }));
        scene.advance(19900);
        QCOMPARE(scene.overlayText(), LOADING);
        scene.advance(200);
        QCOMPARE(scene.overlayText(), CONNECTION_ERROR);

        QVERIFY(set(QStringLiteral("probe=ok")));
        scene.tap(scene.itemById(QStringLiteral("item1")), QPointF(4, 4));
        QVERIFY(scene.waitFor([&] { return !scene.overlayShown(); }));
        scene.advance(20100);
        QCOMPARE(scene.overlayText(), LOADING);
        QCOMPARE(probesSent(), 2);
        QCOMPARE(scene.calls(), QStringList { QStringLiteral("advertisement.start") });
    }

    // Handed another port at start, as the launcher does when the compiled-in one is not the
    // player's own, the scene sends its probe and upload there and opens its pages there. A
    // value that names no port leaves the compiled-in one.
    void handedOverPortTakesTheProbeTheUploadAndThePages_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("the player's own service") << QByteArray();
        QTest::newRow("beyond the ports") << QByteArrayLiteral("70000");
        QTest::newRow("not a number") << QByteArrayLiteral("12a");
    }

    void handedOverPortTakesTheProbeTheUploadAndThePages()
    {
        QFETCH(QByteArray, value);
        LocalService own({ QStringLiteral("--port"), QStringLiteral("0") });
        QVERIFY(own.isRunning() && own.port() != m_service->port());
        qputenv(PORT_VARIABLE, value.isEmpty() ? QByteArray::number(own.port()) : value);
        const auto unset = qScopeGuard([] { qunsetenv(PORT_VARIABLE); });
        const quint16 port = value.isEmpty() ? own.port() : m_service->port();
        const int earlierUploads = int(m_service->requests(UPLOAD_PATH).size());

        UrlCatcher browser;
        Scene scene;
        QVERIFY(upload(scene));
        QCOMPARE(own.requests(PROBE_PATH).size() + own.requests(UPLOAD_PATH).size(), value.isEmpty() ? 2 : 0);
        QCOMPARE(probesSent() + m_service->requests(UPLOAD_PATH).size() - earlierUploads, value.isEmpty() ? 0 : 2);
        const QString host = QStringLiteral("127.0.0.1:%1").arg(port);
        QCOMPARE(scene.values(QStringLiteral("Game.AD_WEB_HOST, Game.SCORE_HOST")), host + ',' + host);
        scene.tap(scene.itemIn(QStringLiteral("mainView"), QStringLiteral("button5")));
        QCOMPARE(browser.opened, QList<QUrl> { QUrl(QStringLiteral("http://%1/store/kelto").arg(host)) });
    }

private:
    bool set(const QString &switches) { return m_service->control(QUrlQuery(switches)); }
    // Probes this test function has seen sent.
    int probesSent() const { return int(m_service->requests(PROBE_PATH).size()) - m_earlierProbes; }
    // A start screen past its probe with one stored score, uploaded and answered.
    static bool upload(Scene &scene)
    {
        if (!scene.waitFor([&] { return !scene.overlayShown(); }))
            return false;
        scene.saveScores({ 30 });
        scene.calls().clear();
        scene.evaluate(QStringLiteral("Game.uploadScore('ann', 'pw')"));
        return scene.waitForUploaded();
    }

    std::unique_ptr<LocalService> m_service;
    int m_earlierProbes = 0;
};

TAMBORO_TEST_MAIN(RequestsTest)
#include "tst_requests.moc"
