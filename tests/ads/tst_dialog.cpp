// SPDX-License-Identifier: GPL-3.0-or-later
#include "AdChainRecorder.h"
#include "IsolatedHome.h"
#include "QuillonAdDialog.h"

#include <QAccessible>

#include <memory>

namespace {

struct Options {
    int seconds = 10;
    QString left = QStringLiteral("Skip");
    QString right = QStringLiteral("Click");
    bool skipOnLeft = true;
    QString url = QStringLiteral("http://ads.example/click?id=7");
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

} // namespace

Q_DECLARE_METATYPE(Options)

class AdDialogTest : public QObject {
    Q_OBJECT

private:
    OpenedUrls opened;

    static QString skipLine(QDialog &dialog) { return dialog.findChild<QLabel *>(QStringLiteral("labelSkip"))->text(); }
    static QPushButton *button(QDialog &dialog, const char *name) { return dialog.findChild<QPushButton *>(name); }
    static QString countdown(int seconds) { return QStringLiteral("<b>Skip in %1</b>").arg(seconds); }

private slots:
    void init() { opened.urls.clear(); }

    // Every answer ends the countdown, and so does the countdown itself, a second a tick, after
    // its last second. Only the banner has the focus and takes the activation keys; any
    // activation accepts the dialog, but only a web link reaches the platform.
    void everyAnswerEndsTheCountdown_data()
    {
        QTest::addColumn<Options>("options");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("captions");
        // "skipped", "accepted" or, when the link reached the platform as well, "opened".
        QTest::addColumn<QString>("outcome");
        const auto row = [](const QString &name, const Options &options, const char *answer, const char *captions,
                             const char *outcome) {
            QTest::newRow(qPrintable(name)) << options << QString(answer) << QString(captions) << QString(outcome);
        };
        const Options openOnTheLeft { 10, "Open", "Later", false };
        row("countdown ran out", {}, "countdown", "Skip Click", "skipped");
        row("one second ran out", { 1 }, "countdown", "Skip Click", "skipped");
        row("skip button", {}, "btnLeft", "Skip Click", "skipped");
        row("escape key", {}, "Esc", "Skip Click", "skipped");
        // From the banner Tab reaches the buttons, and Space presses one.
        row("Tab to Skip, Space", {}, "Tab Space", "Skip Click", "skipped");
        row("Tab to Click, Space", {}, "Tab Tab Space", "Skip Click", "opened");
        row("open button", {}, "btnRight", "Skip Click", "opened");
        row("tap on the image", {}, "tap", "Skip Click", "opened");
        row("select", {}, "Select", "Skip Click", "opened");
        row("enter", {}, "Enter", "Skip Click", "opened");
        row("return", {}, "Return", "Skip Click", "skipped");
        row("skip on the right, open on the left", openOnTheLeft, "btnLeft", "Open Later", "opened");
        row("skip on the right", openOnTheLeft, "btnRight", "Open Later", "skipped");
        // An empty caption restores Skip and Click, skip on the left.
        row("left caption empty", { 10, "", "Later", false }, "btnLeft", "Skip Click", "skipped");
        row("right caption empty", { 10, "Open", "", false }, "btnLeft", "Skip Click", "skipped");
        row("no countdown for 0", { 0 }, "btnLeft", "Skip Click", "skipped");
        row("no countdown for -5", { -5 }, "btnLeft", "Skip Click", "skipped");
        const Options brokenLogo { 10, "Skip", "Click", true, "http://ads.example/click?id=7", "broken" };
        row("logo that does not decode", brokenLogo, "Esc", "Skip Click", "skipped");
        for (const char *url : { "file:///etc/passwd", "javascript:alert(1)", "myapp://run?x=1", "http:relative", "",
                 "http://ads.example/a", "HTTPS://ads.example/a" }) {
            const bool web = QByteArray(url).toLower().startsWith("http") && QByteArray(url).contains("//");
            const QString name = *url ? QString::fromLatin1(url) : QStringLiteral("empty");
            const Options options { 10, "Skip", "Click", true, url };
            const char *outcome = web ? "opened" : "accepted";
            row(name + QStringLiteral(" by the button"), options, "btnRight", "Skip Click", outcome);
            row(name + QStringLiteral(" by select"), options, "Select", "Skip Click", outcome);
        }
    }

