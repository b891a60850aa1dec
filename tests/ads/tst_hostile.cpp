#include "Ad.h"
#include "AdChainRecorder.h"
#include "IsolatedHome.h"
#include "LocalService.h"
#include "QuillonAdModule.h"
#include "ThreadTime.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMap>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTimer>

#include <memory>

#include <unistd.h>

namespace {

const QString AdPath = QStringLiteral("/simpleM2M/clientRequestAd");
const QString LogoPath = QStringLiteral("/quillon_logo.png");
const QString PicturePath = QStringLiteral("/ads/");
const QString ModuleUserAgent = QStringLiteral("Mozilla/5.0 (X11; U; Linux armv7l; fi-FI; rv:1.9.2a1pre) "
                                               "Gecko/20090928 Firefox/3.5 Maemo Browser 1.4.1.15 RX-51 N900");
// The chain stays in flight for a hanging reply; this long it must stay busy quietly.
constexpr int HangWatchMs = 2500;
constexpr int TickMs = 20;
// Longer than any frame the game would drop noticeably, far shorter than any hang.
constexpr qint64 LongestStallMs = 1000;
// What one reply, shown or refused, may cost the game: main-thread time and memory kept.
constexpr qint64 MostThreadMs = 1000;
#ifdef __SANITIZE_ADDRESS__
// AddressSanitizer holds freed memory back in quarantine, so what stays resident is its own.
constexpr qint64 MostKeptBytes = 512 * 1024 * 1024;
#else
constexpr qint64 MostKeptBytes = 50 * 1024 * 1024;
#endif
// How long a dialog stays up before the player answers it, so its pictures play a while.
constexpr int DialogShownMs = 800;

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

QString storedClientId()
{
    return QSettings(QStringLiteral("Quillon"), QStringLiteral("Kelto_Tamboro_Qt")).value(QStringLiteral("cid")).toString();
}

// Ticks like the scene's timers do and remembers the longest wait between two ticks:
// a long one means something held the event loop.
class Ticker {
public:
    Ticker()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            longestGap = qMax(longestGap, m_sinceLast.restart());
            ++ticks;
        });
        m_sinceLast.start();
        m_timer.start(TickMs);
    }

    int ticks = 0;
    qint64 longestGap = 0;

private:
    QTimer m_timer;
    QElapsedTimer m_sinceLast;
};

// Answers every ad dialog that comes up, as the player would, with the named button, after
// holdMs; notes each dialog that reaches past the screen it is on.
class DialogAnswerer {
public:
    DialogAnswerer()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (!dialog || dialog == m_answered)
                return;
            if (dialog != m_seen) {
                m_seen = dialog;
                m_since.start();
                const QRect screen = dialog->screen()->availableGeometry();
                for (const QWidget *button : dialog->findChildren<QPushButton *>()) {
                    if (!screen.contains(QRect(button->mapToGlobal(QPoint(0, 0)), button->size())))
                        ++offScreen;
                }
            }
            if (m_since.elapsed() < holdMs)
                return;
            m_answered = dialog;
            ++shown;
            if (auto *button = dialog->findChild<QPushButton *>(answer))
                button->click();
            else
                dialog->reject();
        });
        m_timer.start(30);
    }

    QString answer = QStringLiteral("btnLeft");
    int holdMs = 0;
    int shown = 0;
    int offScreen = 0;

private:
    QTimer m_timer;
    QPointer<QDialog> m_answered;
    QPointer<QDialog> m_seen;
    QElapsedTimer m_since;
};

QString outcomeOf(const AdChainRecorder &recorder)
{
    const QStringList names = recorder.names();
    return names.isEmpty() || names.last() == QLatin1String("startReloadAd") ? QStringLiteral("busy") : names.last();
}

} // namespace

// Every reply the local ad network can be made to give, met by the game's own ad bridge:
// the chain ends with its one signal (or stays in flight without holding the game), nothing
// unsafe is opened or fetched, and a normal ad works afterwards.
class HostileNetworkTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<LocalService> service;
    QMap<QString, int> outcomes;
    int cases = 0;

    void setSwitches(const QString &query) { QVERIFY(service->control(QUrlQuery(QStringLiteral("reset=1&") + query))); }

    // Only the ad module's own requests: other programs on this machine may probe the port.
    QStringList pathsSince(int before) const
    {
        QStringList paths;
        const QList<QJsonObject> requests = service->requests().mid(before);
        for (const QJsonObject &request : requests) {
            if (request.value(QStringLiteral("headers")).toObject().value(QStringLiteral("User-Agent")).toString()
                == ModuleUserAgent)
                paths += request.value(QStringLiteral("path")).toString();
        }
        return paths;
    }

    // start() while nothing is held must come back at once without a dialog.
    void startShowsNothing(Ad &bridge, const DialogAnswerer &dialogs)
    {
        QElapsedTimer clock;
        clock.start();
        bridge.start();
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(dialogs.shown, 0);
    }

