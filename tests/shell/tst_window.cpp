// SPDX-License-Identifier: GPL-3.0-or-later
#include "AppData.h"
#include "DesktopWindow.h"
#include "IsolatedHome.h"
#include "PortraitFit.h"
#include "SceneLoader.h"

#include <QQuickItem>
#include <QQuickView>
#include <QTemporaryDir>

namespace {

// A 480x800 stage with a target square in its bottom-right corner.
const char *STAGE = R"(
import QtQuick
Rectangle {
    width: 480; height: 800
    property int taps: 0
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
    void sceneIsScaledToFitAndCentred_data();
    void sceneIsScaledToFitAndCentred();
    void tapsLandWhereTheyAreDrawn();
    void aSceneThatFailsToLoadIsReported();
    void minimisingKeepsFullScreenAndF11SwitchesIt();

private:
    QTemporaryDir m_dir;
};

void WindowTest::sceneIsScaledToFitAndCentred_data()
{
    QTest::addColumn<QSize>("window");
    QTest::addColumn<QRectF>("stage");
    QTest::newRow("phone screen, 1:1") << QSize(480, 800) << QRectF(0, 0, 480, 800);
    QTest::newRow("landscape desktop") << QSize(1920, 1080) << QRectF(636, 0, 648, 1080);
    QTest::newRow("tall and narrow") << QSize(240, 1000) << QRectF(0, 300, 240, 400);
}

void WindowTest::sceneIsScaledToFitAndCentred()
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
    const QRectF drawn = root->mapRectToScene(QRectF(0, 0, 480, 800));
    QVERIFY2(qAbs(drawn.left() - stage.left()) < 0.01 && qAbs(drawn.top() - stage.top()) < 0.01
            && qAbs(drawn.width() - stage.width()) < 0.01 && qAbs(drawn.height() - stage.height()) < 0.01,
        qPrintable(QStringLiteral("drawn at %1,%2 %3x%4")
                       .arg(drawn.left())
                       .arg(drawn.top())
                       .arg(drawn.width())
                       .arg(drawn.height())));
    QVERIFY(root->clip());
}

void WindowTest::tapsLandWhereTheyAreDrawn()
{
    QQuickView view;
    keepPortrait(view);
    QVERIFY(loadScene(view, writeScene(m_dir, "stage.qml", STAGE)));
    view.resize(960, 800);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QTRY_COMPARE(view.width(), 960);
    QQuickItem *root = view.rootObject();

    // The stage sits 240 px in from the left; its target square spans x 640 to 720.
    QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(680, 760));
    QCOMPARE(root->property("taps").toInt(), 1);
    QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(440, 760));
    QCOMPARE(root->property("taps").toInt(), 1);
}

void WindowTest::aSceneThatFailsToLoadIsReported()
{
    QQuickView view;
    QVERIFY(!loadScene(view, writeScene(m_dir, "broken.qml", "import QtQuick\nRectangle { width: }\n")));
    QVERIFY(!loadScene(view, QUrl(QStringLiteral("qrc:/no/such/scene.qml"))));
}

void WindowTest::minimisingKeepsFullScreenAndF11SwitchesIt()
{
    QQuickView view;
    keepPortrait(view);
    addFullScreenKey(view);
    QVERIFY(loadScene(view, writeScene(m_dir, "stage.qml", STAGE)));
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
    QTest::keyClick(&view, Qt::Key_F11);
    QCOMPARE(view.windowStates(), Qt::WindowFullScreen);
}

TAMBORO_TEST_MAIN(WindowTest)
#include "tst_window.moc"
