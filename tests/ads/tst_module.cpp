#include "AdChainRecorder.h"
#include "IsolatedHome.h"
#include "LocalService.h"
#include "QuillonAdModule.h"
#include "QuillonAdWidget.h"

#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QPushButton>
#include <QSettings>
#include <QTimer>

#include <memory>

namespace {

const QString AdPath = QStringLiteral("/simpleM2M/clientRequestAd");
const QString LogoPath = QStringLiteral("/quillon_logo.png");
const QString UserAgent = QStringLiteral("Mozilla/5.0 (X11; U; Linux armv7l; fi-FI; rv:1.9.2a1pre) "
                                         "Gecko/20090928 Firefox/3.5 Maemo Browser 1.4.1.15 RX-51 N900");

QString storedClientId(const QString &appId)
{
    return QSettings(QStringLiteral("Quillon"), appId).value(QStringLiteral("cid")).toString();
}

QStringList queryKeys(const QJsonObject &request)
{
    QStringList keys;
    const auto pairs = serverQueryPairs(request.value(QStringLiteral("query")).toString());
    for (const auto &pair : pairs)
        keys += pair.first;
    return keys;
}

QString queryValue(const QJsonObject &request, const QString &key)
{
    const auto pairs = serverQueryPairs(request.value(QStringLiteral("query")).toString());
    for (const auto &pair : pairs) {
        if (pair.first == key)
            return pair.second;
    }
    return {};
}

// Feeds replies straight to the module's parser.
class ReplyParser : public QuillonAdModule {
public:
    using QuillonAdModule::parseAdReply;
    using QuillonAdModule::QuillonAdModule;
};

} // namespace

class AdModuleTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<LocalService> service;
    int appCounter = 0;

    // A fresh application id names fresh settings, so every test starts without a client id.
    QString freshAppId() { return QStringLiteral("Tamboro_Test_%1").arg(++appCounter); }

    void setSwitches(const QString &query) { QVERIFY(service->control(QUrlQuery(QStringLiteral("reset=1&") + query))); }

    int requestCount() const { return service->requests().size(); }

    // Runs one whole chain on a fresh module and leaves it holding an ad.
    void loadFirstAd(QuillonAdModule &module, AdChainRecorder &recorder)
    {
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.names().last(), QStringLiteral("adDataReady"));
    }

