// SPDX-License-Identifier: GPL-3.0-or-later
#include "IsolatedHome.h"
#include "SceneFixture.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QColor>
#include <QTest>

#include <algorithm>

namespace {

// What assistive technology calls an item: its accessible name.
QString nameOf(QQuickItem *item)
{
    QAccessibleInterface *node = item ? QAccessible::queryAccessibleInterface(item) : nullptr;
    return node ? node->text(QAccessible::Name) : QString();
}

// The names of the buttons and fields assistive technology is told are showing and focusable.
QStringList showingControls(Scene &scene)
{
    QStringList names;
    std::function<void(QAccessibleInterface *)> collect = [&](QAccessibleInterface *node) {
        if (!node)
            return;
        const QAccessible::State state = node->state();
        const bool control = node->role() == QAccessible::Button || node->role() == QAccessible::EditableText;
        if (control && state.focusable && !state.invisible)
            names.append(node->text(QAccessible::Name));
        for (int i = 0; i < node->childCount(); ++i)
            collect(node->child(i));
    };
    collect(QAccessible::queryAccessibleInterface(&scene.view()));
    names.sort();
    return names;
}

QString focused(Scene &scene)
{
    return nameOf(scene.view().activeFocusItem());
}

// The names Tab (or Shift+Tab) goes through, from the control that has the keyboard until
// it comes back to it.
QStringList tabWalk(Scene &scene, bool forward)
{
    QStringList names { focused(scene) };
    for (int i = 0; i < 30; ++i) {
        QTest::keyClick(&scene.view(), forward ? Qt::Key_Tab : Qt::Key_Backtab);
        if (focused(scene) == names.first())
            return names;
        names.append(focused(scene));
    }
    return names;
}

// Puts a violet monkey into every hole of a game that stands still.
const QString MONKEYS_EVERYWHERE = QStringLiteral(
    "Game.newGame(); gameTimer.stop(); for (var n = 1; n <= 8; ++n) {"
    " var hole = gameView['hole' + n]; hole.image = 'holebg2'; hole.hasMonkey = true; hole.state = 'hasMonkey'; }");

const QStringList CORNERS { QStringLiteral("Minimise"), QStringLiteral("Close") };

} // namespace

class KeysTest : public QObject {
    Q_OBJECT

private slots:
    void init() { QVERIFY2(waitForFreePort(), "the compiled-in port stayed taken"); }

    void tabWalksTheShownScreenInReadingOrder_data();
    void tabWalksTheShownScreenInReadingOrder();
    void keyAndScreenReaderPressAsATapDoes_data();
    void keyAndScreenReaderPressAsATapDoes();
    void aHiddenFieldNeverKeepsTheNumberKeys();
    void focusRingShowsFromAKeyToThePointer();
};

void KeysTest::tabWalksTheShownScreenInReadingOrder_data()
{
    QTest::addColumn<QString>("state");
    // Script run once the screen has arrived, in the root scene's scope, or a key pressed.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("walk");

    QTest::newRow("start screen") << QString() << QString()
                                  << QStringList { "New Game", "Highscores", "More Games", "Help", "Exit" } + CORNERS;
    QTest::newRow("game screen") << "game" << QString()
                                 << QStringList { "Hole 1", "Hole 2", "Hole 3", "Hole 4", "Hole 5", "Hole 6", "Hole 7",
                                        "Hole 8", "Restart", "Home", "High scores" }
            + CORNERS;
    QTest::newRow("connection error") << QString() << "item1.visible = true; text1.text = 'Network connection error, please try again.'"
                                      << QStringList { "Network connection error, please try again." } + CORNERS;
    QTest::newRow("help screen") << "info" << QString() << QStringList { "Home" } + CORNERS;
    QTest::newRow("high-score screen")
        << "highscore" << QString() << QStringList { "Upload high score", "Show global top list", "Home" } + CORNERS;
    // Opened from the keyboard, the form gives its name field the keys at once.
    QTest::newRow("upload form") << "highscore" << "Return"
                                 << QStringList { "Username", "Password", "Upload score", "Get account", "Home" }
            + CORNERS;
    QTest::newRow("after an upload, the faded-out button is passed over")
        << "highscore" << "highScoreView.state = 'uploaded'; Game.focusFirstControl(highScoreView)"
        << QStringList { "Show global top list", "Home" } + CORNERS;
}

void KeysTest::tabWalksTheShownScreenInReadingOrder()
{
    QFETCH(QString, state);
    QFETCH(QString, setup);
    QFETCH(QStringList, walk);

    Scene scene;
    QVERIFY(scene.showScreen(state));
    if (setup == QLatin1String("Return"))
        QTest::keyClick(&scene.view(), Qt::Key_Return);
    else if (!setup.isEmpty())
        scene.evaluate(setup);

    const QStringList walked = tabWalk(scene, true);
    QVERIFY2(walked == walk, qPrintable(walked.join(QStringLiteral(", "))));
    QStringList sorted = walk;
    sorted.sort();
    QVERIFY2(showingControls(scene) == sorted, qPrintable(showingControls(scene).join(", ")));
    QStringList back = walk.mid(1);
    std::reverse(back.begin(), back.end());
    QCOMPARE(tabWalk(scene, false), QStringList { walk.first() } + back);
}

