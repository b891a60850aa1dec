// SPDX-License-Identifier: GPL-3.0-or-later
#include "AdChainRecorder.h"
#include "IsolatedHome.h"

#include <QBuffer>
#include <QLayout>
#include <QSignalSpy>

namespace {

const QString AdUrl = QStringLiteral("http://ads.example/click?id=1");

// The links the banner reported while `act` ran.
QList<QUrl> activations(QuillonAdWidget &banner, const std::function<void()> &act)
{
    QSignalSpy spy(&banner, &QuillonAdWidget::adLinkActivated);
    act();
    QList<QUrl> urls;
    for (const QList<QVariant> &arguments : spy)
        urls += arguments.at(0).toUrl();
    return urls;
}

// Counts what reaches the banner's parent, i.e. what the banner passed on.
class EventCounter : public QObject {
public:
    QList<QEvent::Type> seen;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress || event->type() == QEvent::MouseButtonRelease)
            seen << event->type();
        return false;
    }
};

} // namespace

class AdWidgetTest : public QObject {
    Q_OBJECT

private:
    static QByteArray adFile(const char *name) { return LocalService::staticFile(QStringLiteral("ads/") + name); }
    static QLabel *imageLabel(QWidget &banner) { return banner.findChild<QLabel *>("lblAdImageCtrl"); }
    static QLabel *textLabel(QWidget &banner) { return banner.findChild<QLabel *>("lblAdTextCtrl"); }

private slots:
    // Still and animated pictures play at their own size; bytes that decode to nothing leave
    // an empty image in its place, and the banner still activates. The text line shows plain
    // text, cut after thirty characters, built or updated.
    void imageShowsWhatTheBytesHold_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("animated");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        const QSize full(320, 120);
        const QString thirty = QStringLiteral("Thirty characters exactly here");
        QTest::newRow("png, 30 characters stay whole") << adFile("ad2.png") << full << false << thirty << thirty;
        QTest::newRow("jpg, 31 are cut") << adFile("ad3.jpg") << full << false << thirty + "!" << thirty + "...";
        const QString markup = QStringLiteral("<b>x</b>");
        QTest::newRow("animated gif, markup as text") << adFile("ad1.gif") << full << true << markup << markup;
        QTest::newRow("undecodable") << QByteArray("not an image") << QSize(0, 0) << false << thirty << thirty;
        QTest::newRow("empty, no text") << QByteArray() << QSize(0, 0) << false << QString() << QString();
    }
    void imageShowsWhatTheBytesHold()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, size);
        QFETCH(bool, animated);
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QuillonAdWidget banner(nullptr, bytes, AdUrl, true, text);
        QCOMPARE(banner.layout()->indexOf(imageLabel(banner)), 0);
        QCOMPARE(textLabel(banner)->text(), shown);
        QCOMPARE(textLabel(banner)->textFormat(), Qt::PlainText);
        QCOMPARE(banner.findChildren<QMovie *>().size(), bytes.isEmpty() ? 0 : 1);
        QCOMPARE(banner.findChildren<QBuffer *>().size(), bytes.isEmpty() ? 0 : 1);
        if (QMovie *movie = imageLabel(banner)->movie()) {
            QCOMPARE(movie->isValid(), !size.isEmpty());
            QCOMPARE(movie->currentImage().size(), size);
            if (movie->isValid()) {
                QCOMPARE(movie->state(), QMovie::Running);
                QCOMPARE(imageLabel(banner)->sizeHint(), size);
            }
            if (animated)
                QTRY_VERIFY(movie->currentFrameNumber() > 0);
        }
        QCOMPARE(activations(banner, [&] { QTest::keyClick(&banner, Qt::Key_Select); }), QList<QUrl>({ QUrl(AdUrl) }));

        // An update replaces the picture, its movie and buffer, and the link: without one the
        // banner still activates.
        QuillonAdWidget updated(nullptr, adFile("ad1.gif"), AdUrl, false, {});
        const QPointer<QMovie> oldMovie = imageLabel(updated)->movie();
        const QPointer<QBuffer> oldBuffer = updated.findChild<QBuffer *>();
        updated.updateAd(bytes, QString(), QStringLiteral("ignored without a text line"));
        QVERIFY(!oldMovie && !oldBuffer && !textLabel(updated));
        QCOMPARE(updated.findChildren<QMovie *>().size() + updated.findChildren<QBuffer *>().size(), 2);
        QCOMPARE(imageLabel(updated)->movie()->currentImage().size(), size);
        QCOMPARE(activations(updated, [&] { QTest::mouseClick(&updated, Qt::LeftButton); }), QList<QUrl>({ QUrl() }));
        QuillonAdWidget retexted(nullptr, QByteArray(), AdUrl, true, QStringLiteral("old"));
        retexted.updateAd(QByteArray(), AdUrl, text);
        QCOMPARE(textLabel(retexted)->text(), shown);
    }

    // A 3000 px animation asking for 20 ms a frame, shown at full size: each frame takes
    // longer to decode than it asks to wait, yet the banner leaves most of the thread free.
    void slowFramesLeaveTheThreadFree()
    {
        QByteArray bytes = testData(QStringLiteral("giant-picture.gif"));
        bytes.replace(QByteArray("\x21\xf9\x04\x00\x00\x00", 6), QByteArray("\x21\xf9\x04\x00\x02\x00", 6));
        QuillonAdWidget banner(nullptr, QByteArray(), AdUrl, false, QString());
        banner.setPictureRoom(QSize(3000, 3000));
        banner.updateAd(bytes, AdUrl, QString());
        QMovie *movie = imageLabel(banner)->movie();
        QCOMPARE(movie->currentImage().size(), QSize(3000, 3000));

        const QString fault = framePacingFault(banner, movie);
        QVERIFY2(fault.isEmpty(), qPrintable(fault));
    }

    // A release on the image or the frame, Select or Enter activates, once; every event still reaches the parent.
    void activationIsPassedOn()
    {
        QWidget parent;
        EventCounter counter;
        parent.installEventFilter(&counter);
        auto *banner = new QuillonAdWidget(&parent, adFile("ad2.png"), AdUrl, true, QStringLiteral("t"));
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
        const QList<QUrl> once { QUrl(AdUrl) };
        QCOMPARE(activations(*banner, [&] { QTest::mouseRelease(imageLabel(*banner), Qt::LeftButton); }), once);
        QCOMPARE(activations(*banner, [&] { QTest::mouseRelease(banner, Qt::LeftButton, {}, QPoint(0, 0)); }), once);
        for (const Qt::Key key : { Qt::Key_Select, Qt::Key_Enter, Qt::Key_Return, Qt::Key_Space })
            QCOMPARE(activations(*banner, [&] { QTest::keyPress(banner, key); }),
                QList<QUrl>(key == Qt::Key_Select || key == Qt::Key_Enter, QUrl(AdUrl)));
        QCOMPARE(counter.seen,
            QList<QEvent::Type>(2, QEvent::MouseButtonRelease) + QList<QEvent::Type>(4, QEvent::KeyPress));
    }

    // In points or in pixels, the first size counting down that fits, not any smaller one.
    void textFontShrinksUntilTheSampleFitsFifteenPixels()
    {
        const auto sampleHeight
            = [](const QFont &font) { return QFontMetrics(font).boundingRect(QStringLiteral("Test Text")).height(); };
        for (const bool pixelSized : { false, true }) {
            QFont big;
            pixelSized ? big.setPixelSize(48) : big.setPointSize(36);
            QWidget parent;
            parent.setFont(big);
            QuillonAdWidget banner(&parent, QByteArray(), AdUrl, true, QStringLiteral("t"));
            QFont fitted = textLabel(banner)->font();
            QVERIFY(sampleHeight(fitted) <= 15);
            QCOMPARE(fitted.pointSize() == -1, pixelSized);
            pixelSized ? fitted.setPixelSize(fitted.pixelSize() + 1) : fitted.setPointSize(fitted.pointSize() + 1);
            QVERIFY2(sampleHeight(fitted) > 15, pixelSized ? "in pixels" : "in points");
        }
    }
};

TAMBORO_TEST_MAIN(AdWidgetTest)
#include "tst_widget.moc"
