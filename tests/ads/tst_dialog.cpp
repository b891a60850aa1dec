// SPDX-License-Identifier: GPL-3.0-or-later
#include "AdChainRecorder.h"
#include "IsolatedHome.h"
#include "QuillonAdDialog.h"
#include "QuillonAdWidget.h"

#include <QAccessible>
#include <QMovie>

#include <memory>

namespace {

const QString AdUrl = QStringLiteral("http://ads.example/click?id=7");

struct Options {
    int seconds = 10;
    QString left = QStringLiteral("Skip");
    QString right = QStringLiteral("Click");
    bool skipOnLeft = true;
    QString url = AdUrl;
    QByteArray logo = LocalService::staticFile(QStringLiteral("quillon_logo.png"));
    QByteArray picture = LocalService::staticFile(QStringLiteral("ads/ad2.png"));
};

std::unique_ptr<QuillonAdDialog> makeDialog(const Options &o = Options())
{
    auto dialog = std::make_unique<QuillonAdDialog>(o.logo, o.picture, o.url, QStringLiteral("An ad"), false, o.left,
        o.right, o.skipOnLeft, o.seconds, QStringLiteral("Skip in"), nullptr);
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

Q_DECLARE_METATYPE(Options)

class AdDialogTest : public QObject {
    Q_OBJECT

private:
    OpenedUrls opened;

private slots:
    void init() { opened.urls.clear(); }

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
            QVERIFY(timer->isActive() && dialog->isVisible());
        }
        tick(*dialog);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        QVERIFY(!timer->isActive());
        QCOMPARE(skipLine(*dialog), countdown(1));
        QVERIFY(opened.urls.isEmpty());

        // A real second at a time, ended by the dialog itself; no load makes it come sooner.
        auto short_ = makeDialog(Options { 1 });
        QCOMPARE(skipLine(*short_), countdown(1));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(short_->exec(), int(QDialog::Rejected));
        QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
    }

    void everyAnswerEndsTheCountdown_data()
    {
        QTest::addColumn<Options>("options");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("captions");
        QTest::addColumn<bool>("opens");
        QTest::newRow("skip button") << Options() << "btnLeft"
                                     << "Skip Click" << false;
        QTest::newRow("escape key") << Options() << "escape"
                                    << "Skip Click" << false;
        // From the banner, which has the focus, Tab reaches the buttons and Space presses one.
        QTest::newRow("Tab to Skip, Space") << Options() << "Tab Space"
                                            << "Skip Click" << false;
        QTest::newRow("Tab to Click, Space") << Options() << "Tab Tab Space"
                                             << "Skip Click" << true;
        QTest::newRow("open button") << Options() << "btnRight"
                                     << "Skip Click" << true;
        QTest::newRow("skip on the right, open on the left") << Options { 10, "Open", "Later", false } << "btnLeft"
                                                             << "Open Later" << true;
        QTest::newRow("skip on the right") << Options { 10, "Open", "Later", false } << "btnRight"
                                           << "Open Later" << false;
        // An empty caption restores Skip and Click, skip on the left.
        QTest::newRow("left caption empty") << Options { 10, "", "Later", false } << "btnLeft"
                                            << "Skip Click" << false;
        QTest::newRow("right caption empty") << Options { 10, "Open", "", false } << "btnLeft"
                                             << "Skip Click" << false;
        QTest::newRow("no countdown for 0") << Options { 0 } << "btnLeft"
                                            << "Skip Click" << false;
        QTest::newRow("no countdown for -5") << Options { -5 } << "btnLeft"
                                             << "Skip Click" << false;
    }

