// SPDX-License-Identifier: GPL-3.0-or-later
#include "Ad.h"
#include "AdChainRecorder.h"
#include "IsolatedHome.h"
#include "QuillonAdDialog.h"
#include "ReplyGuards.h"

#include <QDateTime>

#include <memory>

namespace {

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
    LocalService service;
    int appCounter = 0;

    // A fresh application id names fresh settings, so every test starts without a client id.
    QString freshAppId() { return QStringLiteral("Tamboro_Test_%1").arg(++appCounter); }

    void setSwitches(const QString &query) { QVERIFY(service.reset(query)); }

    int requestCount() const { return service.requests().size(); }

    // Runs one chain and checks the signal it ended with.
    void loadAd(QuillonAdModule &module, AdChainRecorder &recorder, const char *ending = "adDataReady")
    {
        const int before = requestCount();
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(recorder.waitForEnd());
        const QString flags
            = QLatin1String(ending) == QLatin1String("adDataReady") ? " busy=0 ready=1" : " busy=1 ready=0";
        QVERIFY2(recorder.events.last() == QLatin1String(ending) + flags,
            qPrintable(recorder.lastError + QStringLiteral(" after ") + service.paths(before).join(QLatin1Char(' '))));
    }

private slots:
    void initTestCase() { QVERIFY(service.isRunning()); }

    void init() { setSwitches(QString()); }

    // Other code connects to these by name, and to no private slot.
    void everyAdClassKeepsItsConnectableNames()
    {
        const struct {
            const QMetaObject *meta;
            QStringList methods;
            const char *withParameter, *parameter, *privateMethod;
        } classes[] = {
            { &QuillonAdModule::staticMetaObject,
                { "startReloadAd()", "networkError(QString)", "adDataReady()", "adDataCorrupted()", "requestAd()",
                    "httpFinished()", "httpReadyRead()", "linkClickedHandler(QUrl)" },
                "networkError(QString)", "networkError", "httpFinished()" },
            { &Ad::staticMetaObject,
                { "gameReturned()", "startAd()", "onStartReloadAd()", "onAdDataReady()", "onAdDataCorrupted()",
                    "onNetworkError(QString)", "start()" },
                "onNetworkError(QString)", "networkError", nullptr },
            { &QuillonAdDialog::staticMetaObject,
                { "onClickPressed()", "onSkipPressed()", "linkClickedHandler(QUrl)", "onTimeOut()" },
                "linkClickedHandler(QUrl)", "url", nullptr },
            { &QuillonAdWidget::staticMetaObject, { "adLinkActivated(QUrl)", "onMovieFinished()" },
                "adLinkActivated(QUrl)", "adUrl", "onMovieFinished()" },
        };
        for (const auto &each : classes) {
            const QMetaObject &meta = *each.meta;
            QStringList methods;
            for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
                methods += QString::fromLatin1(meta.method(i).methodSignature());
            QCOMPARE(methods, each.methods);
            QCOMPARE(meta.method(meta.indexOfMethod(each.withParameter)).parameterNames(),
                QList<QByteArray>({ each.parameter }));
            if (each.privateMethod)
                QCOMPARE(meta.method(meta.indexOfMethod(each.privateMethod)).access(), QMetaMethod::Private);
        }
        const QMetaObject &module = QuillonAdModule::staticMetaObject;
        QCOMPARE(module.method(module.indexOfMethod("requestAd()")).access(), QMetaMethod::Public);
        // The scene calls start() as a method, not a slot; the bridge has no properties.
        const QMetaObject &bridge = Ad::staticMetaObject;
        QCOMPARE(bridge.method(bridge.indexOfMethod("start()")).methodType(), QMetaMethod::Method);
        QCOMPARE(bridge.propertyCount(), bridge.propertyOffset());
    }