void KeysTest::keyAndScreenReaderPressAsATapDoes_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("scope");
    QTest::addColumn<QString>("control");
    // A key, or "press" for the accessible Press action.
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("stateAfter");
    QTest::addColumn<int>("scoreAfter");

    const QString start = QStringLiteral("mainView");
    QTest::newRow("Return on New Game") << QString() << QString() << start << "button1" << "Return" << "game" << 0;
    QTest::newRow("Enter on Highscores") << QString() << QString() << start << "button2" << "Enter" << "highscore" << 0;
    QTest::newRow("Space on Help") << QString() << QString() << start << "button3" << "Space" << "info" << 0;
    QTest::newRow("Press on New Game") << QString() << QString() << start << "button1" << "press" << "game" << 0;
    QTest::newRow("Press on Help") << QString() << QString() << start << "button3" << "press" << "info" << 0;
    QTest::newRow("Press on the help screen's home")
        << "info" << QString() << "infoView" << "homeButton" << "press" << QString() << 0;
    QTest::newRow("Space on a hole with a monkey")
        << "game" << MONKEYS_EVERYWHERE << "gameView" << "hole2" << "Space" << "game" << 2;
    QTest::newRow("Press on a hole with a monkey")
        << "game" << MONKEYS_EVERYWHERE << "gameView" << "hole7" << "press" << "game" << 2;
    QTest::newRow("Return on the high-score icon")
        << "game" << MONKEYS_EVERYWHERE << "gameView" << "highscore" << "Return" << "highscore" << 0;
    QTest::newRow("Return on the connection error asks again")
        << QString() << "item1.visible = true; text1.text = 'Network connection error, please try again.'" << "gameArea"
        << "item1" << "Return" << QString() << 0;
    QTest::newRow("a letter presses nothing") << QString() << QString() << start << "button1" << "A" << QString() << 0;

    // Refused where a tap is.
    QTest::newRow("Press refused under the connection overlay")
        << "game" << MONKEYS_EVERYWHERE + "; item1.visible = true" << "gameView" << "hole5" << "press" << "game" << 0;
    QTest::newRow("Return refused under the connection overlay")
        << "game" << MONKEYS_EVERYWHERE + "; item1.visible = true" << "gameView" << "hole5" << "Return" << "game" << 0;
    QTest::newRow("Press refused during a slide")
        << "info" << "gameArea.state = ''" << "mainView" << "button1" << "press" << QString() << 0;
    QTest::newRow("Press refused on a faded-out button")
        << "highscore" << "highScoreView.state = 'uploaded'" << "highScoreView" << "uploadButton" << "press"
        << "highscore" << 0;
    QTest::newRow("Press refused on the transparent ad panel")
        << QString() << QString() << "quillon_ad" << "skipButton" << "press" << QString() << 0;
}

void KeysTest::keyAndScreenReaderPressAsATapDoes()
{
    QFETCH(QString, state);
    QFETCH(QString, setup);
    QFETCH(QString, scope);
    QFETCH(QString, control);
    QFETCH(QString, how);
    QFETCH(QString, stateAfter);
    QFETCH(int, scoreAfter);

    UrlCatcher browser;
    Scene scene;
    QVERIFY(scene.showScreen(state));
    if (!setup.isEmpty())
        scene.evaluate(setup);
    QQuickItem *item = scene.itemIn(scope, control);
    QVERIFY(item);
    const int gamesPlayed = scene.property(QStringLiteral("gameView"), "gamesPlayed").toInt();
    const qreal panelOpacity = scene.property(QStringLiteral("quillon_ad"), "opacity").toReal();
    QObject *overlayTexts = scene.evaluate(QStringLiteral(
        "Qt.createQmlObject('import QtQuick; QtObject { property int changes: 0;"
        " property Connections watch: Connections { target: text1; function onTextChanged() { changes++ } } }',"
        " gameArea)")).value<QObject *>();
    QVERIFY(overlayTexts);

    if (how == QLatin1String("press")) {
        QAccessibleInterface *node = QAccessible::queryAccessibleInterface(item);
        QVERIFY(node && node->actionInterface());
        // The transparent ad panel shows nothing to assistive technology either.
        if (scope == QLatin1String("quillon_ad"))
            QVERIFY(node->state().invisible);
        node->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    } else {
        item->forceActiveFocus();
        QTest::keyClick(&scene.view(), QKeySequence::fromString(how)[0].key());
    }
    QCOMPARE(scene.root()->property("score").toInt(), scoreAfter);
    QCOMPARE(scene.root()->state(), stateAfter);
    QCOMPARE(scene.property(QStringLiteral("gameView"), "gamesPlayed").toInt(),
        gamesPlayed + (stateAfter == QLatin1String("game") && state.isEmpty() ? 1 : 0));
    QCOMPARE(scene.property(QStringLiteral("quillon_ad"), "opacity").toReal(), panelOpacity);
    QVERIFY(scene.calls().isEmpty());
    QVERIFY(browser.opened.isEmpty());
    // A probe sent again shows "Loading, please wait" before any answer.
    if (control == QLatin1String("item1"))
        QVERIFY(overlayTexts->property("changes").toInt() > 0);
}

