#include "IsolatedHome.h"
#include "SceneFixture.h"

#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>

#include <memory>

class SmokeTest : public QObject {
    Q_OBJECT

private slots:
    void timersFollowTheVirtualClock();
    void overlayWaitsForTheConnectionUntilTheProbeOpens();
};

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

void SmokeTest::overlayWaitsForTheConnectionUntilTheProbeOpens()
{
    // Between building the scene and evaluating its bindings, which opens the probe, the
    // overlay shows its own first text.
    QQmlEngine engine;
    QQmlComponent component(&engine, QUrl(QStringLiteral("qrc:/resources/main.qml")));
    std::unique_ptr<QObject> root(component.beginCreate(engine.rootContext()));
    QVERIFY2(root, qPrintable(component.errorString()));
    QObject *text = qmlContext(root.get())->objectForName(QStringLiteral("text1"));
    const QString first = text ? text->property("text").toString() : QString();
    // A half-built scene must not be destroyed.
    component.completeCreate();
    QCOMPARE(first, QStringLiteral("Waiting data connection"));
    QCOMPARE(text->property("text").toString(), QStringLiteral("Loading, please wait"));
}

TAMBORO_TEST_MAIN(SmokeTest)
#include "tst_smoke.moc"