    // The first chain fetches the logo, the ad and its picture; the ad request carries every
    // value unchanged, in order, with the module's User-Agent and nothing else of its own.
    void firstChainFetchesLogoThenAdThenImage()
    {
        const QString appId = freshAppId();
        QuillonAdModule module(nullptr, appId, 0);
        AdChainRecorder recorder(&module);
        const QString values[]
            = { "551", "e1", "a2", "g3", "mn4", "games,fun+free", "Games", "l7", "a,b+c&d=e f#g%h ä/?" };
        const char *keys[] = { "po", "eid", "a", "g", "mn", "k", "c", "l", "lg" };
        for (unsigned slot = 0; slot < 9; ++slot)
            QCOMPARE(module.setParameter(slot, values[slot]), int(QuillonAdModule::ResultOk));

        const qint64 before = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(recorder.events.isEmpty());
        QCOMPARE(module.requestStage(), int(QuillonAdModule::StageLogo));
        QVERIFY(recorder.waitForEnd());
        const qint64 after = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(recorder.events, QStringList({ "startReloadAd busy=1 ready=0", "adDataReady busy=0 ready=1" }));

        const QStringList paths = service.paths();
        QCOMPARE(paths.size(), 3);
        QCOMPARE(paths.mid(0, 2), QStringList({ LogoPath, AdPath }));
        QVERIFY(paths[2].startsWith(QLatin1String("/ads/")));
        QCOMPARE(module.currentLogoData(), LocalService::staticFile("quillon_logo.png"));
        QCOMPARE(module.currentImageData(), LocalService::staticFile(paths[2].mid(1)));
        QVERIFY(!module.currentAdText().isEmpty());
        QCOMPARE(module.currentAdImageUrl(), service.baseUrl() + paths[2]);
        QVERIFY(module.currentAdUrl().startsWith(service.baseUrl() + QStringLiteral("/landing/")));

        const QJsonObject request = service.requests(AdPath).last();
        QCOMPARE(queryKeys(request),
            QStringList({ "aid", "v", "o", "po", "eid", "a", "g", "mn", "k", "c", "l", "lg", "time" }));
        QCOMPARE(queryValue(request, "aid"), appId);
        QCOMPARE(queryValue(request, "v"), QStringLiteral("Sm2m-1.5.2-QT_1.5.2"));
        QCOMPARE(queryValue(request, "o"), QStringLiteral("true"));
        for (unsigned slot = 0; slot < 9; ++slot)
            QCOMPARE(queryValue(request, keys[slot]), values[slot]);
        const qint64 time = queryValue(request, "time").toLongLong();
        QVERIFY(time >= before && time <= after);
        QVERIFY(request.value("query").toString().contains(QLatin1String("k=games,fun%2Bfree&")));
        // The rest of the headers are the network stack's own.
        const QStringList stackHeaders { "host", "connection", "accept-encoding", "accept-language", "user-agent" };
        for (const QJsonObject &each : service.requests()) {
            const QJsonObject headers = each.value("headers").toObject();
            QCOMPARE(headers.value("User-Agent").toString(), ModuleUserAgent);
            for (const QString &name : headers.keys())
                QVERIFY2(stackHeaders.contains(name.toLower()), qPrintable(name));
        }

        // The logo is fetched once per module; the next chain starts with the ad request,
        // which drops the held ad until the new one is complete. The request is built afresh:
        // an emptied slot leaves its key out, "cid" appears.
        QCOMPARE(module.setParameter(0, QString()), int(QuillonAdModule::ResultOk));
        QCOMPARE(module.setParameter(8, QString()), int(QuillonAdModule::ResultOk));
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(!module.isAdReady());
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.names.last(), QStringLiteral("adDataReady"));
        const QStringList again = service.paths(3);
        QCOMPARE(again.size(), 2);
        QCOMPARE(again.first(), AdPath);
        QCOMPARE(queryKeys(service.requests(AdPath).last()),
            QStringList({ "aid", "v", "o", "cid", "eid", "a", "g", "mn", "k", "c", "l", "time" }));
    }

    void clientIdIsAssignedStoredAndSentAfterARestart()
    {
        const QString appId = freshAppId();
        QString assigned;
        {
            QuillonAdModule module(nullptr, appId, 5);
            AdChainRecorder recorder(&module);
            // The picture fails, but the id was stored as the reply was read; a failed chain starts no reload.
            setSwitches(QStringLiteral("image=missing"));
            loadAd(module, recorder, "networkError");
            QVERIFY(!module.findChild<QTimer *>()->isActive());
            QVERIFY(!queryKeys(service.requests(AdPath).last()).contains("cid"));
            assigned = module.currentClientId();
            QVERIFY(!assigned.isEmpty());
            QCOMPARE(storedClientId(appId), assigned);
        }

        setSwitches(QString());
        auto restarted = std::make_unique<QuillonAdModule>(nullptr, appId, 0);
        AdChainRecorder recorder(restarted.get());
        QCOMPARE(restarted->currentClientId(), assigned);
        loadAd(*restarted, recorder);
        QCOMPARE(queryValue(service.requests(AdPath).last(), "cid"), assigned);
        QCOMPARE(queryKeys(service.requests(AdPath).last()), QStringList({ "aid", "v", "o", "po", "cid", "time" }));
        QCOMPARE(restarted->currentClientId(), assigned);

        // An id longer than a request parameter may be is not taken: the held one stays and is sent.
        setSwitches(QStringLiteral("ad=longid"));
        loadAd(*restarted, recorder);
        QCOMPARE(restarted->currentClientId(), assigned);
        QCOMPARE(storedClientId(appId), assigned);

        // An id in a lower-case attribute is no id: the held one is replaced by an empty one.
        setSwitches(QStringLiteral("ad=lowercaseid"));
        loadAd(*restarted, recorder);
        QCOMPARE(queryValue(service.requests(AdPath).last(), "cid"), assigned);
        QCOMPARE(restarted->currentClientId(), QString());
        QVERIFY(clientSettings(appId).contains(QStringLiteral("cid")));
        QCOMPARE(storedClientId(appId), QString());

        // One stored too long by an earlier version is not sent; the network assigns a new
        // one, which replaces it. The old module goes first, as the game ends before it starts.
        restarted.reset();
        clientSettings(appId).setValue(QStringLiteral("cid"), QString(900000, QLatin1Char('C')));
        setSwitches(QString());
        QuillonAdModule upgraded(nullptr, appId, 0);
        AdChainRecorder upgradedRecorder(&upgraded);
        loadAd(upgraded, upgradedRecorder);
        QCOMPARE(queryValue(service.requests(AdPath).last(), "cid"), QString());
        QVERIFY(!storedClientId(appId).isEmpty());
        QVERIFY(storedClientId(appId).size() <= QuillonAdModule::MaxParameterLength);
    }

    // The id names its element, so a failure tells which spelling was missed.
    void clientElementOfAnyCaseCarriesTheId()
    {
        for (const QString tag : { "client", "CLIENT", "cLiEnT" }) {
            const QString appId = freshAppId();
            ReplyParser module(nullptr, appId, 0);
            const QByteArray reply = QStringLiteral("<response><%1 Id=\"%1-17\"/></response>").arg(tag).toUtf8();
            QVERIFY(module.parseAdReply(reply));
            QCOMPARE(module.currentClientId(), tag + "-17");
            QCOMPARE(storedClientId(appId), tag + "-17");

            // The id the module holds is not written again, so a value stored meanwhile stays.
            clientSettings(appId).setValue(QStringLiteral("cid"), QStringLiteral("elsewhere"));
            QVERIFY(module.parseAdReply(reply));
            QCOMPARE(storedClientId(appId), QStringLiteral("elsewhere"));
            QVERIFY(module.parseAdReply(QByteArray(reply).replace("-17", "-18")));
            QCOMPARE(storedClientId(appId), tag + "-18");
        }
    }

    // Only real start tags count against the attribute limit; what a comment or a CDATA
    // section holds is text, even after a '>' of its own.
    void replyGuardsCountOnlyRealTags_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("refused");
        QByteArray pairs;
        for (int i = 0; i < 65; ++i)
            pairs += " k" + QByteArray::number(i) + "=\"v\"";
        QTest::newRow("in a comment") << "<r><!-- 1 > 0 <note" + pairs + "> --><ad/></r>" << false;
        QTest::newRow("in CDATA") << "<r><![CDATA[ 1 > 0 <note" + pairs + "> ]]><ad/></r>" << false;
        QTest::newRow("on a tag") << "<r><note" + pairs + "/><ad/></r>" << true;
    }
    void replyGuardsCountOnlyRealTags()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, refused);
        QCOMPARE(hasTooManyAttributes(body), refused);
        QVERIFY(!isTooBigToBuild(body));
    }

    void replyFieldsAreReadInAnyCaseAndTheLastOneDecides_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("ending");
        QTest::addColumn<QString>("urlPrefix");
        QTest::addColumn<QString>("textSuffix");
        const struct {
            const char *tag, *mode, *ending, *urlPrefix, *textSuffix;
        } rows[] = {
            { "upper case names", "upper", "adDataReady", "http", "" },
            { "second ad with text only", "twoads", "adDataReady", "http", " (second)" },
            { "url with leading spaces", "spaces", "adDataReady", "   \n  http", "" },
            { "no image address", "noimage", "networkError", "http", "" },
            { "k=v pairs in a comment, CDATA and instruction", "commented", "adDataReady", "http", "" },
            { "local file link", "fileurl", "adDataReady", "file:", "" },
            { "script link", "jsurl", "adDataReady", "javascript:", "" },
            // No link expected: no ad was read.
            { "a document without an ad", "empty", "networkError", "", "" },
            { "no XML at all", "notxml", "adDataCorrupted", "", "" },
        };
        for (const auto &row : rows)
            QTest::newRow(row.tag) << QString(row.mode) << QString(row.ending) << QString(row.urlPrefix)
                                   << QString(row.textSuffix);
    }

    // Only a web link is opened, by a click or a banner's activation; either way the next ad is fetched.
    void replyFieldsAreReadInAnyCaseAndTheLastOneDecides()
    {
        QFETCH(QString, mode);
        QFETCH(QString, ending);
        QFETCH(QString, urlPrefix);
        QFETCH(QString, textSuffix);
        OpenedUrls opened;
        QuillonAdModule module(nullptr, freshAppId(), 0);
        AdChainRecorder recorder(&module);
        loadAd(module, recorder);
        const QByteArray firstImage = module.currentImageData();

        setSwitches(QStringLiteral("ad=") + mode);
        loadAd(module, recorder, qPrintable(ending));
        const bool noImage = mode == QLatin1String("noimage");
        const bool noAd = urlPrefix.isEmpty();
        if (noAd) { // the first ad's fields went when the second request started
            QVERIFY(module.currentAdText().isEmpty() && module.currentAdUrl().isEmpty());
            QVERIFY(module.currentAdImageUrl().isEmpty() && module.currentImageData() == firstImage);
            return;
        }
        const QString link = module.currentAdUrl();
        QVERIFY(!module.currentAdText().isEmpty());
        QVERIFY(module.currentAdText().endsWith(textSuffix));
        QVERIFY2(link.startsWith(urlPrefix), qPrintable(link));
        if (noImage) { // the old picture stays until a new one has arrived
            QVERIFY(module.currentAdImageUrl().isEmpty() && module.currentImageData() == firstImage);
            return;
        }
        QVERIFY(module.currentAdImageUrl().startsWith(QLatin1String("http")));

        QCOMPARE(module.clickAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(module.isBusy());
        QVERIFY(recorder.waitForEnd());
        std::unique_ptr<QuillonAdWidget> banner(module.createAdWidget(nullptr, false));
        emit banner->adLinkActivated(QUrl(link));
        QVERIFY(module.isBusy());
        QVERIFY(recorder.waitForEnd());
        const bool web = urlPrefix == QLatin1String("http");
        QCOMPARE(opened.urls, web ? QList<QUrl>({ QUrl(link), QUrl(link) }) : QList<QUrl>());
    }

    void refusalsChangeNothing()
    {
        QuillonAdModule nameless(nullptr, QString(), 0);
        const int before = requestCount();
        QCOMPARE(nameless.requestAd(), int(QuillonAdModule::ErrorNoApplicationId));
        QVERIFY(!nameless.isBusy());

        ReplyParser module(nullptr, freshAppId(), 0);
        AdChainRecorder recorder(&module);
        const auto showDialog
            = [&] { return module.showAdDialog(nullptr, 10, "Skip in", "Skip", "Click", true, false); };
        QCOMPARE(module.setParameter(1, QString(256, QLatin1Char('x'))), int(QuillonAdModule::ResultOk));
        QCOMPARE(module.setParameter(1, QString(257, QLatin1Char('y'))), int(QuillonAdModule::ErrorValueTooLong));
        QCOMPARE(module.setParameter(9, QStringLiteral("ignored")), int(QuillonAdModule::ResultOk));
        QCOMPARE(showDialog(), int(QuillonAdModule::ErrorNoAd));
        QCOMPARE(module.clickAd(), int(QuillonAdModule::ErrorNoAd));
        QuillonAdWidget banner(nullptr, QByteArray(), QString(), false, QString());
        QCOMPARE(module.updateAdWidget(nullptr), int(QuillonAdModule::ErrorNoAd));

        // One chain at a time, from the logo download on.
        setSwitches(QStringLiteral("logo_delay_ms=400&ad_delay_ms=400"));
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ErrorBusy));
        QCOMPARE(module.setParameter(2, QStringLiteral("a")), int(QuillonAdModule::ErrorBusy));
        // Busy is told before a value's length.
        QCOMPARE(module.setParameter(2, QString(257, QLatin1Char('z'))), int(QuillonAdModule::ErrorBusy));
        QVERIFY(QTest::qWaitFor([&] { return !recorder.events.isEmpty(); }, 10000));
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ErrorBusy));
        QCOMPARE(showDialog(), int(QuillonAdModule::ErrorBusy));
        QCOMPARE(module.updateAdWidget(nullptr), int(QuillonAdModule::ErrorBusy));
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.names, QStringList({ "startReloadAd", "adDataReady" }));
        QCOMPARE(service.paths(before).mid(0, 2), QStringList({ LogoPath, AdPath }));
        QCOMPARE(requestCount() - before, 3);

        const QJsonObject request = service.requests(AdPath).last();
        QCOMPARE(queryValue(request, "eid"), QString(256, QLatin1Char('x')));
        QCOMPARE(queryKeys(request), QStringList({ "aid", "v", "o", "po", "eid", "time" }));
        QCOMPARE(module.updateAdWidget(nullptr), int(QuillonAdModule::ErrorNoWidget));
        QCOMPARE(module.updateAdWidget(&banner), int(QuillonAdModule::ResultOk));
        // An empty last link clears the one held: the ad stays, but there is nothing to click.
        QVERIFY(module.parseAdReply("<r><ad><url>http://x.example/</url><url/></ad></r>"));
        QCOMPARE(module.clickAd(), int(QuillonAdModule::ErrorNoAd));
    }

    // The reload timer follows the interval; it stops while the dialog shows, starts again
    // after any ending but a click-through, and stops when the next request starts, whose
    // startReloadAd() reaches its receivers before the request leaves.
    void dialogEndingDecidesBetweenTheHeldAdAndTheNext_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<unsigned>("seconds");
        QTest::addColumn<QString>("pressed");
        QTest::addColumn<int>("interval");
        QTest::newRow("skipped") << "btnLeft" << 86400u << "Skip" << 86400000;
        QTest::newRow("countdown ran out, over a day") << "" << 86401u << "" << 120000;
        QTest::newRow("window closed, far over a day") << "close" << 4000000000u << "" << 120000;
        QTest::newRow("skipped, never reloading") << "btnLeft" << 0u << "Skip" << 0;
        QTest::newRow("clicked through") << "btnRight" << 86400u << "Click" << 86400000;
    }

    void dialogEndingDecidesBetweenTheHeldAdAndTheNext()
    {
        QFETCH(unsigned, seconds);
        QFETCH(int, interval);
        QFETCH(QString, answer);
        QFETCH(QString, pressed);
        const bool clicked = answer == QLatin1String("btnRight");
        OpenedUrls opened;
        QuillonAdModule module(nullptr, freshAppId(), seconds);
        auto *timer = module.findChild<QTimer *>();
        QVERIFY(timer);
        if (interval != 0)
            QVERIFY(timer->interval() == interval && timer->isSingleShot());
        AdChainRecorder recorder(&module);
        loadAd(module, recorder);
        QCOMPARE(timer->isActive(), interval != 0);
        const QString heldUrl = module.currentAdUrl();
        const int before = requestCount();

        DialogAnswerer dialogs(answer);
        dialogs.holdMs = 150;
        bool runningWhileShown = true;
        dialogs.onShown = [&] { runningWhileShown = timer->isActive(); };
        int adRequestsWhenHeard = -1;
        QObject receiver;
        connect(&module, &QuillonAdModule::startReloadAd, &receiver, [&] {
            QTest::qWait(200);
            adRequestsWhenHeard = int(service.requests(AdPath).size());
        });
        const int adRequestsBefore = int(service.requests(AdPath).size());
        QCOMPARE(module.showAdDialog(nullptr, answer.isEmpty() ? 1 : 10, "Skip in", "Skip", "Click", true, false),
            int(QuillonAdModule::ResultOk));
        QCOMPARE(dialogs.shown, 1);
        QVERIFY(!runningWhileShown);
        QCOMPARE(dialogs.pressed, pressed);
        QCOMPARE(timer->isActive(), interval != 0 && !clicked);
        // Only a click-through opens the ad and fetches the next at once; any other ending
        // keeps the same ad for next time.
        QCOMPARE(opened.urls, clicked ? QList<QUrl>({ QUrl(heldUrl) }) : QList<QUrl>());
        QCOMPARE(module.isAdReady(), !clicked);
        if (clicked) {
            QCOMPARE(recorder.names.last(), QStringLiteral("startReloadAd"));
        } else {
            QCOMPARE(module.currentAdUrl(), heldUrl);
            QTest::qWait(50);
            QCOMPARE(requestCount(), before);
            QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        }
        QCOMPARE(adRequestsWhenHeard, adRequestsBefore);
        QVERIFY(!timer->isActive());
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(service.paths(before).first(), AdPath);
    }
};

TAMBORO_TEST_MAIN(AdModuleTest)
#include "tst_module.moc"
