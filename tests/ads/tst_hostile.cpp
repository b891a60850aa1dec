// SPDX-License-Identifier: GPL-3.0-or-later
#include "Ad.h"
#include "AdChainRecorder.h"
#include "IsolatedHome.h"

#include <QRegularExpression>

#include <algorithm>
#include <memory>

namespace {

// The main thread's own time (not the clock's, which load stretches) one reply may cost, and
// one turn of the event loop: far above the heaviest reply's, far below building a refused
// document or decoding a picture at full size, in a sanitizer build too.
constexpr qint64 MostThreadMs = 5000;
constexpr qint64 MostTurnMs = 1000;

// The game's ad bridge, started, with its module's signals written down; given the game's
// window, the scene behind the dialog is drawn at one and a half.
struct StartedBridge {
    explicit StartedBridge(DialogAnswerer &dialogs, QWindow *game = nullptr)
    {
        // Before startAd() there is nothing to show, and nothing breaks.
        quietBeforeStart = dialogs.showsNothing([this] { bridge->start(); });
        if (game)
            bridge->setGameWindow(game, [] { return 1.5; });
        bridge->startAd();
        recorder = std::make_unique<AdChainRecorder>(bridge->module());
    }
    QuillonAdModule *module() const { return bridge->module(); }

    std::unique_ptr<Ad> bridge = std::make_unique<Ad>();
    std::unique_ptr<AdChainRecorder> recorder;
    bool quietBeforeStart = false;
};

} // namespace

// The game's ad bridge against every reply the local ad network can be made to give: the
// chain ends with its one signal (or stays in flight without holding the game), nothing
// unsafe is opened or fetched, and a normal ad works afterwards.
class HostileNetworkTest : public QObject {
    Q_OBJECT

private:
    LocalService service;

    // Only the ad module's own requests: other programs on this machine may probe the port.
    QStringList pathsSince(int before) const { return service.paths(before, ModuleUserAgent); }

private slots:
    void initTestCase() { QVERIFY(service.isRunning()); }

    void everyReplyEndsTheChainSafely_data()
    {
        QTest::addColumn<QString>("switches");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QStringList>("fetched");
        QTest::addColumn<int>("opened");
        QTest::addColumn<QString>("errorPart");
        const QStringList whole { LogoPath, AdPath, QStringLiteral("/ads/") };
        const QStringList adOnly { LogoPath, AdPath };
        const QStringList logoOnly { LogoPath };
        const auto rows = [](const QString &outcome, const QStringList &fetched, int opened, const QStringList &modes,
                              const QString &errorPart = QString()) {
            for (const QString &switches : modes)
                QTest::newRow(switches.isEmpty() ? "normal" : qPrintable(switches))
                    << switches << outcome << fetched << opened << errorPart;
        };
        const QString network = QStringLiteral("networkError");
        rows("adDataReady", whole, 1, { "" });
        // Bytes that are no picture are held undecoded; the dialog shows without one.
        rows("adDataReady", whole, 1,
            { "ad=lowercaseid", "ad=upper", "ad=twoads", "ad=badimage", "ad=longid", "ad=commented", "image=xml",
                "slow=logo,ad,image", "logo_delay_ms=700&ad_delay_ms=700&image_delay_ms=700",
                "ad=giantpicture&logo=giant" });
        // A link with leading blanks is no address, nor one of another scheme: nothing opens.
        rows("adDataReady", whole, 0, { "ad=spaces", "ad=fileurl", "ad=jsurl" });
        // Among them a billion laughs, default attributes from a DTD and entities under the
        // parser's limit; a redirect is not followed.
        rows("adDataCorrupted", adOnly, 0,
            { "ad=notxml", "ad=nested&nested_depth=100000", "ad=entities", "ad=redirect", "ad=picture", "ad=attributes",
                "ad=underlength", "ad=dtdattributes", "ad=entitytext" });
        rows(network, adOnly, 0, { "ad=empty", "ad=noimage", "ad=emptyimage", "ad=overlength", "ad=cutoff" });
        rows(network, adOnly, 0, { "ad=status500" }, "server replied: Internal Server Error");
        rows(network, adOnly, 0, { "ad=fileimage" }, "file:");
        rows(network, adOnly, 0, { "ad=ftpimage" }, "ftp:");
        // A reply that claims more than it may be is stopped at its first bytes, not read.
        rows(network, adOnly, 0, { "ad=oversized", "ad=oversized&slow=ad", "ad=hugelength" }, "1 MiB");
        rows(network, whole, 0, { "ad=hugeimage&hugeimage_mib=9" }, "8 MiB");
        rows(network, whole, 0, { "image=missing" });
        rows(network, logoOnly, 0, { "logo=missing" }, "server replied: Not Found");
        rows(network, logoOnly, 0, { "logo=huge&hugeimage_mib=9" }, "8 MiB");
        rows(network, adOnly, 0, { "ad=reset" });
        rows("busy", adOnly, 0, { "ad=hang" });
        rows("busy", logoOnly, 0, { "logo_delay_ms=3600000" });
    }

