#include "IsolatedHome.h"
#include "PortraitFit.h"
#include "SceneFixture.h"

#include <QDirIterator>
#include <QImage>
#include <QImageReader>

namespace {

const QString IMAGES = QStringLiteral(":/resources/images/");

// Mean difference per colour channel between what the window shows in an area and a
// picture scaled to where it is drawn; both rectangles in window pixels.
double difference(const QImage &grab, const QRect &drawnAt, const QImage &picture, const QRect &area)
{
    const QImage expected = picture.scaled(drawnAt.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                .convertToFormat(QImage::Format_RGB32);
    const QImage drawn = grab.convertToFormat(QImage::Format_RGB32);
    qint64 sum = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb a = drawn.pixel(x, y);
            const QRgb b = expected.pixel(x - drawnAt.left(), y - drawnAt.top());
            sum += qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b));
        }
    }
    return double(sum) / (3.0 * area.width() * area.height());
}

// The area is drawn from the sharp file when it is clearly closer to it than to the 1x one.
void verifyDrawnSharp(const QImage &grab, const QRect &drawnAt, const QString &picture, const QRect &area)
{
    const qsizetype dot = picture.lastIndexOf(QLatin1Char('.'));
    const QString sharp = picture.left(dot) + QLatin1String("@2x") + picture.mid(dot);
    const double toSharp = difference(grab, drawnAt, QImage(IMAGES + sharp), area);
    const double toPlain = difference(grab, drawnAt, QImage(IMAGES + picture), area);
    QVERIFY2(toSharp < 0.6 * toPlain,
        qPrintable(QStringLiteral("%1: %2 against %3").arg(picture).arg(toSharp).arg(toPlain)));
}

} // namespace

class PicturesTest : public QObject {
    Q_OBJECT

private slots:
    void everyPictureHasATwiceAsLargeSharpFile();
    void sceneShownAtTwiceItsSizeDrawsTheSharpFiles();
};

void PicturesTest::everyPictureHasATwiceAsLargeSharpFile()
{
    int pairs = 0;
    QDirIterator pictures(IMAGES);
    while (pictures.hasNext()) {
        const QString path = pictures.next();
        if (path.contains(QLatin1String("@2x.")))
            continue;
        const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
        const QString sharp = path.left(dot) + QLatin1String("@2x") + path.mid(dot);
        const QSize size = QImageReader(path).size();
        QVERIFY2(size.isValid(), qPrintable(path));
        QCOMPARE(QImageReader(sharp).size(), size * 2);
        ++pairs;
    }
    // Each sharp file is checked from its 1x file, so none may stand alone.
    QCOMPARE(QDir(IMAGES, QStringLiteral("*@2x.*")).count(), uint(pairs));
    QCOMPARE(pairs, 16);
}

void PicturesTest::sceneShownAtTwiceItsSizeDrawsTheSharpFiles()
{
    Scene scene;
    keepPortrait(scene.view());
    scene.view().resize(960, 1600);
    // The window's new size takes effect as its event comes in.
    QTRY_COMPARE(scene.root()->mapRectToScene(QRectF(0, 0, 480, 800)), QRectF(0, 0, 960, 1600));

    // The title of the start picture, clear of the icons and the overlay.
    QImage grab = scene.view().grabWindow();
    verifyDrawnSharp(grab, QRect(0, 0, 960, 1600), QStringLiteral("start.jpg"), QRect(120, 120, 720, 160));

    // A picture first named after the switch, through the hole's binding: a violet monkey
    // turned up in hole 1, seen through the opening of the rim.
    scene.evaluate(QStringLiteral("gameArea.state = 'game'; gameView.hole1.image = 'holebg2';"
                                  "gameView.hole1.state = 'hasMonkey'"));
    scene.advance(600);
    grab = scene.view().grabWindow();
    const QRect hole = scene.itemById(QStringLiteral("gameView"))
                           ->property("hole1")
                           .value<QQuickItem *>()
                           ->mapRectToScene(QRectF(0, 0, 192, 800 / 4.7))
                           .toAlignedRect();
    const QRect opening(
        hole.left() + hole.width() * 3 / 10, hole.top() + hole.height() / 4, hole.width() * 2 / 5, hole.height() / 2);
    verifyDrawnSharp(grab, hole, QStringLiteral("holebg2.png"), opening);
}

TAMBORO_TEST_MAIN(PicturesTest)
#include "tst_pictures.moc"