private slots:
    void initTestCase()
    {
        service = std::make_unique<LocalService>();
        QVERIFY(service->isRunning());
    }

    void cleanupTestCase()
    {
        service.reset();
        QStringList counts;
        for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
            counts += QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
        qInfo("hostile network: %d cases: %s", cases, qPrintable(counts.join(QStringLiteral(", "))));
    }

    void everyReplyEndsTheChainSafely_data()
    {
        QTest::addColumn<QString>("switches");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QStringList>("fetched");
        QTest::addColumn<int>("opened");

        const QStringList whole { LogoPath, AdPath, PicturePath };
        const QStringList adOnly { LogoPath, AdPath };
        const QStringList logoOnly { LogoPath };
        const QString ready = QStringLiteral("adDataReady");
        const QString network = QStringLiteral("networkError");
        const QString corrupted = QStringLiteral("adDataCorrupted");
        const QString busy = QStringLiteral("busy");

        QTest::newRow("normal") << "" << ready << whole << 1;
        QTest::newRow("ad=notxml") << "ad=notxml" << corrupted << adOnly << 0;
        QTest::newRow("ad=empty") << "ad=empty" << network << adOnly << 0;
        QTest::newRow("ad=noimage") << "ad=noimage" << network << adOnly << 0;
        QTest::newRow("ad=emptyimage") << "ad=emptyimage" << network << adOnly << 0;
        QTest::newRow("ad=lowercaseid") << "ad=lowercaseid" << ready << whole << 1;
        QTest::newRow("ad=upper") << "ad=upper" << ready << whole << 1;
        QTest::newRow("ad=twoads") << "ad=twoads" << ready << whole << 1;
        // The link keeps its leading blanks, which make it no address: nothing opens.
        QTest::newRow("ad=spaces") << "ad=spaces" << ready << whole << 0;
        QTest::newRow("ad=nested") << "ad=nested" << corrupted << adOnly << 0;
        QTest::newRow("ad=entities") << "ad=entities" << corrupted << adOnly << 0;
        QTest::newRow("ad=oversized") << "ad=oversized" << network << adOnly << 0;
        QTest::newRow("ad=hang") << "ad=hang" << busy << adOnly << 0;
        // The network stack sends a GET once more when the connection drops before any reply.
        QTest::newRow("ad=reset") << "ad=reset" << network << QStringList { LogoPath, AdPath, AdPath } << 0;
        QTest::newRow("ad=status500") << "ad=status500" << network << adOnly << 0;
        QTest::newRow("ad=redirect") << "ad=redirect" << corrupted << adOnly << 0;
        QTest::newRow("ad=fileurl") << "ad=fileurl" << ready << whole << 0;
        QTest::newRow("ad=jsurl") << "ad=jsurl" << ready << whole << 0;
        QTest::newRow("ad=fileimage") << "ad=fileimage" << network << adOnly << 0;
        QTest::newRow("ad=ftpimage") << "ad=ftpimage" << network << adOnly << 0;
        // Bytes that are no picture are held undecoded; the dialog shows without one.
        QTest::newRow("ad=badimage") << "ad=badimage" << ready << whole << 1;
        QTest::newRow("ad=hugeimage") << "ad=hugeimage" << network << whole << 0;
        QTest::newRow("ad=picture") << "ad=picture" << corrupted << adOnly << 0;
        QTest::newRow("ad=attributes") << "ad=attributes" << corrupted << adOnly << 0;
        QTest::newRow("ad=overlength") << "ad=overlength" << network << adOnly << 0;
        QTest::newRow("ad=underlength") << "ad=underlength" << corrupted << adOnly << 0;
        QTest::newRow("ad=hugelength") << "ad=hugelength" << network << adOnly << 0;
        QTest::newRow("ad=cutoff") << "ad=cutoff" << network << adOnly << 0;
        QTest::newRow("ad=dtdattributes") << "ad=dtdattributes" << corrupted << adOnly << 0;
        QTest::newRow("ad=entitytext") << "ad=entitytext" << corrupted << adOnly << 0;
        QTest::newRow("ad=longid") << "ad=longid" << ready << whole << 1;
        QTest::newRow("ad=commented") << "ad=commented" << ready << whole << 1;
        QTest::newRow("giant logo and picture") << "ad=giantpicture&logo=giant" << ready << whole << 1;
        QTest::newRow("logo=missing") << "logo=missing" << network << logoOnly << 0;
        QTest::newRow("logo=huge") << "logo=huge" << network << logoOnly << 0;
        QTest::newRow("image=missing") << "image=missing" << network << whole << 0;
        QTest::newRow("image=xml") << "image=xml" << ready << whole << 1;
        QTest::newRow("slow=logo,ad,image") << "slow=logo,ad,image" << ready << whole << 1;
        QTest::newRow("delays 700 ms each")
            << "logo_delay_ms=700&ad_delay_ms=700&image_delay_ms=700" << ready << whole << 1;
        QTest::newRow("logo never answers") << "logo_delay_ms=3600000" << busy << logoOnly << 0;
    }

    void everyReplyEndsTheChainSafely()
    {
        QFETCH(QString, switches);
        QFETCH(QString, outcome);
        QFETCH(QStringList, fetched);
        QFETCH(int, opened);
        setSwitches(switches);
        const int before = service->requests().size();

        OpenedUrls browser;
        DialogAnswerer dialogs;
        const qint64 residentBefore = residentBytes();
        const qint64 threadBefore = threadCpuMs();
        Ticker ticker;
        QElapsedTimer chainClock;
        chainClock.start();
        auto bridge = std::make_unique<Ad>();
        bridge->startAd();
        QuillonAdModule *module = bridge->module();
        QVERIFY(module);
        auto recorder = std::make_unique<AdChainRecorder>(module);
        // The scene may ask for an ad at any moment; while the chain runs there is none.
        startShowsNothing(*bridge, dialogs);

        if (outcome == QLatin1String("busy")) {
            QVERIFY(QTest::qWaitFor([&] { return pathsSince(before).size() == fetched.size(); }, 10000));
            const int ticksBefore = ticker.ticks;
            QTest::qWait(HangWatchMs);
            QVERIFY2(ticker.ticks - ticksBefore > HangWatchMs / TickMs / 2, qPrintable(QString::number(ticker.ticks)));
            QVERIFY(module->isBusy());
            QCOMPARE(recorder->endings(), 0);
            startShowsNothing(*bridge, dialogs);
            // Leaving the game mid-download is quiet; the next run gets its ad.
            bridge.reset();
            QTest::qWait(100);
            QCOMPARE(recorder->endings(), 0);
        } else {
            QVERIFY(recorder->waitForEnd(20000));
            QTest::qWait(150);
            QCOMPARE(recorder->endings(), 1);
            const bool ready = outcome == QLatin1String("adDataReady");
            QCOMPARE(recorder->events.last(),
                outcome + (ready ? QStringLiteral(" busy=0 ready=1") : QStringLiteral(" busy=1 ready=0")));
            QVERIFY(!module->isBusy());
            QVERIFY(!module->currentImageData().contains("root:"));
            // Whatever the reply said, the id held is the one stored and one a request can carry.
            QCOMPARE(module->currentClientId(), storedClientId());
            QVERIFY(module->currentClientId().size() <= QuillonAdModule::MaxParameterLength);
        }
        outcomes[outcomeOf(*recorder)] += 1;
        ++cases;
        qInfo("%-40s %-16s %lld ms, longest stall %lld ms", QTest::currentDataTag(), qPrintable(outcomeOf(*recorder)),
            chainClock.elapsed(), ticker.longestGap);
        QVERIFY2(ticker.longestGap < LongestStallMs, qPrintable(QString::number(ticker.longestGap)));

        // Only the network's own web addresses were fetched, each once, in chain order.
        const QStringList seen = pathsSince(before);
        QVERIFY2(seen.size() == fetched.size(), qPrintable(seen.join(QLatin1Char(' '))));
        for (int i = 0; i < fetched.size(); ++i)
            QVERIFY2(seen[i].startsWith(fetched[i]), qPrintable(seen.join(QLatin1Char(' '))));
        QVERIFY(browser.urls.isEmpty());

        setSwitches(QString());
        const int beforeNext = service->requests().size();
        if (!bridge) {
            bridge = std::make_unique<Ad>();
            bridge->startAd();
            module = bridge->module();
            recorder = std::make_unique<AdChainRecorder>(module);
            QVERIFY(recorder->waitForEnd(20000));
        } else if (outcome == QLatin1String("adDataReady")) {
            // The player goes through to the ad: only a web link reaches the browser, and
            // the click fetches the next ad at once.
            dialogs.answer = QStringLiteral("btnRight");
            dialogs.holdMs = DialogShownMs;
            bridge->start();
            dialogs.holdMs = 0;
            QCOMPARE(dialogs.shown, 1);
            QCOMPARE(dialogs.offScreen, 0);
            QCOMPARE(browser.urls.size(), opened);
            for (const QUrl &url : browser.urls)
                QVERIFY2(isWebLinkForTest(url), qPrintable(url.toString()));
            QVERIFY(recorder->waitForEnd(20000));
        } else {
            startShowsNothing(*bridge, dialogs);
            QCOMPARE(module->requestAd(), int(QuillonAdModule::ResultOk));
            QVERIFY(recorder->waitForEnd(20000));
        }
        QCOMPARE(recorder->names().last(), QStringLiteral("adDataReady"));
        QVERIFY(pathsSince(beforeNext).contains(AdPath));
        // The reply, its dialog and the next ad together cost the game little, and left no weight.
        const qint64 threadMs = threadCpuMs() - threadBefore;
        const qint64 kept = residentBytes() - residentBefore;
        qInfo("%-40s main thread %lld ms, memory kept %+lld KiB", QTest::currentDataTag(), threadMs, kept / 1024);
        QVERIFY2(threadMs < MostThreadMs, qPrintable(QString::number(threadMs)));
        QVERIFY2(kept < MostKeptBytes, qPrintable(QString::number(kept)));

        // And the next ad shows.
        const int shownBefore = dialogs.shown;
        dialogs.answer = QStringLiteral("btnLeft");
        bridge->start();
        QCOMPARE(dialogs.shown, shownBefore + 1);
        QVERIFY(module->isAdReady());
    }

    // An id longer than a request parameter may be is not taken: the held one stays, stored
    // and sent. One stored too long by an earlier version is not sent; the network assigns
    // a new one, which replaces it.
    void anOverlongClientIdIsNeitherStoredNorSent()
    {
        const auto lastSentId = [this] {
            const QList<QJsonObject> sent = service->requests(AdPath);
            for (const auto &pair : serverQueryPairs(sent.last().value(QStringLiteral("query")).toString())) {
                if (pair.first == QLatin1String("cid"))
                    return pair.second;
            }
            return QString();
        };
        setSwitches(QString());
        auto bridge = std::make_unique<Ad>();
        bridge->startAd();
        auto recorder = std::make_unique<AdChainRecorder>(bridge->module());
        QVERIFY(recorder->waitForEnd(20000));
        const QString held = bridge->module()->currentClientId();
        QVERIFY(!held.isEmpty());

        setSwitches(QStringLiteral("ad=longid"));
        QCOMPARE(bridge->module()->requestAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(recorder->waitForEnd(20000));
        QCOMPARE(recorder->names().last(), QStringLiteral("adDataReady"));
        QCOMPARE(bridge->module()->currentClientId(), held);
        QCOMPARE(storedClientId(), held);
        setSwitches(QString());
        QCOMPARE(bridge->module()->requestAd(), int(QuillonAdModule::ResultOk));
        QVERIFY(recorder->waitForEnd(20000));
        QCOMPARE(lastSentId(), held);

        recorder.reset();
        bridge.reset();
        QSettings(QStringLiteral("Quillon"), QStringLiteral("Kelto_Tamboro_Qt"))
            .setValue(QStringLiteral("cid"), QString(900000, QLatin1Char('C')));
        bridge = std::make_unique<Ad>();
        bridge->startAd();
        recorder = std::make_unique<AdChainRecorder>(bridge->module());
        QVERIFY(recorder->waitForEnd(20000));
        QCOMPARE(lastSentId(), QString());
        QVERIFY(!storedClientId().isEmpty());
        QVERIFY(storedClientId().size() <= QuillonAdModule::MaxParameterLength);
    }

private:
    static bool isWebLinkForTest(const QUrl &url)
    {
        return (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))
            && !url.host().isEmpty();
    }
};

TAMBORO_TEST_MAIN(HostileNetworkTest)
#include "tst_hostile.moc"