    void everyAnswerEndsTheCountdown()
    {
        QFETCH(Options, options);
        QFETCH(QString, answer);
        QFETCH(QString, captions);
        QFETCH(QString, outcome);
        auto dialog = makeDialog(options);
        auto *timer = dialog->findChild<QTimer *>();
        QCOMPARE(timer != nullptr, options.seconds > 0);
        // The test gives the timer's ticks itself, so a slow machine's second changes nothing.
        int ticks = 0;
        QVERIFY(!timer || (timer->isActive() && timer->isSingleShot() && timer->interval() == 1000));
        if (timer)
            timer->stop();
        const auto tick = [&] { return ++ticks && QMetaObject::invokeMethod(timer, "timeout"); };
        const auto shown = [&] { return timer ? countdown(options.seconds - ticks) : QString(); };
        QCOMPARE(skipLine(*dialog), shown());
        // The logo is shown when it decodes, and the dialog works as well when it does not.
        QCOMPARE(dialog->findChild<QLabel *>(QStringLiteral("label"))->pixmap().isNull(),
            QImage::fromData(options.logo).isNull());
        dialog->open();
        QTest::qWait(20);
        QVERIFY(dialog->isVisible());
        // What a screen reader says of the banner and the buttons.
        const auto name
            = [](QWidget *widget) { return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name); };
        QCOMPARE(dialog->focusWidget(), dialog->findChild<QuillonAdWidget *>());
        QCOMPARE(name(dialog->focusWidget()), QStringLiteral("Ad"));
        QCOMPARE(name(button(*dialog, "btnLeft")) + ' ' + name(button(*dialog, "btnRight")), captions);
        QCOMPARE(button(*dialog, "btnLeft")->text() + ' ' + button(*dialog, "btnRight")->text(), captions);
        // Down to the last second for a countdown that runs out, else three seconds.
        const bool runsOut = answer == QLatin1String("countdown");
        while (timer && options.seconds - ticks > (runsOut ? 1 : options.seconds - 3)) {
            QVERIFY(tick());
            QCOMPARE(skipLine(*dialog), shown());
            QVERIFY(timer->isActive() && timer->interval() == 1000 && dialog->isVisible());
        }

