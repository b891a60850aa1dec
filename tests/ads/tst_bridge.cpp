#include "Ad.h"
#include "AdChainRecorder.h"
#include "IsolatedHome.h"
#include "LocalService.h"
#include "QuillonAdModule.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

const QString AdPath = QStringLiteral("/simpleM2M/clientRequestAd");
const QString Keywords
    = QStringLiteral("games,arcade,action,boxing,jungle,ape,monkey,touch,move,sports,adventure,classic,fun,free");

struct ShownDialog {
    bool shown = false;
    bool topLevel = false;
    QString left;
    QString right;
    QString countdown;
    bool adText = true;
};

} // namespace

class AdBridgeTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<LocalService> service;

    // Looks at the dialog start() opens, then presses one of its buttons.
    ShownDialog startAndPress(Ad &bridge, const QString &buttonName, qint64 *returnedAfterMs = nullptr)
    {
        auto seen = std::make_shared<ShownDialog>();
        auto looked = std::make_shared<bool>(false);
        QTimer::singleShot(200, this, [seen, looked, buttonName] {
            *looked = true;
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            seen->shown = true;
            seen->topLevel = dialog->parentWidget() == nullptr;
            auto *left = dialog->findChild<QPushButton *>(QStringLiteral("btnLeft"));
            auto *right = dialog->findChild<QPushButton *>(QStringLiteral("btnRight"));
            auto *countdown = dialog->findChild<QLabel *>(QStringLiteral("labelSkip"));
            seen->left = left ? left->text() : QString();
            seen->right = right ? right->text() : QString();
            seen->countdown = countdown ? countdown->text() : QString();
            seen->adText = dialog->findChild<QLabel *>(QStringLiteral("lblAdTextCtrl")) != nullptr;
            if (auto *button = dialog->findChild<QPushButton *>(buttonName))
                button->click();
            else
                dialog->reject();
        });
        QElapsedTimer clock;
        clock.start();
        bridge.start();
        if (returnedAfterMs)
            *returnedAfterMs = clock.elapsed();
        if (!QTest::qWaitFor([looked] { return *looked; }, 5000))
            qFatal("the dialog check never ran");
        return *seen;
    }

private slots:
    void initTestCase()
    {
        service = std::make_unique<LocalService>();
        QVERIFY(service->isRunning());
    }

    void cleanupTestCase() { service.reset(); }

    void interfaceOffersTheSceneOneOperation()
    {
        const QMetaObject &meta = Ad::staticMetaObject;
        QStringList methods;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
            methods += QString::fromLatin1(meta.method(i).methodSignature());
        QCOMPARE(methods,
            QStringList({ "startAd()", "onStartReloadAd()", "onAdDataReady()", "onAdDataCorrupted()",
                "onNetworkError(QString)", "start()" }));
        QCOMPARE(meta.method(meta.indexOfMethod("start()")).methodType(), QMetaMethod::Method);
        QCOMPARE(meta.method(meta.indexOfMethod("onNetworkError(QString)")).parameterNames(),
            QList<QByteArray>({ "networkError" }));
        QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    }

    void startUpAsksForTheGamesAdAndShowsItOnRequest()
    {
        OpenedUrls opened;
        QVERIFY(service->control(QUrlQuery(QStringLiteral("reset=1&logo_delay_ms=600&ad_delay_ms=600"))));
        Ad bridge;
        // Before startAd() there is nothing to show, and nothing breaks.
        bridge.start();
        bridge.startAd();
        QuillonAdModule *module = bridge.module();
        QVERIFY(module);
        QCOMPARE(module->parent(), &bridge);
        AdChainRecorder recorder(module);

        // Until the first ad is complete, start() returns at once with nothing shown.
        qint64 returnedAfter = -1;
        QVERIFY(!startAndPress(bridge, "btnLeft", &returnedAfter).shown);
        QVERIFY(returnedAfter < 150);
        if (recorder.endings() == 0)
            QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.names(), QStringList({ "startReloadAd", "adDataReady" }));

        const QList<QJsonObject> requests = service->requests(AdPath);
        QCOMPARE(requests.size(), 1);
        const auto pairs = serverQueryPairs(requests.first().value("query").toString());
        QStringList keys;
        for (const auto &pair : pairs)
            keys += pair.first;
        QCOMPARE(keys, QStringList({ "aid", "v", "o", "po", "k", "c", "time" }));
        QCOMPARE(pairs[0].second, QStringLiteral("Kelto_Tamboro_Qt"));
        QCOMPARE(pairs[3].second, QStringLiteral("551"));
        QCOMPARE(pairs[4].second, Keywords);
        QCOMPARE(pairs[5].second, QStringLiteral("Games"));
        QVERIFY(module->findChild<QTimer *>());
        QVERIFY(!module->findChild<QTimer *>()->isActive());

        // A skip keeps the same ad for next time and asks for nothing.
        const QString heldUrl = module->currentAdUrl();
        const int before = service->requests().size();
        ShownDialog seen = startAndPress(bridge, "btnLeft");
        QVERIFY(seen.shown);
        QVERIFY(seen.topLevel);
        QCOMPARE(seen.left, QStringLiteral("Skip"));
        QCOMPARE(seen.right, QStringLiteral("Click"));
        QCOMPARE(seen.countdown, QStringLiteral("<b>Skip in 10</b>"));
        QVERIFY(!seen.adText);
        QTest::qWait(100);
        QCOMPARE(service->requests().size(), before);
        QVERIFY(module->isAdReady());

        seen = startAndPress(bridge, "btnRight");
        QVERIFY(seen.shown);
        QCOMPARE(module->currentAdUrl(), QString());
        QCOMPARE(opened.urls, QList<QUrl>({ QUrl(heldUrl) }));

        // Until the next ad has arrived, start() shows nothing.
        QVERIFY(module->isBusy());
        QVERIFY(!startAndPress(bridge, "btnLeft").shown);
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.names().last(), QStringLiteral("adDataReady"));
        QVERIFY(module->currentAdUrl() != heldUrl);
        QVERIFY(startAndPress(bridge, "btnLeft").shown);
    }

    void moduleSignalsChangeNothing()
    {
        QVERIFY(service->control(QUrlQuery(QStringLiteral("reset=1&ad=notxml"))));
        Ad bridge;
        bridge.startAd();
        AdChainRecorder recorder(bridge.module());
        QVERIFY(recorder.waitForEnd());
        const int before = service->requests().size();

        // A failed first ad is not retried: the run simply has no ad.
        bridge.onStartReloadAd();
        bridge.onAdDataReady();
        bridge.onAdDataCorrupted();
        bridge.onNetworkError(QStringLiteral("down"));
        QTest::qWait(200);
        QCOMPARE(service->requests().size(), before);
        QVERIFY(!bridge.module()->isBusy());
        QVERIFY(!bridge.module()->isAdReady());
        QVERIFY(!startAndPress(bridge, "btnLeft").shown);
        service->control(QUrlQuery(QStringLiteral("reset=1")));
    }
};

TAMBORO_TEST_MAIN(AdBridgeTest)
#include "tst_bridge.moc"
