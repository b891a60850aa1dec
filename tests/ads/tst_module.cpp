// SPDX-License-Identifier: GPL-3.0-or-later
#include "Ad.h"
#include "AdChainRecorder.h"
#include "IsolatedHome.h"
#include "QuillonAdDialog.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QUrlQuery>

#include <memory>

namespace {

// The module with its signals written down, and its reply parser in reach.
class RecordedModule : public QuillonAdModule {
public:
    using QuillonAdModule::parseAdReply;
    using QuillonAdModule::QuillonAdModule;
    AdChainRecorder recorder { this };
};

} // namespace

class AdModuleTest : public QObject {
    Q_OBJECT

private:
    LocalService service;
    int appCounter = 0;

    // A fresh application id names fresh settings, so every test starts without a client id.
    QString freshAppId() { return QStringLiteral("Tamboro_Test_%1").arg(++appCounter); }

    // The query of a logged request as a server reads it: '+' is a space, percent escapes are UTF-8.
    static QString queryValue(const QJsonObject &request, const QString &key)
    {
        const QString query = request.value(QStringLiteral("query")).toString();
        return QUrlQuery(QString(query).replace(QLatin1Char('+'), QStringLiteral("%20")))
            .queryItemValue(key, QUrl::FullyDecoded);
    }
    static QStringList queryKeys(const QJsonObject &request)
    {
        const QStringList pairs = request.value(QStringLiteral("query")).toString().split(QLatin1Char('&'));
        return QStringList(pairs).replaceInStrings(QRegularExpression(QStringLiteral("=.*")), QString());
    }

    // Runs one chain, which drops any ad held, and returns what went wrong unless it ended with
    // `ending`. Callers compare it to "", so a chain gone wrong stops the test there.
    static QString loadAd(RecordedModule &module, const char *ending = "adDataReady")
    {
        if (module.requestAd() != QuillonAdModule::ResultOk || module.isAdReady())
            return QStringLiteral("not started, or the held ad stayed");
        if (!module.recorder.waitForEnd())
            return QStringLiteral("no ending");
        const char *flags = qstrcmp(ending, "adDataReady") == 0 ? " busy=0 ready=1" : " busy=1 ready=0";
        const QString last = module.recorder.events.last();
        return last == QString::fromLatin1(ending) + flags ? QString() : last + ": " + module.recorder.lastError;
    }

private slots:
    void initTestCase() { QVERIFY(service.isRunning()); }

    void init() { QVERIFY(service.reset(QString())); }