    void everyReplyEndsTheChainSafely()
    {
        QFETCH(QString, switches);
        QFETCH(QString, outcome);
        QFETCH(QStringList, fetched);
        QFETCH(int, opened);
        QFETCH(QString, errorPart);
        const QString network = QStringLiteral("networkError");
        const bool ready = outcome == QLatin1String("adDataReady");
        QVERIFY(service.reset(switches));
        const int before = service.requests().size();

        OpenedUrls browser;
        DialogAnswerer dialogs;
        const qint64 residentBefore = residentBytes(QCoreApplication::applicationPid());
        const qint64 threadBefore = threadCpuMs();
        // Ticks like the scene's timers: the thread's own time between ticks is what a turn cost.
        int ticks = 0;
        qint64 tickedAtMs = threadCpuMs();
        qint64 heaviestTurnMs = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] {
            const qint64 now = threadCpuMs();
            heaviestTurnMs = qMax(heaviestTurnMs, now - std::exchange(tickedAtMs, now));
            ++ticks;
        });
        ticker.start(20);
        std::unique_ptr<QWindow> game;
        // Each run starts without a client id, so the one held below is this reply's.
        clientSettings().remove(QStringLiteral("cid"));
        auto run = std::make_unique<StartedBridge>(dialogs);
        const auto start = [&] { run->bridge->start(); };
        // The scene may ask for an ad at any moment; while the chain runs there is none.
        QVERIFY(run->quietBeforeStart && dialogs.showsNothing(start));
        QCOMPARE(run->module()->parent(), run->bridge.get());

        if (outcome == QLatin1String("busy")) {
            QVERIFY(QTest::qWaitFor([&] { return pathsSince(before).size() == fetched.size(); }, 10000));
            const int ticksBefore = ticks;
            QTest::qWait(2500);
            QVERIFY(ticks > ticksBefore);
            QVERIFY(run->module()->isBusy());
            QCOMPARE(run->recorder->endings(), 0);
            QVERIFY(dialogs.showsNothing(start));
            // Leaving the game mid-download is quiet; the next run gets its ad.
            run->bridge.reset();
            QTest::qWait(100);
            QCOMPARE(run->recorder->endings(), 0);
        } else {
            // Hostile replies are refused before they are built, not after minutes of parsing.
            QVERIFY(run->recorder->waitForEnd(20000));
            QTest::qWait(150);
            QCOMPARE(run->recorder->endings(), 1);
            QCOMPARE(run->recorder->events.last(), outcome + (ready ? " busy=0 ready=1" : " busy=1 ready=0"));
            QCOMPARE(run->recorder->events.first().startsWith("startReloadAd "), fetched.contains(AdPath));
            QVERIFY2(run->recorder->lastError.contains(errorPart), qPrintable(run->recorder->lastError));
            // A failed chain always says why.
            QVERIFY(outcome != network || !run->recorder->lastError.isEmpty());
            const QuillonAdModule *module = run->module();
            QVERIFY(!module->isBusy() && module->isAdReady() == ready);
            if (outcome == QLatin1String("adDataCorrupted"))
                QVERIFY(module->currentAdText().isEmpty() && module->currentAdUrl().isEmpty());
            QVERIFY(!module->currentImageData().contains("root:"));
            // Whatever the reply said, the id held is one a request can carry, and it was stored
            // as the reply was read, though the chain failed after.
            QCOMPARE(module->currentClientId(), storedClientId());
            QVERIFY(module->currentClientId().size() <= QuillonAdModule::MaxParameterLength);
            // The game's ads are renewed only by a click-through, never by the reload timer.
            QVERIFY(!module->findChild<QTimer *>()->isActive());
        }
        QVERIFY2(heaviestTurnMs < MostTurnMs, qPrintable(QString::number(heaviestTurnMs)));

        // Only the network's own web addresses were fetched, each once, in chain order (the
        // network stack itself repeats a GET whose connection ended early: not the chain's).
        QStringList seen = pathsSince(before);
        seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
        seen.replaceInStrings(QRegularExpression(QStringLiteral("^/ads/.+")), QStringLiteral("/ads/"));
        QCOMPARE(seen, fetched);
        QVERIFY(browser.urls.isEmpty());

        QVERIFY(service.reset(QString()));
        const int beforeNext = service.requests().size();
        if (!run->bridge) {
            // The game is started again, this time in a window of its own, half past the
            // screen's left edge.
            game = std::make_unique<QWindow>();
            game->setTitle(QStringLiteral("Tamboro 2.0"));
            game->setGeometry(-300, 0, 480, 800);
            game->show();
            QVERIFY(QTest::qWaitForWindowExposed(game.get()));
            run = std::make_unique<StartedBridge>(dialogs, game.get());
        } else if (ready) {
            // The player goes through: only a web link reaches the browser; the ad is dropped
            // and, until the next one has arrived, start() shows nothing.
            const QString heldUrl = run->module()->currentAdUrl();
            dialogs.answer = QStringLiteral("btnRight");
            dialogs.holdMs = 800; // so its pictures play a while
            start();
            dialogs.holdMs = 0;
            QCOMPARE(dialogs.shown, 1);
            QCOMPARE(dialogs.offScreen, 0);
            QCOMPARE(browser.urls, opened ? QList<QUrl>({ QUrl(heldUrl) }) : QList<QUrl>());
            QCOMPARE(run->module()->currentAdUrl(), QString());
            QVERIFY(dialogs.showsNothing(start));
        } else {
            // The chain is over, so the next request is accepted.
            QVERIFY(dialogs.showsNothing(start));
            QCOMPARE(run->module()->requestAd(), int(QuillonAdModule::ResultOk));
        }
        QVERIFY(run->recorder->waitForEnd(20000));
        QVERIFY(run->recorder->events.last().startsWith("adDataReady "));
        // A new module, or one whose logo failed, fetches the logo before the ad. Only the chain's
        // own order is checked: the service's log may list a request of another connection
        // (a logo sent again when its connection ended early) after the ad request.
        const QStringList next = pathsSince(beforeNext);
        QVERIFY2(next.contains(AdPath), qPrintable(next.join(' ')));
        if (game || fetched == QStringList { LogoPath })
            QVERIFY2(
                next.contains(LogoPath) && next.indexOf(LogoPath) < next.indexOf(AdPath), qPrintable(next.join(' ')));
        // The reply, its dialog and the next ad together cost the game little, and left no weight.
        const qint64 threadMs = threadCpuMs() - threadBefore;
        const qint64 kept = residentBytes(QCoreApplication::applicationPid()) - residentBefore;
        QVERIFY2(threadMs < MostThreadMs, qPrintable(QString::number(threadMs)));
        QVERIFY2(kept < MostKeptBytes, qPrintable(QString::number(kept)));

        // The next ad shows in a dialog window of its own with captions, countdown and no text
        // line; given the game's window, it is the game's transient with its title, drawn at the
        // scene's scale and kept on the screen, and the keyboard returns to the game. A skip
        // keeps the ad and asks for nothing.
        const int shownBefore = dialogs.shown;
        const QString heldUrl = run->module()->currentAdUrl();
        const int beforeSkip = service.requests().size();
        QStringList looks;
        dialogs.onShown = [&] {
            QWidget *dialog = QApplication::activeModalWidget();
            const QSize logo = dialog->findChild<QLabel *>("label")->pixmap().deviceIndependentSize().toSize();
            looks = QStringList { dialog->findChild<QPushButton *>("btnLeft")->text(),
                dialog->findChild<QPushButton *>("btnRight")->text(), dialog->findChild<QLabel *>("labelSkip")->text(),
                dialog->parentWidget() ? "in a widget" : "own window",
                dialog->findChild<QLabel *>("lblAdTextCtrl") ? "text line" : "no text line",
                dialog->windowHandle()->transientParent() == game.get() ? "the game's" : "another's",
                dialog->windowTitle(), QStringLiteral("logo %1x%2").arg(logo.width()).arg(logo.height()),
                dialog->frameGeometry().left() >= dialog->screen()->availableGeometry().left() ? "on the screen"
                                                                                               : "off the screen" };
        };
        dialogs.answer = QStringLiteral("btnLeft");
        start();
        QCOMPARE(dialogs.shown, shownBefore + 1);
        QCOMPARE(looks.mid(0, 5), QStringList({ "Skip", "Click", "<b>Skip in 10</b>", "own window", "no text line" }));
        QCOMPARE(dialogs.pressed, QStringLiteral("Skip"));
        if (game) {
            QCOMPARE(looks.mid(5), QStringList({ "the game's", "Tamboro 2.0", "logo 360x90", "on the screen" }));
            QTRY_COMPARE(QGuiApplication::focusWindow(), game.get());
        }
        QTest::qWait(100);
        QCOMPARE(pathsSince(beforeSkip), QStringList());
        QVERIFY(run->module()->isAdReady() && run->module()->currentAdUrl() == heldUrl);
    }

    // A game that ends behind the open ad asks for another: the game goes on as if none were
    // ready, and the open one stays the only dialog. Once it has closed, the next one shows.
    void anAdAskedForWhileOneShowsIsNotNested()
    {
        QVERIFY(service.reset(QString()));
        DialogAnswerer dialogs;
        StartedBridge run(dialogs);
        QVERIFY(run.recorder->waitForEnd(20000) && run.module()->isAdReady());
        bool asked = false;
        bool nestedRanALoop = true;
        dialogs.onShown = [&] {
            if (std::exchange(asked, true))
                return;
            QObject context;
            nestedRanALoop = false;
            QTimer::singleShot(0, &context, [&] { nestedRanALoop = true; });
            run.bridge->start();
        };
        run.bridge->start();
        QVERIFY(asked);
        QVERIFY(!nestedRanALoop);
        QCOMPARE(dialogs.shown, 1);
        run.bridge->start();
        QCOMPARE(dialogs.shown, 2);
    }
};

TAMBORO_TEST_MAIN(HostileNetworkTest)
#include "tst_hostile.moc"
