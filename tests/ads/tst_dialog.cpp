#include "IsolatedHome.h"
#include "ThreadTime.h"

#include "QuillonAdDialog.h"
#include "QuillonAdWidget.h"

#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMetaMethod>
#include <QMovie>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTimer>

#include <memory>


namespace {

const QString AdUrl = QStringLiteral("http://ads.example/click?id=7");
const QStringList CapturedSchemes = { "http", "https", "file", "javascript", "myapp" };

QByteArray staticFile(const QString &name)
{
    QFile file(QFINDTESTDATA(QStringLiteral("../../tools/static/") + name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Options {
    int seconds = 10;
    QString left = QStringLiteral("Skip");
    QString right = QStringLiteral("Click");
    bool skipOnLeft = true;
    QString url = AdUrl;
    QByteArray logo = staticFile(QStringLiteral("quillon_logo.png"));
};

std::unique_ptr<QuillonAdDialog> makeDialog(const Options &o = Options())
{
    auto dialog = std::make_unique<QuillonAdDialog>(o.logo, staticFile(QStringLiteral("ads/ad2.png")), o.url,
        QStringLiteral("An ad"), false, o.left, o.right, o.skipOnLeft, o.seconds, QStringLiteral("Skip in"), nullptr);
    dialog->setModal(true);
    return dialog;
}

QString skipLine(QDialog &dialog)
{
    return dialog.findChild<QLabel *>(QStringLiteral("labelSkip"))->text();
}
QPushButton *button(QDialog &dialog, const char *name)
{
    return dialog.findChild<QPushButton *>(name);
}
QString countdown(int seconds)
{
    return QStringLiteral("<b>Skip in %1</b>").arg(seconds);
}

void tick(QuillonAdDialog &dialog)
{
    QVERIFY(QMetaObject::invokeMethod(&dialog, "onTimeOut"));
}

} // namespace

class AdDialogTest : public QObject {
    Q_OBJECT

public slots:
    void capture(const QUrl &url) { opened << url; }

private:
    QList<QUrl> opened;

private slots:
    void initTestCase()
    {
        for (const QString &scheme : CapturedSchemes)
            QDesktopServices::setUrlHandler(scheme, this, "capture");
    }
    void cleanupTestCase()
    {
        for (const QString &scheme : CapturedSchemes)
            QDesktopServices::unsetUrlHandler(scheme);
    }
    void init() { opened.clear(); }

    void slotsKeepTheirConnectableNames()
    {
        const QMetaObject &meta = QuillonAdDialog::staticMetaObject;
        QList<QByteArray> signatures;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
            signatures << meta.method(i).methodSignature();
        QCOMPARE(signatures,
            QList<QByteArray>({ "onClickPressed()", "onSkipPressed()", "linkClickedHandler(QUrl)", "onTimeOut()" }));
        QCOMPARE(meta.method(meta.methodOffset() + 2).parameterNames(), QList<QByteArray>({ "url" }));
    }

    void countdownShowsTenToOneThenRejects()
    {
        auto dialog = makeDialog();
        auto *timer = dialog->findChild<QTimer *>();
        QVERIFY(timer && timer->isActive() && timer->isSingleShot());
        QCOMPARE(timer->interval(), 1000);
        QCOMPARE(skipLine(*dialog), countdown(10));
        dialog->open();
        for (int left = 9; left >= 1; --left) {
            tick(*dialog);
            QCOMPARE(skipLine(*dialog), countdown(left));
            QVERIFY(timer->isActive());
            QVERIFY(dialog->isVisible());
        }
        tick(*dialog);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        QVERIFY(!timer->isActive());
        QCOMPARE(skipLine(*dialog), countdown(1));
        QVERIFY(opened.isEmpty());
    }

    void oneSecondCountdownRejectsByItself()
    {
        Options options;
        options.seconds = 1;
        auto dialog = makeDialog(options);
        QCOMPARE(skipLine(*dialog), countdown(1));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(dialog->exec(), int(QDialog::Rejected));
        QVERIFY2(clock.elapsed() >= 900 && clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    }

    void noCountdownForZeroOrLess_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::newRow("0") << 0;
        QTest::newRow("-5") << -5;
    }
    void noCountdownForZeroOrLess()
    {
        QFETCH(int, seconds);
        Options options;
        options.seconds = seconds;
        auto dialog = makeDialog(options);
        QVERIFY(!dialog->findChild<QTimer *>());
        QCOMPARE(skipLine(*dialog), QString());
        dialog->open();
        QTest::qWait(20);
        QVERIFY(dialog->isVisible());
        button(*dialog, "btnLeft")->click();
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
    }

    void skippingEndsTheCountdown_data()
    {
        QTest::addColumn<bool>("byEscape");
        QTest::newRow("skip button") << false;
        QTest::newRow("escape key") << true;
    }
    void skippingEndsTheCountdown()
    {
        QFETCH(bool, byEscape);
        auto dialog = makeDialog();
        dialog->open();
        for (int i = 0; i < 3; ++i)
            tick(*dialog);
        if (byEscape)
            QTest::keyClick(dialog.get(), Qt::Key_Escape);
        else
            button(*dialog, "btnLeft")->click();
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        QVERIFY(!dialog->findChild<QTimer *>()->isActive());
        QCOMPARE(skipLine(*dialog), countdown(7));
        QVERIFY(opened.isEmpty());
    }

    void openButtonHandsTheAdToThePlatform()
    {
        auto dialog = makeDialog();
        dialog->open();
        button(*dialog, "btnRight")->click();
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QCOMPARE(opened, QList<QUrl>({ QUrl(AdUrl) }));
        QVERIFY(!dialog->findChild<QTimer *>()->isActive());
    }

    void skipOnRightKeepsTheGivenTexts()
    {
        Options options;
        options.left = QStringLiteral("Open");
        options.right = QStringLiteral("Later");
        options.skipOnLeft = false;
        auto opening = makeDialog(options);
        QCOMPARE(button(*opening, "btnLeft")->text(), QStringLiteral("Open"));
        QCOMPARE(button(*opening, "btnRight")->text(), QStringLiteral("Later"));
        opening->open();
        button(*opening, "btnLeft")->click();
        QCOMPARE(opening->result(), int(QDialog::Accepted));
        QCOMPARE(opened.size(), 1);

        auto skipping = makeDialog(options);
        skipping->open();
        button(*skipping, "btnRight")->click();
        QCOMPARE(skipping->result(), int(QDialog::Rejected));
        QCOMPARE(opened.size(), 1);
    }

    void anEmptyCaptionRestoresSkipAndClick_data()
    {
        QTest::addColumn<QString>("left");
        QTest::addColumn<QString>("right");
        QTest::newRow("left empty") << QString() << QStringLiteral("Later");
        QTest::newRow("right empty") << QStringLiteral("Open") << QString();
    }
    void anEmptyCaptionRestoresSkipAndClick()
    {
        QFETCH(QString, left);
        QFETCH(QString, right);
        Options options;
        options.left = left;
        options.right = right;
        options.skipOnLeft = false;
        auto dialog = makeDialog(options);
        QCOMPARE(button(*dialog, "btnLeft")->text(), QStringLiteral("Skip"));
        QCOMPARE(button(*dialog, "btnRight")->text(), QStringLiteral("Click"));
        dialog->open();
        button(*dialog, "btnLeft")->click();
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        QVERIFY(opened.isEmpty());
    }

    void bannerActivationOpensTheAd_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("opens");
        QTest::newRow("tap on the image") << 0 << true;
        QTest::newRow("select") << int(Qt::Key_Select) << true;
        QTest::newRow("enter") << int(Qt::Key_Enter) << true;
        QTest::newRow("return") << int(Qt::Key_Return) << false;
    }
    void bannerActivationOpensTheAd()
    {
        QFETCH(int, key);
        QFETCH(bool, opens);
        auto dialog = makeDialog();
        QWidget *focused = nullptr;
        QTimer::singleShot(0, this, [&] {
            auto *modal = QApplication::activeModalWidget();
            QVERIFY(modal);
            focused = modal->focusWidget();
            auto *banner = modal->findChild<QuillonAdWidget *>();
            if (key)
                QTest::keyClick(focused, Qt::Key(key));
            else
                QTest::mouseClick(banner->findChild<QLabel *>(QStringLiteral("lblAdImageCtrl")), Qt::LeftButton);
            if (modal->isVisible())
                static_cast<QDialog *>(modal)->done(-1);
        });
        const int result = dialog->exec();
        QCOMPARE(focused, dialog->findChild<QuillonAdWidget *>());
        QCOMPARE(result == QDialog::Accepted, opens);
        QCOMPARE(opened, opens ? QList<QUrl>({ QUrl(AdUrl) }) : QList<QUrl>());
    }

    void onlyWebLinksReachThePlatform_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("handedOn");
        QTest::newRow("file") << QStringLiteral("file:///etc/passwd") << false;
        QTest::newRow("javascript") << QStringLiteral("javascript:alert(1)") << false;
        QTest::newRow("custom handler") << QStringLiteral("myapp://run?x=1") << false;
        QTest::newRow("no host") << QStringLiteral("http:relative") << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("http") << QStringLiteral("http://ads.example/a") << true;
        QTest::newRow("HTTPS in capitals") << QStringLiteral("HTTPS://ads.example/a") << true;
    }
    void onlyWebLinksReachThePlatform()
    {
        QFETCH(QString, url);
        QFETCH(bool, handedOn);
        Options options;
        options.url = url;
        const QList<QUrl> expected = handedOn ? QList<QUrl>({ QUrl(url) }) : QList<QUrl>();

        auto byButton = makeDialog(options);
        byButton->open();
        button(*byButton, "btnRight")->click();
        QCOMPARE(byButton->result(), int(QDialog::Accepted));
        QCOMPARE(opened, expected);

        opened.clear();
        auto byBanner = makeDialog(options);
        byBanner->open();
        QTest::keyClick(byBanner->findChild<QuillonAdWidget *>(), Qt::Key_Select);
        QCOMPARE(byBanner->result(), int(QDialog::Accepted));
        QCOMPARE(opened, expected);
    }

    void logoIsShownWhenItDecodes()
    {
        auto dialog = makeDialog();
        QCOMPARE(dialog->findChild<QLabel *>(QStringLiteral("label"))->pixmap().size(), QSize(240, 60));
        QCOMPARE(dialog->grab().toImage().pixelColor(2, 2), QColor(Qt::white));

        Options options;
        options.logo = QByteArray("broken");
        auto noLogo = makeDialog(options);
        QVERIFY(noLogo->findChild<QLabel *>(QStringLiteral("label"))->pixmap().isNull());
        QCOMPARE(skipLine(*noLogo), countdown(10));
    }

    // Pictures of thousands of pixels from a few kilobytes: a 5500 px logo and a 3000 px
    // animation whose frames ask for no delay. The dialog keeps to the screen it shows on
    // (also run on a phone's 480x800 screen): both are scaled down keeping their square
    // shape, both buttons are on the screen, and the animation plays without taking over
    // the thread.
    void hugePicturesKeepTheDialogOnTheScreen()
    {
        QFile logo(QFINDTESTDATA(QStringLiteral("data/giant-logo.png")));
        QFile picture(QFINDTESTDATA(QStringLiteral("data/giant-picture.gif")));
        QVERIFY(logo.open(QIODevice::ReadOnly) && picture.open(QIODevice::ReadOnly));
        QuillonAdDialog dialog(logo.readAll(), picture.readAll(), AdUrl, QString(), false, QStringLiteral("Skip"),
            QStringLiteral("Click"), true, 10, QStringLiteral("Skip in"), nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));

        const QRect screen = dialog.screen()->availableGeometry();
        QVERIFY2(screen.contains(dialog.frameGeometry()), qPrintable(QStringLiteral("%1,%2 %3x%4 in %5x%6").arg(dialog.frameGeometry().x()).arg(dialog.frameGeometry().y()).arg(dialog.frameGeometry().width()).arg(dialog.frameGeometry().height()).arg(screen.width()).arg(screen.height())));
        for (const char *name : { "btnLeft", "btnRight" }) {
            const QPushButton *each = button(dialog, name);
            QVERIFY(screen.contains(QRect(each->mapToGlobal(QPoint(0, 0)), each->size())));
        }
        const QSize logoShown = dialog.findChild<QLabel *>(QStringLiteral("label"))->pixmap().size();
        QMovie *movie = dialog.findChild<QLabel *>(QStringLiteral("lblAdImageCtrl"))->movie();
        const QSize pictureShown = movie->currentImage().size();
        QVERIFY(logoShown.width() > 10 && logoShown.width() == logoShown.height());
        QVERIFY(pictureShown.width() > 10 && pictureShown.width() == pictureShown.height());

        QSignalSpy frames(movie, &QMovie::frameChanged);
        const qint64 before = threadCpuMs();
        QTest::qWait(1000);
        const qint64 used = threadCpuMs() - before;
        qInfo("dialog %dx%d, logo %dx%d, picture %dx%d, %d frames, %lld ms of the thread in a second", dialog.width(),
            dialog.height(), logoShown.width(), logoShown.height(), pictureShown.width(), pictureShown.height(),
            int(frames.size()), used);
        QVERIFY2(used < 600, qPrintable(QString::number(used)));
        QVERIFY(frames.size() > 1);
    }

    // Writes a picture of the dialog when TAMBORO_AD_DIALOG_SHOT names a file (run on a real X server).
    void screenshot()
    {
        const QString path = qEnvironmentVariable("TAMBORO_AD_DIALOG_SHOT");
        if (path.isEmpty())
            QSKIP("TAMBORO_AD_DIALOG_SHOT is not set");
        auto dialog = std::make_unique<QuillonAdDialog>(staticFile(QStringLiteral("quillon_logo.png")),
            staticFile(QStringLiteral("ads/ad1.gif")), AdUrl, QString(), false, QStringLiteral("Skip"),
            QStringLiteral("Click"), true, 10, QStringLiteral("Skip in"), nullptr);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QTest::qWait(300);
        QVERIFY(dialog->grab().save(path));
    }
};

TAMBORO_TEST_MAIN(AdDialogTest)
#include "tst_dialog.moc"
