// SPDX-License-Identifier: GPL-3.0-or-later
#include "AppData.h"
#include "DesktopWindow.h"
#include "HeldKey.h"
#include "IsolatedHome.h"
#include "PortraitFit.h"
#include "SceneLoader.h"

#include <QQuickItem>
#include <QQuickView>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>

namespace {

// A 480x800 stage with a target square in its bottom-right corner.
const char *STAGE = R"(
import QtQuick
Rectangle {
    width: 480; height: 800
    property int taps: 0
    property int keys: 0
    focus: true
    Keys.onPressed: keys++
    MouseArea { objectName: "target"; x: 400; y: 720; width: 80; height: 80; onClicked: parent.taps++ }
})";

QUrl writeScene(const QTemporaryDir &dir, const char *name, const char *text)
{
    QFile file(dir.filePath(QString::fromLatin1(name)));
    if (file.open(QIODevice::WriteOnly))
        file.write(text);
    return QUrl::fromLocalFile(file.fileName());
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void aSceneThatFailsToLoadIsReported()
    {
        QQuickView view;
        QVERIFY(!loadScene(view, writeScene(m_dir, "broken.qml", "import QtQuick\nRectangle { width: }\n")));
        QVERIFY(!loadScene(view, QUrl(QStringLiteral("qrc:/no/such/scene.qml"))));
    }

    void sceneIsScaledToFitAndCentredAndTakesTapsWhereDrawn_data()
    {
        QTest::addColumn<QSize>("window");
        QTest::addColumn<QRectF>("stage");
        QTest::newRow("phone screen, 1:1") << QSize(480, 800) << QRectF(0, 0, 480, 800);
        QTest::newRow("wide window") << QSize(960, 800) << QRectF(240, 0, 480, 800);
        QTest::newRow("landscape desktop") << QSize(1920, 1080) << QRectF(636, 0, 648, 1080);
        QTest::newRow("tall and narrow") << QSize(240, 1000) << QRectF(0, 300, 240, 400);
    }

    void sceneIsScaledToFitAndCentredAndTakesTapsWhereDrawn()
    {
        QFETCH(QSize, window);
        QFETCH(QRectF, stage);
        QQuickView view;
        keepPortrait(view);
        QVERIFY(loadScene(view, writeScene(m_dir, "stage.qml", STAGE)));
        view.resize(window);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QTRY_COMPARE(view.size(), window);

        QQuickItem *root = view.rootObject();
        QCOMPARE(root->size(), QSizeF(480, 800));
        // Where it is drawn, to a hundredth of a pixel: the scene graph scales in single precision.
        const QRectF drawn = root->mapRectToScene(QRectF(0, 0, 480, 800));
        QCOMPARE((drawn.topLeft() * 100).toPoint(), (stage.topLeft() * 100).toPoint());
        QCOMPARE((drawn.bottomRight() * 100).toPoint(), (stage.bottomRight() * 100).toPoint());
        QVERIFY(root->clip());

        // A tap on the target square where it is drawn counts; one beside it, at (200, 760) of the stage, does not.
        const qreal scale = stage.width() / 480;
        QTest::mouseClick(&view, Qt::LeftButton, {}, (stage.topLeft() + QPointF(440, 760) * scale).toPoint());
        QCOMPARE(root->property("taps").toInt(), 1);
        QTest::mouseClick(&view, Qt::LeftButton, {}, (stage.topLeft() + QPointF(200, 760) * scale).toPoint());
        QCOMPARE(root->property("taps").toInt(), 1);
    }

    void minimisingKeepsFullScreenAndF11SwitchesIt()
    {
        QQuickView view;
        keepPortrait(view);
        addFullScreenKey(view, QSize(480, 800));
        QVERIFY(loadScene(view, writeScene(m_dir, "stage.qml", STAGE)));
        // A size that fits the screen but is a little off the scene's shape.
        view.resize(300, 490);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.showFullScreen();
        QVERIFY(QTest::qWaitForWindowActive(&view));

        // Restored by the desktop, the window takes back the states under the minimised one.
        AppData().minimize();
        QCOMPARE(view.windowStates(), Qt::WindowFullScreen | Qt::WindowMinimized);

        view.showFullScreen();
        view.requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        QTest::keyClick(&view, Qt::Key_F11);
        QCOMPARE(view.windowStates(), Qt::WindowNoState);
        // Back in a window, it takes the scene's shape again.
        QTRY_COMPARE(view.size(), QSize(294, 490));
        QTest::keyClick(&view, Qt::Key_F11);
        QCOMPARE(view.windowStates(), Qt::WindowFullScreen);
        // F11 is the window's own: the scene sees none of it, and a held F11's repeats switch nothing.
        QCOMPARE(view.rootObject()->property("keys").toInt(), 0);
        sendHeldKeyRepeat(view, Qt::Key_F11);
        QCOMPARE(view.windowStates(), Qt::WindowFullScreen);
    }

    // Where the window manager draws no frame, the fit looks for one a few times after F11
    // leaves full screen. An F11 meanwhile cancels the looks still due: run late, one would
    // take the window back out of full screen (the offscreen platform ignores that; a window
    // manager does not).
    void aSecondF11CancelsTheFirstOnesFit()
    {
        QQuickView view;
        addFullScreenKey(view, QSize(480, 800));
        QVERIFY(loadScene(view, writeScene(m_dir, "stage.qml", STAGE)));
        view.showFullScreen();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        const QSize full = view.size();
        const auto looking = [&view] {
            const QList<QTimer *> timers = view.findChildren<QTimer *>();
            return std::any_of(timers.begin(), timers.end(), [](const QTimer *timer) { return timer->isActive(); });
        };
        QTest::keyClick(&view, Qt::Key_F11);
        QTRY_VERIFY(view.size() != full);
        if (!view.frameMargins().isNull())
            QSKIP("this platform draws a frame; shell_window_frameless runs this without");
        QVERIFY(looking());
        QTest::keyClick(&view, Qt::Key_F11);
        QVERIFY(!looking());
        QCOMPARE(view.windowStates(), Qt::WindowFullScreen);
        QTRY_COMPARE(view.size(), full);
    }

private:
    QTemporaryDir m_dir;
};

TAMBORO_TEST_MAIN(WindowTest)
#include "tst_window.moc"