    void everyAnswerEndsTheCountdown()
    {
        QFETCH(Options, options);
        QFETCH(QString, answer);
        QFETCH(QString, captions);
        QFETCH(bool, opens);
        const int seconds = options.seconds;
        auto dialog = makeDialog(options);
        QCOMPARE(button(*dialog, "btnLeft")->text() + ' ' + button(*dialog, "btnRight")->text(), captions);
        auto *timer = dialog->findChild<QTimer *>();
        QCOMPARE(timer != nullptr, seconds > 0);
        dialog->open();
        QTest::qWait(20);
        QVERIFY(dialog->isVisible());
        for (int i = 0; timer && i < 3; ++i)
            tick(*dialog);
        QCOMPARE(skipLine(*dialog), seconds > 0 ? countdown(seconds - 3) : QString());
        if (answer == QLatin1String("escape")) {
            QTest::keyClick(dialog.get(), Qt::Key_Escape);
        } else if (answer.startsWith(QLatin1String("Tab"))) {
            // What a screen reader says of the banner and the buttons.
            const auto name = [](QWidget *widget) {
                return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
            };
            QCOMPARE(name(dialog->focusWidget()), QStringLiteral("Ad"));
            QCOMPARE(name(button(*dialog, "btnLeft")) + ' ' + name(button(*dialog, "btnRight")), captions);
            for (const QString &key : answer.split(QLatin1Char(' ')))
                QTest::keyClick(dialog->focusWidget(), key == QLatin1String("Tab") ? Qt::Key_Tab : Qt::Key_Space);
        } else
            button(*dialog, qPrintable(answer))->click();
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(opens ? QDialog::Accepted : QDialog::Rejected));
        QVERIFY(!timer || !timer->isActive());
        QCOMPARE(opened.urls, opens ? QList<QUrl>({ QUrl(AdUrl) }) : QList<QUrl>());
    }

    // Only the banner has the focus and takes the activation keys; only web links reach the
    // platform, whether the banner or the open button is used.
    void activationOpensOnlyWebLinks_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("handedOn");
        const int tap = 0;
        const int openButton = -1;
        QTest::newRow("tap on the image") << AdUrl << tap << true;
        QTest::newRow("select") << AdUrl << int(Qt::Key_Select) << true;
        QTest::newRow("enter") << AdUrl << int(Qt::Key_Enter) << true;
        QTest::newRow("return") << AdUrl << int(Qt::Key_Return) << false;
        for (const char *url : { "file:///etc/passwd", "javascript:alert(1)", "myapp://run?x=1", "http:relative", "",
                 "http://ads.example/a", "HTTPS://ads.example/a" }) {
            const bool web = QByteArray(url).toLower().startsWith("http") && QByteArray(url).contains("//");
            const QString name = *url ? QString::fromLatin1(url) : QStringLiteral("empty");
            QTest::newRow(qPrintable(name + QStringLiteral(" by the button"))) << url << openButton << web;
            QTest::newRow(qPrintable(name + QStringLiteral(" by select"))) << url << int(Qt::Key_Select) << web;
        }
    }

    void activationOpensOnlyWebLinks()
    {
        QFETCH(QString, url);
        QFETCH(int, key);
        QFETCH(bool, handedOn);
        Options options;
        options.url = url;
        auto dialog = makeDialog(options);
        auto *banner = dialog->findChild<QuillonAdWidget *>();
        QWidget *focused = nullptr;
        QTimer::singleShot(0, this, [&] {
            focused = dialog->focusWidget();
            if (key > 0)
                QTest::keyClick(focused, Qt::Key(key));
            else if (key == 0)
                QTest::mouseClick(banner->findChild<QLabel *>(QStringLiteral("lblAdImageCtrl")), Qt::LeftButton);
            else
                button(*dialog, "btnRight")->click();
            if (dialog->isVisible())
                dialog->done(-1);
        });
        const int result = dialog->exec();
        QCOMPARE(focused, banner);
        // Any activation ends the dialog as accepted, even of a link that is not handed on.
        QCOMPARE(result == QDialog::Accepted, key != Qt::Key_Return);
        QCOMPARE(opened.urls, handedOn ? QList<QUrl>({ QUrl(url) }) : QList<QUrl>());
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
        Options options;
        options.logo = testData(QStringLiteral("giant-logo.png"));
        options.picture = testData(QStringLiteral("giant-picture.gif"));
        auto dialog = makeDialog(options);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));

        const QRect screen = dialog->screen()->availableGeometry();
        const QRect frame = dialog->frameGeometry();
        QVERIFY2(screen.contains(frame), qPrintable(QDebug::toString(frame) + QDebug::toString(screen)));
        QCOMPARE(buttonsOffScreen(*dialog), 0);
        const QSize logoShown = dialog->findChild<QLabel *>(QStringLiteral("label"))->pixmap().size();
        QMovie *movie = dialog->findChild<QLabel *>(QStringLiteral("lblAdImageCtrl"))->movie();
        const QSize pictureShown = movie->currentImage().size();
        QVERIFY(logoShown.width() > 10 && logoShown.width() == logoShown.height());
        QVERIFY(pictureShown.width() > 10 && pictureShown.width() == pictureShown.height());

        const QString fault = framePacingFault(*dialog->findChild<QuillonAdWidget *>(), movie, 2);
        QVERIFY2(fault.isEmpty(), qPrintable(fault));
    }

    // The dialog is drawn at the scale of the scene behind it and keeps one size: its window
    // announces equal least and most sizes and no maximise button. Text, spacing and
    // pictures grow together, so the whole keeps its shape, until the screen stops it (also
    // run on a phone's screen drawn three times over, where the scene is drawn at a third).
    void keepsAFixedSizeInProportionToTheScene_data()
    {
        QTest::addColumn<qreal>("scale");
        QTest::newRow("1:1") << 1.0;
        QTest::newRow("a third") << 1.0 / 3;
        QTest::newRow("a Full HD desktop") << 1.35;
        QTest::newRow("a 4K desktop") << 2.7;
    }

    void keepsAFixedSizeInProportionToTheScene()
    {
        QFETCH(qreal, scale);
        auto plain = makeDialog();
        plain->adjustSize();
        auto dialog = makeDialog();
        dialog->setScale(scale);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));

        QCOMPARE(dialog->minimumSize(), dialog->size());
        QCOMPARE(dialog->maximumSize(), dialog->size());
        QVERIFY(!(dialog->windowFlags() & Qt::WindowMaximizeButtonHint));
        const QRect screen = dialog->screen()->availableGeometry();
        QVERIFY2(screen.contains(dialog->frameGeometry()),
            qPrintable(QDebug::toString(dialog->frameGeometry()) + QDebug::toString(screen)));
        QCOMPARE(buttonsOffScreen(*dialog), 0);

        const QPixmap logo = dialog->findChild<QLabel *>(QStringLiteral("label"))->pixmap();
        const QSizeF logoShown = logo.deviceIndependentSize();
        // Drawn as large as the scene's scale asks, or as large as the screen allows.
        const bool fits = logoShown.toSize() == (QSizeF(240, 60) * scale).toSize();
        QVERIFY2(
            fits || dialog->frameGeometry().height() > screen.height() - 60, qPrintable(QDebug::toString(logoShown)));
        QVERIFY(qAbs(logoShown.width() / logoShown.height() - 4) < 0.1);
        // The logo is decoded at the screen's own pixels, never stretched from fewer.
        QCOMPARE(logo.devicePixelRatio(), dialog->devicePixelRatioF());
        const QSize picture = dialog->findChild<QuillonAdWidget *>()->shownPictureSize();
        QVERIFY(qAbs(picture.width() / qreal(picture.height()) - 320 / 120.0) < 0.05);
        const bool plainFits = plain->findChild<QLabel *>(QStringLiteral("label"))->pixmap().size() == QSize(240, 60);
        if (fits && plainFits) {
            const qreal grown = dialog->width() / qreal(plain->width());
            QVERIFY2(qAbs(grown - scale) < 0.15 * scale, qPrintable(QString::number(grown)));
            QCOMPARE(dialog->font().pointSizeF(), plain->font().pointSizeF() * scale);
        }
    }

    // Writes a picture of the dialog when TAMBORO_AD_DIALOG_SHOT names a file (run on a real X server).
    void screenshot()
    {
        const QString path = qEnvironmentVariable("TAMBORO_AD_DIALOG_SHOT");
        if (path.isEmpty())
            QSKIP("TAMBORO_AD_DIALOG_SHOT is not set");
        Options options;
        options.picture = LocalService::staticFile(QStringLiteral("ads/ad1.gif"));
        auto dialog = makeDialog(options);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QTest::qWait(300);
        QVERIFY(dialog->grab().save(path));
    }
};

TAMBORO_TEST_MAIN(AdDialogTest)
#include "tst_dialog.moc"