private slots:
    void initTestCase()
    {
        service = std::make_unique<LocalService>();
        QVERIFY(service->isRunning());
    }

    void init() { setSwitches(QString()); }

    void cleanupTestCase() { service.reset(); }

    void interfaceIsTheNetworksClient()
    {
        const QMetaObject &meta = QuillonAdModule::staticMetaObject;
        QStringList methods;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
            methods += QString::fromLatin1(meta.method(i).methodSignature());
        QCOMPARE(methods,
            QStringList({ "startReloadAd()", "networkError(QString)", "adDataReady()", "adDataCorrupted()",
                "requestAd()", "httpFinished()", "httpReadyRead()", "linkClickedHandler(QUrl)" }));
        QCOMPARE(meta.method(meta.indexOfSignal("networkError(QString)")).parameterNames(),
            QList<QByteArray>({ "networkError" }));
        QCOMPARE(meta.method(meta.indexOfMethod("requestAd()")).access(), QMetaMethod::Public);
        QCOMPARE(meta.method(meta.indexOfMethod("httpFinished()")).access(), QMetaMethod::Private);
    }

    void firstChainFetchesLogoThenAdThenImage()
    {
        QuillonAdModule module(nullptr, freshAppId(), 0);
        AdChainRecorder recorder(&module);

        QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(recorder.events.isEmpty());
        QCOMPARE(module.requestStage(), int(QuillonAdModule::StageLogo));
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.events, QStringList({ "startReloadAd busy=1 ready=0", "adDataReady busy=0 ready=1" }));

        const QStringList paths = loggedPaths(service->requests());
        QCOMPARE(paths.size(), 3);
        QCOMPARE(paths.mid(0, 2), QStringList({ LogoPath, AdPath }));
        QVERIFY(paths[2].startsWith(QLatin1String("/ads/")));

        QFile logo(QStringLiteral(TAMBORO_SOURCE_DIR "/tools/static/quillon_logo.png"));
        QVERIFY(logo.open(QIODevice::ReadOnly));
        QCOMPARE(module.currentLogoData(), logo.readAll());
        QFile picture(QStringLiteral(TAMBORO_SOURCE_DIR "/tools/static") + paths[2]);
        QVERIFY(picture.open(QIODevice::ReadOnly));
        QCOMPARE(module.currentImageData(), picture.readAll());
        QVERIFY(!module.currentAdText().isEmpty());
        QCOMPARE(module.currentAdImageUrl(), service->baseUrl() + paths[2]);
        QVERIFY(module.currentAdUrl().startsWith(service->baseUrl() + QStringLiteral("/landing/")));

        // The logo is fetched once per module; the next chain starts with the ad request,
        // which drops the held ad until the new one is complete.
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(!module.isAdReady());
        QVERIFY(recorder.waitForEnd());
        const QStringList again = loggedPaths(service->requests()).mid(3);
        QCOMPARE(again.size(), 2);
        QCOMPARE(again.first(), AdPath);
    }

    void queryCarriesEveryValueUnchangedInOrder()
    {
        const QString appId = freshAppId();
        QuillonAdModule module(nullptr, appId, 0);
        AdChainRecorder recorder(&module);
        const QString tricky = QStringLiteral("a,b+c&d=e f#g%h ä/?");
        const QString values[] = { "551", "e1", "a2", "g3", "mn4", "games,fun+free", "Games", "l7", tricky };
        for (unsigned slot = 0; slot < 9; ++slot)
            QCOMPARE(module.setParameter(slot, values[slot]), int(QuillonAdModule::ResultOk));

        const qint64 before = QDateTime::currentSecsSinceEpoch();
        loadFirstAd(module, recorder);
        const qint64 after = QDateTime::currentSecsSinceEpoch();

        const QJsonObject request = service->requests(AdPath).last();
        QCOMPARE(queryKeys(request),
            QStringList({ "aid", "v", "o", "po", "eid", "a", "g", "mn", "k", "c", "l", "lg", "time" }));
        QCOMPARE(queryValue(request, "aid"), appId);
        QCOMPARE(queryValue(request, "v"), QStringLiteral("Sm2m-1.5.2-QT_1.5.2"));
        QCOMPARE(queryValue(request, "o"), QStringLiteral("true"));
        for (unsigned slot = 0; slot < 9; ++slot) {
            const char *keys[] = { "po", "eid", "a", "g", "mn", "k", "c", "l", "lg" };
            QCOMPARE(queryValue(request, keys[slot]), values[slot]);
        }
        const qint64 time = queryValue(request, "time").toLongLong();
        QVERIFY(time >= before && time <= after);
        QVERIFY(request.value("query").toString().contains(QLatin1String("k=games,fun%2Bfree&")));

        // The module sets its User-Agent and nothing else; the rest is the network stack's own.
        const QStringList stackHeaders { "host", "connection", "accept-encoding", "accept-language", "user-agent" };
        for (const QJsonObject &each : service->requests()) {
            const QJsonObject headers = each.value("headers").toObject();
            QCOMPARE(headers.value("User-Agent").toString(), UserAgent);
            for (const QString &name : headers.keys())
                QVERIFY2(stackHeaders.contains(name.toLower()), qPrintable(name));
        }

        // The next request is built afresh: an emptied slot leaves its key out, "cid" appears.
        QCOMPARE(module.setParameter(0, QString()), int(QuillonAdModule::ResultOk));
        QCOMPARE(module.setParameter(8, QString()), int(QuillonAdModule::ResultOk));
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(queryKeys(service->requests(AdPath).last()),
            QStringList({ "aid", "v", "o", "cid", "eid", "a", "g", "mn", "k", "c", "l", "time" }));
    }

    void clientIdIsAssignedStoredAndSentAfterARestart()
    {
        const QString appId = freshAppId();
        QString assigned;
        {
            QuillonAdModule module(nullptr, appId, 0);
            AdChainRecorder recorder(&module);
            // The picture fails, but the id was stored while the reply was read.
            setSwitches(QStringLiteral("image=missing"));
            QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
            QVERIFY(recorder.waitForEnd());
            QCOMPARE(recorder.names().last(), QStringLiteral("networkError"));
            QVERIFY(!queryKeys(service->requests(AdPath).last()).contains("cid"));
            assigned = module.currentClientId();
            QVERIFY(!assigned.isEmpty());
            QCOMPARE(storedClientId(appId), assigned);
        }

        setSwitches(QString());
        QuillonAdModule restarted(nullptr, appId, 0);
        AdChainRecorder recorder(&restarted);
        QCOMPARE(restarted.currentClientId(), assigned);
        loadFirstAd(restarted, recorder);
        QCOMPARE(queryValue(service->requests(AdPath).last(), "cid"), assigned);
        QCOMPARE(restarted.currentClientId(), assigned);

        // An id in a lower-case attribute is no id: the held one is replaced by an empty one.
        setSwitches(QStringLiteral("ad=lowercaseid"));
        QCOMPARE(restarted.requestAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(restarted.currentClientId(), QString());
        QVERIFY(QSettings(QStringLiteral("Quillon"), appId).contains(QStringLiteral("cid")));
        QCOMPARE(storedClientId(appId), QString());
    }

    void clientElementOfAnyCaseCarriesTheId_data()
    {
        QTest::addColumn<QString>("tag");
        QTest::newRow("lower case") << "client";
        QTest::newRow("upper case") << "CLIENT";
        QTest::newRow("mixed case") << "cLiEnT";
    }

    void clientElementOfAnyCaseCarriesTheId()
    {
        QFETCH(QString, tag);
        const QString appId = freshAppId();
        ReplyParser module(nullptr, appId, 0);
        const QByteArray reply = QStringLiteral("<response><%1 Id=\"c-17\"/></response>").arg(tag).toUtf8();
        QVERIFY(module.parseAdReply(reply));
        QCOMPARE(module.currentClientId(), QStringLiteral("c-17"));
        QCOMPARE(storedClientId(appId), QStringLiteral("c-17"));

        // The id the module already holds is not written again, so a value stored meanwhile
        // stays.
        QSettings(QStringLiteral("Quillon"), appId).setValue(QStringLiteral("cid"), QStringLiteral("elsewhere"));
        QVERIFY(module.parseAdReply(reply));
        QCOMPARE(storedClientId(appId), QStringLiteral("elsewhere"));
    }

    void replyFieldsAreReadInAnyCaseAndTheLastOneDecides_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("hasText");
        QTest::addColumn<QString>("urlPrefix");
        QTest::addColumn<QString>("textSuffix");
        QTest::newRow("upper case names") << "upper" << true << "http"
                                          << "";
        QTest::newRow("second ad with text only") << "twoads" << true << "http"
                                                  << " (second)";
        QTest::newRow("url with leading spaces") << "spaces" << true << "   \n  http"
                                                 << "";
        QTest::newRow("no image address") << "noimage" << true << "http"
                                          << "";
        QTest::newRow("k=v pairs in a comment, CDATA and instruction") << "commented" << true << "http"
                                                                        << "";
    }

    void replyFieldsAreReadInAnyCaseAndTheLastOneDecides()
    {
        QFETCH(QString, mode);
        QFETCH(bool, hasText);
        QFETCH(QString, urlPrefix);
        QFETCH(QString, textSuffix);
        QuillonAdModule module(nullptr, freshAppId(), 0);
        AdChainRecorder recorder(&module);
        loadFirstAd(module, recorder);
        const QByteArray firstImage = module.currentImageData();

        setSwitches(QStringLiteral("ad=") + mode);
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(!module.currentAdText().isEmpty(), hasText);
        QVERIFY(module.currentAdText().endsWith(textSuffix));
        QVERIFY2(module.currentAdUrl().startsWith(urlPrefix), qPrintable(module.currentAdUrl()));
        if (mode == QLatin1String("noimage")) {
            QCOMPARE(module.currentAdImageUrl(), QString());
            QCOMPARE(recorder.names().last(), QStringLiteral("networkError"));
            // The old picture stays until a new one has arrived.
            QCOMPARE(module.currentImageData(), firstImage);
        } else {
            QVERIFY(module.currentAdImageUrl().startsWith(QLatin1String("http")));
            QCOMPARE(recorder.names().last(), QStringLiteral("adDataReady"));
        }
    }

    void everyFailureEndsTheChainWithOneSignal_data()
    {
        QTest::addColumn<QString>("switches");
        QTest::addColumn<QString>("ending");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QString>("errorPart");
        const QStringList adOnly { LogoPath, AdPath };
        QTest::newRow("logo missing") << "logo=missing"
                                      << "networkError" << QStringList { LogoPath } << "server replied: Not Found";
        QTest::newRow("reply not xml") << "ad=notxml"
                                       << "adDataCorrupted" << adOnly << "";
        QTest::newRow("empty document") << "ad=empty"
                                        << "networkError" << adOnly << "";
        QTest::newRow("empty image") << "ad=emptyimage"
                                     << "networkError" << adOnly << "";
        QTest::newRow("status 500") << "ad=status500"
                                    << "networkError" << adOnly << "server replied: Internal Server Error";
        // The network stack sends a GET once more when the connection drops before any reply.
        QTest::newRow("connection reset") << "ad=reset"
                                          << "networkError" << QStringList { LogoPath, AdPath, AdPath } << "";
        QTest::newRow("redirect not followed") << "ad=redirect"
                                               << "adDataCorrupted" << adOnly << "";
        QTest::newRow("file image address") << "ad=fileimage"
                                            << "networkError" << adOnly << "file:";
        QTest::newRow("ftp image address") << "ad=ftpimage"
                                           << "networkError" << adOnly << "ftp:";
        QTest::newRow("billion laughs") << "ad=entities"
                                        << "adDataCorrupted" << adOnly << "";
        QTest::newRow("default attributes from a DTD") << "ad=dtdattributes"
                                                       << "adDataCorrupted" << adOnly << "";
        QTest::newRow("entities under the parser's limit") << "ad=entitytext"
                                                           << "adDataCorrupted" << adOnly << "";
        QTest::newRow("deep nesting") << "ad=nested&nested_depth=100000"
                                      << "adDataCorrupted" << adOnly << "";
        QTest::newRow("reply over 1 MiB") << "ad=oversized&oversized_mib=2"
                                          << "networkError" << adOnly << "1 MiB";
        QTest::newRow("reply over 1 MiB, trickling") << "ad=oversized&oversized_mib=2&slow=ad"
                                                     << "networkError" << adOnly << "1 MiB";
        QTest::newRow("image over 8 MiB")
            << "ad=hugeimage&hugeimage_mib=9"
            << "networkError" << QStringList { LogoPath, AdPath, "/ads/huge.gif" } << "8 MiB";
        QTest::newRow("logo over 8 MiB") << "logo=huge&hugeimage_mib=9"
                                         << "networkError" << QStringList { LogoPath } << "8 MiB";
        QTest::newRow("image missing") << "image=missing"
                                       << "networkError" << QStringList { LogoPath, AdPath, "/ads/" } << "";
    }

    void everyFailureEndsTheChainWithOneSignal()
    {
        QFETCH(QString, switches);
        QFETCH(QString, ending);
        QFETCH(QStringList, paths);
        QFETCH(QString, errorPart);
        setSwitches(switches);
        const int before = requestCount();

        QuillonAdModule module(nullptr, freshAppId(), 5);
        AdChainRecorder recorder(&module);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(recorder.waitForEnd());
        // Hostile replies are refused quickly, not after minutes of parsing.
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QTest::qWait(100);

        QCOMPARE(recorder.endings(), 1);
        QCOMPARE(recorder.events.last(), ending + QStringLiteral(" busy=1 ready=0"));
        QCOMPARE(recorder.names().contains("startReloadAd"), paths.contains(AdPath));
        QVERIFY(!module.isBusy());
        QVERIFY(!module.isAdReady());
        QVERIFY(!module.findChild<QTimer *>()->isActive());
        QVERIFY2(recorder.lastError.contains(errorPart), qPrintable(recorder.lastError));

        const QStringList seen = loggedPaths(service->requests().mid(before));
        QCOMPARE(seen.size(), paths.size());
        for (int i = 0; i < paths.size(); ++i)
            QVERIFY2(seen[i].startsWith(paths[i]), qPrintable(seen.join(' ')));
        if (ending == QLatin1String("adDataCorrupted")) {
            QCOMPARE(module.currentAdText(), QString());
            QCOMPARE(module.currentAdUrl(), QString());
        }

        // The chain is over, so the next request is accepted; a failed logo is fetched again.
        setSwitches(QString());
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.names().last(), QStringLiteral("adDataReady"));
        const QStringList next = loggedPaths(service->requests().mid(before + seen.size()));
        QCOMPARE(next.first(), paths == QStringList { LogoPath } ? LogoPath : AdPath);
    }

    void refusalsChangeNothing()
    {
        QuillonAdModule nameless(nullptr, QString(), 0);
        const int before = requestCount();
        QCOMPARE(nameless.requestAd(), int(QuillonAdModule::ErrorNoApplicationId));
        QVERIFY(!nameless.isBusy());

        QuillonAdModule module(nullptr, freshAppId(), 0);
        AdChainRecorder recorder(&module);
        QCOMPARE(module.setParameter(1, QString(256, QLatin1Char('x'))), int(QuillonAdModule::ResultOk));
        QCOMPARE(module.setParameter(1, QString(257, QLatin1Char('y'))), int(QuillonAdModule::ErrorValueTooLong));
        QCOMPARE(module.setParameter(9, QStringLiteral("ignored")), int(QuillonAdModule::ResultOk));
        QCOMPARE(
            module.showAdDialog(nullptr, 10, "Skip in", "Skip", "Click", true, false), int(QuillonAdModule::ErrorNoAd));
        QCOMPARE(module.clickAd(), int(QuillonAdModule::ErrorNoAd));
        QuillonAdWidget banner(nullptr, QByteArray(), QString(), false, QString());
        QCOMPARE(module.updateAdWidget(&banner), int(QuillonAdModule::ErrorNoAd));

        // One chain at a time, from the logo download on.
        setSwitches(QStringLiteral("logo_delay_ms=400&ad_delay_ms=400"));
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ErrorBusy));
        QCOMPARE(module.setParameter(2, QStringLiteral("a")), int(QuillonAdModule::ErrorBusy));
        // Busy is told before a value's length.
        QCOMPARE(module.setParameter(2, QString(257, QLatin1Char('z'))), int(QuillonAdModule::ErrorBusy));
        QVERIFY(QTest::qWaitFor([&] { return !recorder.events.isEmpty(); }, 10000));
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ErrorBusy));
        QCOMPARE(
            module.showAdDialog(nullptr, 10, "Skip in", "Skip", "Click", true, false), int(QuillonAdModule::ErrorBusy));
        QCOMPARE(module.updateAdWidget(&banner), int(QuillonAdModule::ErrorBusy));
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.names(), QStringList({ "startReloadAd", "adDataReady" }));
        QCOMPARE(loggedPaths(service->requests().mid(before)).mid(0, 2), QStringList({ LogoPath, AdPath }));
        QCOMPARE(service->requests().size() - before, 3);

        const QJsonObject request = service->requests(AdPath).last();
        QCOMPARE(queryValue(request, "eid"), QString(256, QLatin1Char('x')));
        QVERIFY(!queryKeys(request).contains("a"));
        QCOMPARE(module.updateAdWidget(nullptr), int(QuillonAdModule::ErrorNoWidget));
        QCOMPARE(module.updateAdWidget(&banner), int(QuillonAdModule::ResultOk));
    }

    void reloadTimerFollowsTheInterval_data()
    {
        QTest::addColumn<unsigned>("seconds");
        QTest::addColumn<int>("interval");
        QTest::addColumn<bool>("runsAfterAnAd");
        QTest::newRow("never") << 0u << 0 << false;
        QTest::newRow("one day") << 86400u << 86400000 << true;
        QTest::newRow("over a day") << 86401u << 120000 << true;
        QTest::newRow("far over a day") << 4000000000u << 120000 << true;
    }

    void reloadTimerFollowsTheInterval()
    {
        QFETCH(unsigned, seconds);
        QFETCH(int, interval);
        QFETCH(bool, runsAfterAnAd);
        QuillonAdModule module(nullptr, freshAppId(), seconds);
        auto *timer = module.findChild<QTimer *>();
        QVERIFY(timer);
        if (interval != 0) {
            QCOMPARE(timer->interval(), interval);
            QVERIFY(timer->isSingleShot());
        }
        AdChainRecorder recorder(&module);
        loadFirstAd(module, recorder);
        QCOMPARE(timer->isActive(), runsAfterAnAd);

        // The next request stops the timer, and startReloadAd() reaches its receivers before
        // that request leaves, even a receiver that takes its time.
        int adRequestsWhenHeard = -1;
        QObject receiver;
        connect(&module, &QuillonAdModule::startReloadAd, &receiver, [&] {
            QTest::qWait(200);
            adRequestsWhenHeard = int(service->requests(AdPath).size());
        });
        const int adRequestsBefore = int(service->requests(AdPath).size());
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        QCOMPARE(adRequestsWhenHeard, adRequestsBefore);
        QVERIFY(!timer->isActive());
        QVERIFY(recorder.waitForEnd());
    }

    void dialogEndingDecidesBetweenTheHeldAdAndTheNext_data()
    {
        QTest::addColumn<unsigned>("seconds");
        QTest::addColumn<QString>("ending");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<bool>("reloading");
        QTest::newRow("skipped") << 86400u << "btnLeft" << "Skip" << true;
        QTest::newRow("countdown ran out") << 86400u << "" << "" << true;
        QTest::newRow("window closed") << 86400u << "close" << "" << true;
        QTest::newRow("skipped, never reloading") << 0u << "btnLeft" << "Skip" << false;
        QTest::newRow("clicked through") << 86400u << "btnRight" << "Click" << false;
    }

    void dialogEndingDecidesBetweenTheHeldAdAndTheNext()
    {
        QFETCH(unsigned, seconds);
        QFETCH(QString, ending);
        QFETCH(QString, caption);
        QFETCH(bool, reloading);
        const bool clicked = ending == QLatin1String("btnRight");
        OpenedUrls opened;
        QuillonAdModule module(nullptr, freshAppId(), seconds);
        AdChainRecorder recorder(&module);
        loadFirstAd(module, recorder);
        auto *timer = module.findChild<QTimer *>();
        const QString heldUrl = module.currentAdUrl();
        const int before = requestCount();

        bool runningWhileShown = true;
        QString pressed;
        QTimer::singleShot(200, this, [&] {
            runningWhileShown = timer->isActive();
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (!dialog || ending.isEmpty())
                return;
            if (ending == QLatin1String("close")) {
                dialog->close();
                return;
            }
            auto *button = dialog->findChild<QPushButton *>(ending);
            pressed = button->text();
            button->click();
        });
        QCOMPARE(module.showAdDialog(nullptr, ending.isEmpty() ? 1 : 10, "Skip in", "Skip", "Click", true, false),
            int(QuillonAdModule::ResultOk));
        QVERIFY(!runningWhileShown);
        QCOMPARE(pressed, caption);
        QCOMPARE(timer->isActive(), reloading);
        // Only a click-through opens the ad and fetches the next at once; any other ending
        // keeps the same ad for next time.
        QCOMPARE(opened.urls, clicked ? QList<QUrl>({ QUrl(heldUrl) }) : QList<QUrl>());
        QCOMPARE(module.isAdReady(), !clicked);
        if (clicked) {
            QCOMPARE(recorder.names().last(), QStringLiteral("startReloadAd"));
            QVERIFY(recorder.waitForEnd());
            QCOMPARE(loggedPaths(service->requests().mid(before)).first(), AdPath);
        } else {
            QCOMPARE(module.currentAdUrl(), heldUrl);
            QTest::qWait(50);
            QCOMPARE(requestCount(), before);
        }
    }

    void onlyWebLinksAreOpened_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("opens");
        QTest::newRow("web page") << "normal" << true;
        QTest::newRow("local file") << "fileurl" << false;
        QTest::newRow("script") << "jsurl" << false;
    }

    void onlyWebLinksAreOpened()
    {
        QFETCH(QString, mode);
        QFETCH(bool, opens);
        OpenedUrls opened;
        setSwitches(QStringLiteral("ad=") + mode);
        QuillonAdModule module(nullptr, freshAppId(), 0);
        AdChainRecorder recorder(&module);
        loadFirstAd(module, recorder);
        const QString link = module.currentAdUrl();
        QVERIFY(!link.isEmpty());

        QCOMPARE(module.clickAd(), int(QuillonAdModule::ResultOk));
        QCOMPARE(opened.urls, opens ? QList<QUrl>({ QUrl(link) }) : QList<QUrl>());
        // Whatever the link, the player's click still brings the next ad.
        QVERIFY(module.isBusy());
        QVERIFY(recorder.waitForEnd());

        // A banner's activation goes the same way.
        QuillonAdWidget *banner = module.createAdWidget(nullptr, false);
        std::unique_ptr<QuillonAdWidget> owner(banner);
        opened.urls.clear();
        emit banner->adLinkActivated(QUrl(link));
        QCOMPARE(opened.urls.size(), opens ? 1 : 0);
        QVERIFY(module.isBusy());
        QVERIFY(recorder.waitForEnd());
    }

    void destroyingTheModuleMidDownloadIsQuiet()
    {
        setSwitches(QStringLiteral("ad=hang"));
        auto module = std::make_unique<QuillonAdModule>(nullptr, freshAppId(), 0);
        AdChainRecorder recorder(module.get());
        QCOMPARE(module->requestAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(QTest::qWaitFor([&] { return !recorder.events.isEmpty(); }, 10000));
        QTest::qWait(200);
        module.reset();
        QTest::qWait(100);
        QCOMPARE(recorder.names(), QStringList({ "startReloadAd" }));
    }
};

TAMBORO_TEST_MAIN(AdModuleTest)
#include "tst_module.moc"
