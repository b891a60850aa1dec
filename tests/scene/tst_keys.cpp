#include "IsolatedHome.h"
#include "SceneFixture.h"

#include <QQmlContext>
#include <QQmlExpression>
#include <QTest>

namespace {
enum When { Settled, MidSlide };
} // namespace

Q_DECLARE_METATYPE(When)

// The number keys press the holes, Escape the current screen's home button; each only where
// a finger could press that control at that moment.
class KeysTest : public QObject {
    Q_OBJECT

private slots:
    void keyActsLikeItsControl_data();
    void keyActsLikeItsControl();
};

void KeysTest::keyActsLikeItsControl_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<When>("when");
    // Script run once there, in the scope of the root scene or of the screen named first.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("stateAfter");
    QTest::addColumn<int>("scoreAfter");
    QTest::addColumn<int>("monkeysTaken");

    const Qt::KeyboardModifiers none;
    const Qt::KeyboardModifiers keypad = Qt::KeypadModifier;
    // A violet monkey (2 points) stands in every hole.
    for (int number = 1; number <= 8; ++number) {
        QTest::addRow("%d hits hole %d", number, number)
            << "game" << Settled << QString() << Qt::Key_0 + number << none << "game" << 2 << 1;
        QTest::addRow("keypad %d hits hole %d", number, number)
            << "game" << Settled << QString() << Qt::Key_0 + number << keypad << "game" << 2 << 1;
    }
    QTest::newRow("9 is no hole") << "game" << Settled << QString() << int(Qt::Key_9) << none << "game" << 0 << 0;
    QTest::newRow("a key on an empty hole")
        << "game" << Settled << "gameView.hole4.state = ''" << int(Qt::Key_4) << none << "game" << 0 << 0;
    QTest::newRow("behind the game-over overlay it clears without scoring")
        << "game" << Settled << "gameView.state = 'gameOver1'" << int(Qt::Key_3) << none << "game" << 0 << 1;
    QTest::newRow("refused during the slide in")
        << "game" << MidSlide << QString() << int(Qt::Key_1) << none << "game" << 0 << 0;
    QTest::newRow("refused on the start screen")
        << QString() << Settled << QString() << int(Qt::Key_1) << none << QString() << 0 << 0;
    QTest::newRow("refused under the connection overlay")
        << "game" << Settled << "item1.visible = true" << int(Qt::Key_5) << keypad << "game" << 0 << 0;
    QTest::newRow("refused on a faded-out hole")
        << "game" << Settled << "gameView.hole6.opacity = 0" << int(Qt::Key_6) << none << "game" << 0 << 0;

    QTest::newRow("Escape on the game screen")
        << "game" << Settled << QString() << int(Qt::Key_Escape) << none << QString() << 0 << 0;
    QTest::newRow("Escape on the help screen")
        << "info" << Settled << QString() << int(Qt::Key_Escape) << none << QString() << 0 << 0;
    QTest::newRow("Escape on the high-score screen")
        << "highscore" << Settled << "highScoreView: loadingText.opacity = 1" << int(Qt::Key_Escape) << none
        << QString() << 0 << 0;
    QTest::newRow("Escape typed into the upload form")
        << "highscore" << Settled << "highScoreView: screen.state = 'upload'; usernameInput.forceActiveFocus()"
        << int(Qt::Key_Escape) << none << QString() << 0 << 0;
    QTest::newRow("Escape refused during a slide")
        << "info" << MidSlide << QString() << int(Qt::Key_Escape) << none << "info" << 0 << 0;
    QTest::newRow("Escape refused on the start screen")
        << QString() << Settled << QString() << int(Qt::Key_Escape) << none << QString() << 0 << 0;
}

void KeysTest::keyActsLikeItsControl()
{
    QFETCH(QString, state);
    QFETCH(When, when);
    QFETCH(QString, setup);
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, stateAfter);
    QFETCH(int, scoreAfter);
    QFETCH(int, monkeysTaken);

    Scene scene;
    QVERIFY(scene.showScreen(QStringLiteral("game"), QStringLiteral("Game.newGame(); gameTimer.stop()")));
    for (int number = 1; number <= 8; ++number) {
        scene.evaluate(QStringLiteral("gameView.hole%1.image = 'holebg2'; gameView.hole%1.hasMonkey = true;"
                                      " gameView.hole%1.state = 'hasMonkey'")
                           .arg(number));
    }
    // The game goes on unseen from the start screen, from which every screen is reached.
    scene.goTo(QString());
    scene.evaluate(QStringLiteral("gameArea.state = '%1'").arg(state));
    scene.advance(when == MidSlide ? SLIDE_MS / 3 : SLIDE_MS + 1);
    if (setup.startsWith(QLatin1String("highScoreView: "))) {
        QQuickItem *screen = scene.itemById(QStringLiteral("highScoreView"));
        QQmlExpression(qmlContext(screen->childItems().first()), screen, setup.mid(15)).evaluate();
    } else if (!setup.isEmpty()) {
        scene.evaluate(setup);
    }
    scene.calls().clear();
    const auto monkeys = [&] { return 8 - scene.evaluate(QStringLiteral("Game.getSize()")).toInt(); };
    const int monkeysBefore = monkeys();

    QTest::keyClick(&scene.view(), Qt::Key(key), modifiers);
    // The key acts at once, as a finger down does: no release, no clock tick waited for.
    QCOMPARE(scene.root()->property("score").toInt(), scoreAfter);
    QCOMPARE(monkeysBefore - monkeys(), monkeysTaken);
    QCOMPARE(scene.root()->state(), stateAfter);
    if (scoreAfter > 0)
        QCOMPARE(scene.evaluate(QStringLiteral("gameView.hole%1.state").arg(key - Qt::Key_0)).toString(), QString());
    if (setup.contains(QLatin1String("loadingText")))
        QCOMPARE(scene.itemIn(QStringLiteral("highScoreView"), QStringLiteral("loadingText"))->opacity(), 0.0);
    QVERIFY(scene.calls().isEmpty());
}

TAMBORO_TEST_MAIN(KeysTest)
#include "tst_keys.moc"
