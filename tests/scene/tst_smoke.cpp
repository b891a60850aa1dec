#include "IsolatedHome.h"
#include "SceneFixture.h"

class SmokeTest : public QObject {
    Q_OBJECT

private slots:
    void helpSlidesInOverThreeHundredMilliseconds();
    void timersFollowTheVirtualClock();
};

void SmokeTest::helpSlidesInOverThreeHundredMilliseconds()
{
    Scene scene;
    QVERIFY(scene.root());
    scene.evaluate(QStringLiteral("gameArea.state = 'info'"));
    QCOMPARE(scene.property("infoView", "visible").toBool(), true);
    scene.advance(150);
    const qreal midway = scene.property("infoView", "x").toReal();
    QVERIFY2(midway > 0 && midway < 480, qPrintable(QString::number(midway)));
    scene.advance(160);
    QCOMPARE(scene.property("infoView", "x").toReal(), 0.0);
    QCOMPARE(scene.property("mainView", "visible").toBool(), false);
}

void SmokeTest::timersFollowTheVirtualClock()
{
    // Hide timers of empty holes: their firing changes nothing but their own running flag.
    Scene scene;
    scene.evaluate(QStringLiteral("hideTimer1.start()"));
    scene.advance(700);
    scene.evaluate(QStringLiteral("hideTimer2.start()"));
    scene.advance(799);
    QCOMPARE(scene.property("hideTimer1", "running").toBool(), true);
    scene.advance(1);
    QCOMPARE(scene.property("hideTimer1", "running").toBool(), false);
    scene.advance(699);
    QCOMPARE(scene.property("hideTimer2", "running").toBool(), true);
    scene.advance(1);
    QCOMPARE(scene.property("hideTimer2", "running").toBool(), false);
}

TAMBORO_TEST_MAIN(SmokeTest)
#include "tst_smoke.moc"
