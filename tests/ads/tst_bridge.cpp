// SPDX-License-Identifier: GPL-3.0-or-later
#include "Ad.h"
#include "AdChainRecorder.h"
#include "IsolatedHome.h"

class AdBridgeTest : public QObject {
    Q_OBJECT

private:
    LocalService service;

private slots:
    void initTestCase() { QVERIFY(service.isRunning()); }

    void startUpAsksForTheGamesAdAndShowsItOnRequest()
    {
        OpenedUrls opened;
        DialogAnswerer dialogs;
        QVERIFY(service.reset("logo_delay_ms=600&ad_delay_ms=600"));
        Ad bridge;
        // Before startAd() there is nothing to show, and nothing breaks.
        QVERIFY(dialogs.showsNothing([&] { bridge.start(); }));
        bridge.startAd();
        QuillonAdModule *module = bridge.module();
        QVERIFY(module);
        QCOMPARE(module->parent(), &bridge);
        AdChainRecorder recorder(module);

        // Until the first ad is complete, start() shows nothing.
        QVERIFY(dialogs.showsNothing([&] { bridge.start(); }));
        QVERIFY(recorder.endings() > 0 || recorder.waitForEnd());
        QCOMPARE(recorder.names, QStringList({ "startReloadAd", "adDataReady" }));

        const QList<QJsonObject> requests = service.requests(AdPath);
        QCOMPARE(requests.size(), 1);
        const QString query = requests.first().value("query").toString();
        QVERIFY2(query.startsWith(LocalService::GameAdQueryStart), qPrintable(query));
        QCOMPARE(queryKeys(requests.first()).last(), QStringLiteral("time"));
        QVERIFY(module->findChild<QTimer *>());
        QVERIFY(!module->findChild<QTimer *>()->isActive());

        // A skip keeps the same ad for next time and asks for nothing. The dialog is the
        // bridge's: a window of its own, its captions and countdown, no text line.
        const QString heldUrl = module->currentAdUrl();
        const int before = service.requests().size();
        bridge.start();
        QCOMPARE(dialogs.shown, 1);
        QCOMPARE(dialogs.looks, QStringLiteral("Skip | Click | <b>Skip in 10</b> | own window"));
        QCOMPARE(dialogs.pressed, QStringLiteral("Skip"));
        QTest::qWait(100);
        QCOMPARE(service.requests().size(), before);
        QVERIFY(module->isAdReady());

        dialogs.answer = QStringLiteral("btnRight");
        bridge.start();
        QCOMPARE(dialogs.shown, 2);
        QCOMPARE(module->currentAdUrl(), QString());
        QCOMPARE(opened.urls, QList<QUrl>({ QUrl(heldUrl) }));

        // Until the next ad has arrived, start() shows nothing.
        QVERIFY(module->isBusy());
        QVERIFY(dialogs.showsNothing([&] { bridge.start(); }));
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.names.last(), QStringLiteral("adDataReady"));
        QVERIFY(module->currentAdUrl() != heldUrl);
        bridge.start();
        QCOMPARE(dialogs.shown, 3);
    }

    // Given the game's window, the dialog belongs to it: the dialog's window is the game's
    // transient, carries its title and is drawn at the scale the scene is drawn at; once it
    // has closed, the keyboard is the game's again.
    void theDialogBelongsToTheGamesWindow()
    {
        QVERIFY(service.reset());
        QWindow game;
        game.setTitle(QStringLiteral("Tamboro 2.0"));
        game.resize(480, 800);
        game.show();
        QVERIFY(QTest::qWaitForWindowExposed(&game));
        Ad bridge;
        bridge.setGameWindow(&game, [] { return 1.5; });
        bridge.startAd();
        AdChainRecorder recorder(bridge.module());
        QVERIFY(recorder.endings() > 0 || recorder.waitForEnd());

        DialogAnswerer dialogs;
        QWindow *owner = nullptr;
        QString title;
        QSize logo;
        dialogs.onShown = [&] {
            QWidget *dialog = QApplication::activeModalWidget();
            owner = dialog->windowHandle()->transientParent();
            title = dialog->windowTitle();
            logo = dialog->findChild<QLabel *>(QStringLiteral("label"))->pixmap().deviceIndependentSize().toSize();
        };
        bridge.start();
        QCOMPARE(dialogs.shown, 1);
        QCOMPARE(owner, &game);
        QCOMPARE(title, game.title());
        QCOMPARE(logo, QSize(360, 90));
        QTRY_COMPARE(QGuiApplication::focusWindow(), &game);
    }

    void moduleSignalsChangeNothing()
    {
        QVERIFY(service.reset("ad=notxml"));
        Ad bridge;
        bridge.startAd();
        AdChainRecorder recorder(bridge.module());
        QVERIFY(recorder.waitForEnd());
        const int before = service.requests().size();

        // A failed first ad is not retried: the run simply has no ad.
        bridge.onStartReloadAd();
        bridge.onAdDataReady();
        bridge.onAdDataCorrupted();
        bridge.onNetworkError(QStringLiteral("down"));
        QTest::qWait(200);
        QCOMPARE(service.requests().size(), before);
        QVERIFY(!bridge.module()->isBusy());
        QVERIFY(!bridge.module()->isAdReady());
        QVERIFY(DialogAnswerer().showsNothing([&] { bridge.start(); }));
    }
};

TAMBORO_TEST_MAIN(AdBridgeTest)
#include "tst_bridge.moc"