        const QString shownLast = skipLine(*dialog);
        if (runsOut) {
            QVERIFY(tick());
        } else if (answer.startsWith(QLatin1String("btn"))) {
            button(*dialog, qPrintable(answer))->click();
        } else if (answer == QLatin1String("tap")) {
            QTest::mouseClick(dialog->findChild<QLabel *>(QStringLiteral("lblAdImageCtrl")), Qt::LeftButton);
        } else {
            for (const QString &key : answer.split(QLatin1Char(' ')))
                QTest::keyClick(dialog->focusWidget(), QKeySequence(key)[0].key());
        }
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(outcome == QLatin1String("skipped") ? QDialog::Rejected : QDialog::Accepted));
        QVERIFY(!timer || !timer->isActive());
        QCOMPARE(skipLine(*dialog), shownLast);
        QCOMPARE(opened.urls, outcome == QLatin1String("opened") ? QList<QUrl>({ QUrl(options.url) }) : QList<QUrl>());
    }

    // The dialog is drawn at the scale of the scene behind it and keeps one size (equal least
    // and most sizes, no maximise button); text, spacing and pictures grow together until the
    // screen stops them (also run on a phone's screen drawn three times over, at a third).
    void keepsAFixedSizeInProportionToTheScene_data()
    {
        QTest::addColumn<qreal>("scale");
        QTest::addColumn<Options>("options");
        QTest::addColumn<QSize>("logoSize");
        QTest::addColumn<QSize>("pictureSize");
        for (const auto &[name, scale] :
            { std::pair("1:1", 1.0), { "a third", 1.0 / 3 }, { "a Full HD desktop", 1.35 }, { "a 4K desktop", 2.7 } })
            QTest::newRow(name) << scale << Options() << QSize(240, 60) << QSize(320, 120);
        // A 5500 px logo and a 3000 px animation asking for no delay (also run on a phone's
        // screen): scaled down to the screen, and the animation leaves the thread free.
        Options huge;
        huge.logo = testData(QStringLiteral("giant-logo.png"));
        huge.picture = testData(QStringLiteral("giant-picture.gif"));
        QTest::newRow("huge pictures") << 1.0 << huge << QSize(5500, 5500) << QSize(3000, 3000);
    }

    void keepsAFixedSizeInProportionToTheScene()
    {
        QFETCH(qreal, scale);
        QFETCH(Options, options);
        QFETCH(QSize, logoSize);
        QFETCH(QSize, pictureSize);
        auto plain = makeDialog(options);
        plain->adjustSize();
        auto dialog = makeDialog(options);
        dialog->setScale(scale);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));

        QCOMPARE(dialog->minimumSize(), dialog->size());
        QCOMPARE(dialog->maximumSize(), dialog->size());
        QCOMPARE(dialog->grab().toImage().pixelColor(2, 2), QColor(Qt::white));
        QVERIFY(!(dialog->windowFlags() & Qt::WindowMaximizeButtonHint));
        const QRect screen = dialog->screen()->availableGeometry();
        QVERIFY2(screen.contains(dialog->frameGeometry()),
            qPrintable(QDebug::toString(dialog->frameGeometry()) + QDebug::toString(screen)));
        QCOMPARE(buttonsOffScreen(*dialog), 0);

        const QPixmap logo = dialog->findChild<QLabel *>(QStringLiteral("label"))->pixmap();
        const QSizeF logoShown = logo.deviceIndependentSize();
        // Drawn as large as the scene's scale asks, or as large as the screen allows, keeping its shape.
        const bool fits = logoShown.toSize() == (QSizeF(logoSize) * scale).toSize();
        QVERIFY2(
            fits || dialog->frameGeometry().height() > screen.height() - 60, qPrintable(QDebug::toString(logoShown)));
        // A picture keeps the shape of its file but for a pixel's rounding each way.
        const auto keepsShape = [](const QSizeF &shown, const QSize &file) {
            return shown.width() > 10
                && qAbs(shown.width() * file.height() - shown.height() * file.width()) <= file.width() + file.height();
        };
        QVERIFY(keepsShape(logoShown, logoSize));
        // The logo is decoded at the screen's own pixels, never stretched from fewer.
        QCOMPARE(logo.devicePixelRatio(), dialog->devicePixelRatioF());
        auto *banner = dialog->findChild<QuillonAdWidget *>();
        QMovie *movie = banner->findChild<QLabel *>(QStringLiteral("lblAdImageCtrl"))->movie();
        for (const QSize picture : { banner->shownPictureSize(), movie->currentImage().size() })
            QVERIFY2(keepsShape(picture, pictureSize), qPrintable(QDebug::toString(picture)));
        const bool plainFits = plain->findChild<QLabel *>(QStringLiteral("label"))->pixmap().size() == logoSize;
        if (fits && plainFits) {
            const qreal grown = dialog->width() / qreal(plain->width());
            QVERIFY2(qAbs(grown - scale) < 0.15 * scale, qPrintable(QString::number(grown)));
            QCOMPARE(dialog->font().pointSizeF(), plain->font().pointSizeF() * scale);
        }
        if (movie->frameCount() > 1) {
            const QString fault = framePacingFault(*banner, movie, 2);
            QVERIFY2(fault.isEmpty(), qPrintable(fault));
        }
    }
};

TAMBORO_TEST_MAIN(AdDialogTest)
#include "tst_dialog.moc"