    // Other code connects to these by name, and to no private slot.
    void everyAdClassKeepsItsConnectableNames()
    {
        const QList<QPair<const QMetaObject *, QStringList>> classes {
            { &QuillonAdModule::staticMetaObject,
                { "startReloadAd()", "networkError(QString) networkError", "adDataReady()", "adDataCorrupted()",
                    "requestAd()", "httpFinished() private", "httpReadyRead() private",
                    "linkClickedHandler(QUrl) url private" } },
            { &Ad::staticMetaObject,
                { "startAd()", "onStartReloadAd()", "onAdDataReady()", "onAdDataCorrupted()",
                    "onNetworkError(QString) networkError", "start() method" } },
            { &QuillonAdDialog::staticMetaObject,
                { "onClickPressed() private", "onSkipPressed() private", "linkClickedHandler(QUrl) url private",
                    "onTimeOut() private" } },
            { &QuillonAdWidget::staticMetaObject, { "adLinkActivated(QUrl) adUrl", "onMovieFinished() private" } },
        };
        for (const auto &[meta, expected] : classes) {
            QStringList methods;
            for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
                const QMetaMethod method = meta->method(i);
                methods
                    += QString::fromLatin1(method.methodSignature() + ' ' + method.parameterNames().join(',')).trimmed()
                    + (method.access() == QMetaMethod::Private ? " private" : "")
                    + (method.methodType() == QMetaMethod::Method ? " method" : "");
            }
            QCOMPARE(methods, expected);
            QCOMPARE(meta->propertyCount(), meta->propertyOffset());
        }
    }

    // The first chain fetches the logo, the ad and its picture; the ad request carries every
    // value unchanged, in order, with the module's User-Agent and nothing else of its own.
    // What the module cannot do yet, or not while the chain runs, it refuses and changes nothing.
    void firstChainFetchesLogoThenAdThenImage()
    {
        // Slow enough that the chain is still running after its first signal.
        QVERIFY(service.reset(QStringLiteral("logo_delay_ms=400&ad_delay_ms=400")));
        QuillonAdModule nameless(nullptr, QString(), 0);
        QCOMPARE(nameless.requestAd(), int(QuillonAdModule::ErrorNoApplicationId));
        QVERIFY(!nameless.isBusy());

        const QString appId = freshAppId();
        RecordedModule module(nullptr, appId, 0);
        const QString values[] = { "551", QString(256, QLatin1Char('x')), "a2", "g3", "mn4", "games,fun+free", "Games",
            "l7", "a,b+c&d=e f#g%h ä/?" };
        const QStringList keys { "po", "eid", "a", "g", "mn", "k", "c", "l", "lg" };
        for (unsigned slot = 0; slot < 9; ++slot)
            QCOMPARE(module.setParameter(slot, values[slot]), int(QuillonAdModule::ResultOk));
        QCOMPARE(module.setParameter(1, QString(257, QLatin1Char('y'))), int(QuillonAdModule::ErrorValueTooLong));
        QCOMPARE(module.setParameter(9, QStringLiteral("ignored")), int(QuillonAdModule::ResultOk));
        const auto showDialog
            = [&] { return module.showAdDialog(nullptr, 10, "Skip in", "Skip", "Click", true, false); };
        QCOMPARE(showDialog(), int(QuillonAdModule::ErrorNoAd));
        QCOMPARE(module.clickAd(), int(QuillonAdModule::ErrorNoAd));
        QCOMPARE(module.updateAdWidget(nullptr), int(QuillonAdModule::ErrorNoAd));

        const qint64 before = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(module.recorder.events.isEmpty());
        QCOMPARE(module.requestStage(), int(QuillonAdModule::StageLogo));
        // One chain at a time, from the logo download on; busy is told before a value's length.
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ErrorBusy));
        QCOMPARE(module.setParameter(2, QStringLiteral("a")), int(QuillonAdModule::ErrorBusy));
        QCOMPARE(module.setParameter(2, QString(257, QLatin1Char('z'))), int(QuillonAdModule::ErrorBusy));
        // Asked only while busy: a refused check must not start a chain of its own.
        QVERIFY(QTest::qWaitFor([&] { return !module.recorder.events.isEmpty(); }, 10000) && module.isBusy());
        QCOMPARE(module.requestAd(), int(QuillonAdModule::ErrorBusy));
        QCOMPARE(showDialog(), int(QuillonAdModule::ErrorBusy));
        QCOMPARE(module.updateAdWidget(nullptr), int(QuillonAdModule::ErrorBusy));
        QVERIFY(module.recorder.waitForEnd());
        const qint64 after = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(module.recorder.events, QStringList({ "startReloadAd busy=1 ready=0", "adDataReady busy=0 ready=1" }));

        const QStringList paths = service.paths();
        const QRegularExpression picture(QStringLiteral("^/ads/.+"));
        QCOMPARE(QStringList(paths).replaceInStrings(picture, "/ads/"), QStringList({ LogoPath, AdPath, "/ads/" }));
        QCOMPARE(module.currentLogoData(), LocalService::staticFile("quillon_logo.png"));
        QCOMPARE(module.currentImageData(), LocalService::staticFile(paths[2].mid(1)));
        QVERIFY(!module.currentAdText().isEmpty());
        QCOMPARE(module.currentAdImageUrl(), service.baseUrl() + paths[2]);
        QVERIFY(module.currentAdUrl().startsWith(service.baseUrl() + QStringLiteral("/landing/")));
        QCOMPARE(module.updateAdWidget(nullptr), int(QuillonAdModule::ErrorNoWidget));
        QuillonAdWidget banner(nullptr, QByteArray(), QString(), false, QString());
        QCOMPARE(module.updateAdWidget(&banner), int(QuillonAdModule::ResultOk));

        const QJsonObject request = service.requests(AdPath).last();
        QCOMPARE(queryKeys(request), QStringList({ "aid", "v", "o" }) + keys + QStringList("time"));
        QCOMPARE(queryValue(request, "aid"), appId);
        QCOMPARE(queryValue(request, "v"), QStringLiteral("Sm2m-1.5.2-QT_1.5.2"));
        QCOMPARE(queryValue(request, "o"), QStringLiteral("true"));
        for (unsigned slot = 0; slot < 9; ++slot)
            QCOMPARE(queryValue(request, keys.at(slot)), values[slot]);
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

        // The logo is fetched once per module; the next chain starts with the ad request. The
        // request is built afresh: an emptied slot leaves its key out, "cid" appears.
        for (const unsigned slot : { 0u, 8u })
            QCOMPARE(module.setParameter(slot, QString()), int(QuillonAdModule::ResultOk));
        QCOMPARE(loadAd(module), QString());
        const QStringList second = service.paths(3);
        QCOMPARE(QStringList(second).replaceInStrings(picture, "/ads/"), QStringList({ AdPath, "/ads/" }));
        QCOMPARE(module.currentImageData(), LocalService::staticFile(second.last().mid(1)));
        QCOMPARE(queryKeys(service.requests(AdPath).last()),
            QStringList({ "aid", "v", "o", "cid", "eid", "a", "g", "mn", "k", "c", "l", "time" }));
        // An empty last link clears the one held: the ad stays, but there is nothing to click.
        QVERIFY(module.parseAdReply("<r><ad><url>http://x.example/</url><url/></ad></r>"));
        QCOMPARE(module.clickAd(), int(QuillonAdModule::ErrorNoAd));

        // The game started again holds the id the network assigned, and sends it.
        RecordedModule restarted(nullptr, appId, 0);
        QCOMPARE(restarted.currentClientId(), module.currentClientId());
        QCOMPARE(loadAd(restarted), QString());
        QCOMPARE(queryValue(service.requests(AdPath).last(), "cid"), module.currentClientId());
        QCOMPARE(queryKeys(service.requests(AdPath).last()), QStringList({ "aid", "v", "o", "po", "cid", "time" }));
        QCOMPARE(restarted.currentClientId(), module.currentClientId());
    }

    // The id in a client element of any spelling replaces the held one, unless longer than a
    // request parameter may be; an id in a lower-case attribute is no id; one stored too long
    // is not held. A tag of too many attributes is refused, but not in a comment, CDATA or an
    // attribute's value; so is a document type, or nesting far deeper than an ad reply's.
    void replyReplacesTheClientId_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("id");
        const QString held = QStringLiteral("held");
        for (const QString tag : { "client", "CLIENT", "cLiEnT" })
            QTest::newRow(qPrintable(tag))
                << held << QStringLiteral("<r><%1 Id=\"%1-17\"/></r>").arg(tag).toUtf8() << tag + "-17";
        const QString longest(QuillonAdModule::MaxParameterLength, QLatin1Char('L'));
        const QByteArray longestReply = "<r><client Id=\"" + longest.toUtf8() + "\"/></r>";
        QTest::newRow("longest id") << held << longestReply << longest;
        QTest::newRow("too long an id") << held << QByteArray(longestReply).replace("L\"", "LL\"") << held;
        QTest::newRow("lower-case attribute") << held << QByteArray("<r><client id=\"lower\"/></r>") << "";
        QTest::newRow("too long a stored id") << QString(900000, QLatin1Char('C')) << longestReply << longest;
        QByteArray pairs;
        for (int i = 0; i < 65; ++i)
            pairs += " k" + QByteArray::number(i) + "=\"v\"";
        const QByteArray client = "<client Id=\"new\"/></r>";
        QTest::newRow("attributes in a comment") << held << "<r><!-- 1 > 0 <note" + pairs + "> -->" + client << "new";
        QTest::newRow("attributes in CDATA") << held << "<r><![CDATA[ 1 > 0 <note" + pairs + "> ]]>" + client << "new";
        const QByteArray equals = QByteArray("=").repeated(65);
        QTest::newRow("'=' in values")
            << held << "<r><note a=\"" + equals + "\" b='" + equals + "'/>" + client << "new";
        QTest::newRow("refused: attributes on a tag") << held << "<r><note" + pairs + "/>" + client << held;
        QTest::newRow("refused: a document type") << held << "<!DOCTYPE r><r>" + client << held;
        QTest::newRow("refused: nested too deep")
            << held << "<r>" + QByteArray("<n>").repeated(64) + QByteArray("</n>").repeated(64) + client << held;
    }

    void replyReplacesTheClientId()
    {
        QFETCH(QString, stored);
        QFETCH(QByteArray, reply);
        QFETCH(QString, id);
        const QString appId = freshAppId();
        clientSettings(appId).setValue(QStringLiteral("cid"), stored);
        RecordedModule module(nullptr, appId, 0);
        QCOMPARE(module.currentClientId(), stored.size() > QuillonAdModule::MaxParameterLength ? QString() : stored);
        const bool refused = QByteArray(QTest::currentDataTag()).startsWith("refused");
        QCOMPARE(module.parseAdReply(reply), !refused);
        QCOMPARE(module.currentClientId(), id);
        QVERIFY(clientSettings(appId).contains(QStringLiteral("cid")));
        QCOMPARE(storedClientId(appId), id);

        // The id the module holds is not written again, so a value stored meanwhile stays.
        clientSettings(appId).setValue(QStringLiteral("cid"), QStringLiteral("elsewhere"));
        QCOMPARE(module.parseAdReply(reply), !refused);
        QCOMPARE(storedClientId(appId), QStringLiteral("elsewhere"));
    }

    void replyFieldsAreReadInAnyCaseAndTheLastOneDecides_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("ending");
        QTest::addColumn<QString>("urlPrefix");
        QTest::addColumn<QString>("textSuffix");
        const auto row = [](const char *tag, const char *mode, const char *urlPrefix,
                             const char *ending = "adDataReady", const char *textSuffix = "") {
            QTest::newRow(tag) << QString(mode) << QString(ending) << QString(urlPrefix) << QString(textSuffix);
        };
        row("upper case names", "upper", "http");
        row("second ad with text only", "twoads", "http", "adDataReady", " (second)");
        row("url with leading spaces", "spaces", "   \n  http");
        row("no image address", "noimage", "http", "networkError");
        row("k=v pairs in a comment, CDATA and instruction", "commented", "http");
        row("local file link", "fileurl", "file:");
        row("script link", "jsurl", "javascript:");
        row("a document without an ad", "empty", "", "networkError");
        row("no XML at all", "notxml", "", "adDataCorrupted");
    }

    // Only a web link is opened, by a click or a banner's activation; either way the next ad is
    // fetched. A failed chain starts no reload.
    void replyFieldsAreReadInAnyCaseAndTheLastOneDecides()
    {
        QFETCH(QString, mode);
        QFETCH(QString, ending);
        QFETCH(QString, urlPrefix);
        QFETCH(QString, textSuffix);
        OpenedUrls opened;
        RecordedModule module(nullptr, freshAppId(), 3600);
        QCOMPARE(loadAd(module), QString());
        const QByteArray firstImage = module.currentImageData();

        QVERIFY(service.reset(QStringLiteral("ad=") + mode));
        QCOMPARE(loadAd(module, qPrintable(ending)), QString());
        QCOMPARE(module.findChild<QTimer *>()->isActive(), ending == QLatin1String("adDataReady"));
        // Without an ad, the first ad's fields went when the second request started; without a
        // new picture, the old one stays until one has arrived.
        const QString link = module.currentAdUrl();
        QCOMPARE(module.currentAdText().isEmpty(), urlPrefix.isEmpty());
        QVERIFY(urlPrefix.isEmpty() || module.currentAdText().endsWith(textSuffix));
        QVERIFY2(urlPrefix.isEmpty() ? link.isEmpty() : link.startsWith(urlPrefix), qPrintable(link));
        if (ending != QLatin1String("adDataReady")) {
            QVERIFY(module.currentAdImageUrl().isEmpty() && module.currentImageData() == firstImage);
            return;
        }
        QVERIFY(module.currentAdImageUrl().startsWith(QLatin1String("http")));

        QCOMPARE(module.clickAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(module.isBusy());
        QVERIFY(module.recorder.waitForEnd());
        std::unique_ptr<QuillonAdWidget> banner(module.createAdWidget(nullptr, false));
        emit banner->adLinkActivated(QUrl(link));
        QVERIFY(module.isBusy());
        QVERIFY(module.recorder.waitForEnd());
        const bool web = urlPrefix == QLatin1String("http");
        QCOMPARE(opened.urls, web ? QList<QUrl>({ QUrl(link), QUrl(link) }) : QList<QUrl>());
    }

    // The reload timer follows the interval; it stops while the dialog shows, starts again
    // after any ending but a click-through, and stops when the next request starts, whose
    // startReloadAd() reaches its receivers before the request leaves.
    void dialogEndingDecidesBetweenTheHeldAdAndTheNext_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<unsigned>("seconds");
        QTest::addColumn<int>("interval");
        QTest::newRow("skipped") << "btnLeft" << 86400u << 86400000;
        QTest::newRow("countdown ran out, over a day") << "" << 86401u << 120000;
        QTest::newRow("window closed, far over a day") << "close" << 4000000000u << 120000;
        QTest::newRow("skipped, never reloading") << "btnLeft" << 0u << 0;
        QTest::newRow("clicked through") << "btnRight" << 86400u << 86400000;
    }

    void dialogEndingDecidesBetweenTheHeldAdAndTheNext()
    {
        QFETCH(unsigned, seconds);
        QFETCH(int, interval);
        QFETCH(QString, answer);
        const bool clicked = answer == QLatin1String("btnRight");
        OpenedUrls opened;
        RecordedModule module(nullptr, freshAppId(), seconds);
        auto *timer = module.findChild<QTimer *>();
        QVERIFY(timer && (interval == 0 || (timer->interval() == interval && timer->isSingleShot())));
        QCOMPARE(loadAd(module), QString());
        QCOMPARE(timer->isActive(), interval != 0);
        const QString heldUrl = module.currentAdUrl();
        const int before = service.requests().size();

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
        QCOMPARE(dialogs.pressed, QString(answer == QLatin1String("btnLeft") ? "Skip" : clicked ? "Click" : ""));
        QCOMPARE(timer->isActive(), interval != 0 && !clicked);
        // Only a click-through opens the ad and fetches the next at once; the rest keep the ad.
        QCOMPARE(opened.urls, clicked ? QList<QUrl>({ QUrl(heldUrl) }) : QList<QUrl>());
        QCOMPARE(module.isAdReady(), !clicked);
        if (clicked) {
            QVERIFY(module.recorder.events.last().startsWith("startReloadAd "));
        } else {
            QCOMPARE(module.currentAdUrl(), heldUrl);
            QTest::qWait(50);
            QCOMPARE(service.requests().size(), before);
            QCOMPARE(module.requestAd(), int(QuillonAdModule::ResultOk));
        }
        QCOMPARE(adRequestsWhenHeard, adRequestsBefore);
        QVERIFY(!timer->isActive());
        QVERIFY(module.recorder.waitForEnd());
        QCOMPARE(service.paths(before).value(0), AdPath);
    }

    // Handed at start the port of the player's own service, as the launcher does when the
    // compiled-in one is not theirs, the whole chain goes there and none of it to that port.
    void handedOverPortTakesTheWholeChain()
    {
        LocalService own({ QStringLiteral("--port"), QStringLiteral("0") });
        QVERIFY(own.isRunning() && own.port() != service.port());
        qputenv("TAMBORO_LOCAL_SERVICE_PORT", QByteArray::number(own.port()));
        const auto unset = qScopeGuard([] { qunsetenv("TAMBORO_LOCAL_SERVICE_PORT"); });
        const int before = int(service.requests().size());

        RecordedModule module(nullptr, freshAppId(), 0);
        QCOMPARE(loadAd(module), QString());
        QCOMPARE(own.paths().mid(0, 2), QStringList({ LocalService::LogoPath, LocalService::AdPath }));
        QCOMPARE(own.paths().size(), 3);
        QCOMPARE(service.paths(before, ModuleUserAgent), QStringList());
    }
};

TAMBORO_TEST_MAIN(AdModuleTest)
#include "tst_module.moc"