void KeysTest::aHiddenFieldNeverKeepsTheNumberKeys()
{
    // Highscores, "Upload high score", a name typed, Escape, "New Game": the number keys
    // press the holes, not the field that slid away.
    Scene scene;
    QVERIFY(scene.showScreen(QStringLiteral("highscore")));
    QCOMPARE(focused(scene), QStringLiteral("Upload high score"));
    QTest::keyClick(&scene.view(), Qt::Key_Return);
    QCOMPARE(focused(scene), QStringLiteral("Username"));
    for (const Qt::Key key : { Qt::Key_K, Qt::Key_E, Qt::Key_L })
        QTest::keyClick(&scene.view(), key);
    QTest::keyClick(&scene.view(), Qt::Key_Escape);
    scene.advance(SLIDE_MS + 1);
    QCOMPARE(scene.root()->state(), QString());
    QCOMPARE(focused(scene), QStringLiteral("New Game"));

    QTest::keyClick(&scene.view(), Qt::Key_Return);
    scene.advance(SLIDE_MS + 1);
    QCOMPARE(focused(scene), QStringLiteral("Hole 1"));
    scene.evaluate(QStringLiteral("gameTimer.stop(); Game.setMonkey(3, 'holebg2')"));
    QTest::keyClick(&scene.view(), Qt::Key_3);
    QCOMPARE(scene.root()->property("score").toInt(), 2);
    QCOMPARE(scene.itemIn(QStringLiteral("highScoreView"), QStringLiteral("usernameInput"))->property("text"),
        QVariant(QStringLiteral("kel")));

    // The form sent with Return from the password field closes; the screen's first control
    // takes the keyboard, and nothing typed later goes into the hidden password.
    scene.dropScores();
    scene.saveScores({ 5 });
    scene.goTo(QStringLiteral("highscore"));
    QTest::keyClick(&scene.view(), Qt::Key_Return);
    QTest::keyClick(&scene.view(), Qt::Key_Tab);
    QCOMPARE(focused(scene), QStringLiteral("Password"));
    QTest::keyClick(&scene.view(), Qt::Key_P);
    QTest::keyClick(&scene.view(), Qt::Key_Return);
    QVERIFY(scene.waitForUploaded());
    QCOMPARE(focused(scene), QStringLiteral("Show global top list"));
    QTest::keyClick(&scene.view(), Qt::Key_X);
    QCOMPARE(scene.itemIn(QStringLiteral("highScoreView"), QStringLiteral("passwordInput"))->property("text"),
        QVariant(QStringLiteral("p")));
}

void KeysTest::focusRingShowsFromAKeyToThePointer()
{
    Scene scene;
    QVERIFY(scene.showScreen(QString()));
    QQuickItem *newGame = scene.itemIn(QStringLiteral("mainView"), QStringLiteral("button1"));
    QQuickItem *help = scene.itemIn(QStringLiteral("mainView"), QStringLiteral("button3"));
    QCOMPARE(focused(scene), QStringLiteral("New Game"));
    const auto ringShown = [](QQuickItem *control) {
        const QList<QQuickItem *> children = control->childItems();
        return std::count_if(children.begin(), children.end(), [](QQuickItem *child) {
            return child->property("cornerRadius").isValid() && child->isVisible();
        });
    };
    const QRectF place(newGame->position(), newGame->size());
    QCOMPARE(ringShown(newGame), 0);

    // Down walks the menu, and from the first key on the ring marks the focused control.
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(&scene.view(), Qt::Key_Down);
    QCOMPARE(focused(scene), QStringLiteral("Help"));
    QCOMPARE(ringShown(help), 1);
    QCOMPARE(ringShown(newGame), 0);
    QTest::keyClick(&scene.view(), Qt::Key_Down);
    QTest::keyClick(&scene.view(), Qt::Key_Down);
    QCOMPARE(focused(scene), QStringLiteral("Exit"));
    for (int i = 0; i < 6; ++i)
        QTest::keyClick(&scene.view(), Qt::Key_Up);
    QCOMPARE(focused(scene), QStringLiteral("New Game"));
    QCOMPARE(ringShown(newGame), 1);
    QCOMPARE(QRectF(newGame->position(), newGame->size()), place);

    // A press anywhere puts it away, and still reaches what lies beneath.
    scene.press(help);
    QCOMPARE(ringShown(newGame), 0);
    QCOMPARE(help->property("color").value<QColor>(), QColor(QStringLiteral("#e8e3e3")));
    scene.release(help);
    QCOMPARE(scene.root()->state(), QStringLiteral("info"));
}

TAMBORO_TEST_MAIN(KeysTest)
#include "tst_keys.moc"
