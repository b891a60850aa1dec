// SPDX-License-Identifier: GPL-3.0-or-later
#include "HeldKey.h"
#include "IsolatedHome.h"
#include "SceneFixture.h"
#include "tamboro_config.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QColor>
#include <QQmlContext>
#include <QQmlExpression>
#include <QSignalSpy>

#include <algorithm>

namespace {

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

// What assistive technology calls the item that has the keyboard.
QString focused(Scene &scene)
{
    QAccessibleInterface *node = QAccessible::queryAccessibleInterface(scene.view().activeFocusItem());
    return node ? node->text(QAccessible::Name) : QString();
}

// Tab goes through the shown screen's controls in reading order and on to the two corner
// icons, which every screen shows, until it comes back to the control it started from;
// Shift+Tab the other way; assistive technology is told of those controls alone.
void verifyTabWalk(Scene &scene, QStringList walk)
{
    const auto tabWalk = [&](Qt::Key key) {
        QStringList names { focused(scene) };
        for (int i = 0; i < 30; ++i) {
            QTest::keyClick(&scene.view(), key);
            if (focused(scene) == names.first())
                break;
            names.append(focused(scene));
        }
        return names;
    };
    walk += QStringList { QStringLiteral("Minimise"), QStringLiteral("Close") };
    QCOMPARE(tabWalk(Qt::Key_Tab), walk);
    QStringList sorted = walk;
    sorted.sort();
    QCOMPARE(showingControls(scene), sorted);
    std::reverse(walk.begin() + 1, walk.end());
    QCOMPARE(tabWalk(Qt::Key_Backtab), walk);
}

// Puts a violet monkey into every hole of a game that stands still.
const QString MONKEYS_EVERYWHERE = QStringLiteral(
    "Game.newGame(); gameTimer.stop(); for (var n = 1; n <= 8; ++n) {"
    " var hole = gameView['hole' + n]; hole.image = 'holebg2'; hole.hasMonkey = true; hole.state = 'hasMonkey'; }");

const QString CONNECTION_ERROR_SHOWN = QStringLiteral("item1.visible = true; text1.text = '%1'").arg(CONNECTION_ERROR);
// A setup that stops a third into the slide to the row's screen instead of after it.
const QString MID_SLIDE = QStringLiteral("mid-slide");

// A row of tapKeyAndScreenReaderActAlike. The setup runs once the screen has arrived. The
// control ("scope/id") is tapped, touched, pressed by assistive technology or given the
// keyboard for the key; none for the keys that act wherever the keyboard is. "taken" are the
// holes whose monkeys go; "calls" lists what the shell was asked, the pages opened and
// "upload" for a form sent. A key "repeat K" is K auto-repeated, as a held key sends it.
void addRow(const char *name, const QString &state, const QString &setup, const QString &control, const QString &how,
    const QString &stateAfter, const QList<int> &taken, const QString &calls = QString())
{
    QTest::newRow(name) << state << setup << control << how << stateAfter << taken << calls;
}

void addRow(const char *name, const QString &state, const QString &setup, const QString &control, const QString &how,
    const QString &stateAfter, int taken = 0, const QString &calls = QString())
{
    addRow(name, state, setup, control, how, stateAfter, taken ? QList<int> { taken } : QList<int>(), calls);
}

// Fingers as a row's "touch ..." describes them: one lands on the control; "with N" lands a
// second on hole N in the same event, "then N" in a later one while the first stays down;
// "slides onto N" and "slides off" move the first onto hole N or below the control. A finger
// on a button or field is lifted at once; the fingers on holes stay down until the returned
// call lifts them, as a hole takes its monkey when a finger lands, not when it lifts.
std::function<void()> touch(Scene &scene, QQuickItem *item, const QString &how)
{
    const QStringList words = how.split(QLatin1Char(' '));
    const QString way = words.value(1);
    QQuickItem *hole = words.last().toInt() ? scene.hole(words.last().toInt()) : nullptr;
    const QPoint first = scene.windowPoint(item, Scene::centre(item));
    const QPoint second = hole ? scene.windowPoint(hole, Scene::centre(hole))
                               : scene.windowPoint(item, QPointF(item->width() / 2, item->height() + 40));
    if (way == QLatin1String("with"))
        scene.touch().press(0, first).press(1, second);
    else
        scene.touch().press(0, first);
    if (way == QLatin1String("then"))
        scene.touch().stationary(0).press(1, second);
    QPoint firstAt = first;
    for (int step = 1; way == QLatin1String("slides") && step <= 4; ++step) {
        firstAt = first + (second - first) * step / 4;
        scene.touch().move(0, firstAt);
    }
    const bool firstHeld = item->property("idNumber").isValid();
    const bool secondHeld = way == QLatin1String("with") || way == QLatin1String("then");
    if (!firstHeld && secondHeld)
        scene.touch().release(0, firstAt).stationary(1);
    else if (!firstHeld)
        scene.touch().release(0, firstAt);
    // The fingers left down move a little before they lift.
    return [&scene, firstHeld, secondHeld, firstAt, second] {
        const QPoint nudge(4, 4);
        if (firstHeld && secondHeld) {
            scene.touch().move(0, firstAt + nudge).move(1, second + nudge);
            scene.touch().release(0, firstAt + nudge).release(1, second + nudge);
        } else if (firstHeld) {
            scene.touch().move(0, firstAt + nudge);
            scene.touch().release(0, firstAt + nudge);
        } else if (secondHeld) {
            scene.touch().move(1, second + nudge);
            scene.touch().release(1, second + nudge);
        }
    };
}

} // namespace

class KeysTest : public QObject {
    Q_OBJECT

private slots:
    void init() { QVERIFY2(waitForFreePort(), "the compiled-in port stayed taken"); }

    // A control acts the same whether tapped, pressed by its key or by assistive technology.
    void tapKeyAndScreenReaderActAlike_data();
    void tapKeyAndScreenReaderActAlike();
    // One walk: Tab on every screen, a hidden field never keeps the keys, the focus ring shows
    // from a key to the pointer.
    void keyboardWalkAcrossTheScreens();
};

void KeysTest::tapKeyAndScreenReaderActAlike_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("stateAfter");
    QTest::addColumn<QList<int>>("taken");
    QTest::addColumn<QString>("calls");

    const QString close = QStringLiteral("advertisement.start appData.close");
    // The corner icons take taps over the connection error too.
    const QString error = CONNECTION_ERROR_SHOWN;
    addRow("tap on Minimise", "", error, "gameArea/image1", "tap", "", 0, "appData.minimize advertisement.start");
    addRow("tap on Close", "", error, "gameArea/image2", "tap", "", 0, close);
    addRow("tap on Exit", "", "", "mainView/button4", "tap", "", 0, close);
    addRow("Return on Exit", "", "", "mainView/button4", "Return", "", 0, close);
    addRow("tap on More Games opens the store page", "", "", "mainView/button5", "tap", "", 0, TAMBORO_STORE_URL);
    addRow("Return on New Game", "", "", "mainView/button1", "Return", "game");
    addRow("Enter on Highscores", "", "", "mainView/button2", "Enter", "highscore");
    addRow("Space on Help", "", "", "mainView/button3", "Space", "info");
    addRow("Press on New Game", "", "", "mainView/button1", "press", "game");
    addRow("Press on Help", "", "", "mainView/button3", "press", "info");
    addRow("Press on the help screen's home", "info", "", "infoView/homeButton", "press", "");
    addRow("Space on a hole with a monkey", "game", "", "gameView/hole2", "Space", "game", 2);
    addRow("Press on a hole with a monkey", "game", "", "gameView/hole7", "press", "game", 7);
    addRow("Return on the high-score icon", "game", "", "gameView/highscore", "Return", "highscore");
    addRow("Return on the connection error asks again", "", CONNECTION_ERROR_SHOWN, "gameArea/item1", "Return", "");
    addRow("a letter presses nothing", "", "", "mainView/button1", "A", "");
    addRow("the repeats of a held Return press nothing", "", "", "mainView/button1", "repeat Return", "");
    addRow("Enter in the password field sends the form", "highscore", "screen.state = 'upload'",
        "highScoreView/passwordInput", "Enter", "highscore", 0, "upload");
    addRow("the repeats of a held Return in the password field send nothing", "highscore", "screen.state = 'upload'",
        "highScoreView/passwordInput", "repeat Return", "highscore");

    // The number keys press the holes and Escape the current screen's home button, wherever
    // the keyboard is.
    for (int number = 1; number <= 8; ++number) {
        const QString key = QString::number(number);
        addRow(qPrintable(key + " hits hole " + key), "game", "", "", key, "game", number);
        addRow(qPrintable("keypad " + key + " hits hole " + key), "game", "", "", "Num+" + key, "game", number);
    }
    addRow("9 is no hole", "game", "", "", "9", "game");
    addRow("a key on an empty hole", "game", "gameView.hole4.state = ''", "", "4", "game");
    addRow("behind the game-over overlay it clears without scoring", "game", "gameView.state = 'gameOver1'", "", "3",
        "game", 3);
    addRow("Escape on the game screen", "game", "", "", "Escape", "");
    addRow("Escape on the help screen", "info", "", "", "Escape", "");
    addRow("Escape on the high-score screen", "highscore", "loadingText.opacity = 1", "", "Escape", "");
    addRow("Escape typed into the upload form", "highscore", "screen.state = 'upload'", "highScoreView/usernameInput",
        "Escape", "");

    // Every finger counts, each where it lands.
    addRow("touch on New Game", "", "", "mainView/button1", "touch", "game");
    addRow("touch on a hole", "game", "", "gameView/hole2", "touch", "game", 2);
    addRow("touch on two holes at once", "game", "", "gameView/hole2", "touch with 7", "game", { 2, 7 });
    addRow("touch on a hole while another is held", "game", "", "gameView/hole2", "touch then 7", "game", { 2, 7 });
    addRow("touch on a hole while the high-score icon is held", "game", "", "gameView/highscore", "touch then 4",
        "highscore", 4);
    addRow("touch that slides onto another hole takes only the first", "game", "", "gameView/hole2",
        "touch slides onto 7", "game", 2);
    addRow("touch that slides off New Game presses nothing", "", "", "mainView/button1", "touch slides off", "");
    addRow("touch gives the password field the keys", "highscore", "screen.state = 'upload'",
        "highScoreView/passwordInput", "touch, Enter", "highscore", 0, "upload");
    addRow("touch behind the game-over overlay clears without scoring", "game", "gameView.state = 'gameOver1'",
        "gameView/hole3", "touch", "game", 3);

    // Each only where a finger could press that control at that moment.
    const QString overlay = QStringLiteral("item1.visible = true");
    addRow("Press refused under the connection overlay", "game", overlay, "gameView/hole5", "press", "game");
    addRow("Return refused under the connection overlay", "game", overlay, "gameView/hole5", "Return", "game");
    addRow("keypad 5 refused under the connection overlay", "game", overlay, "", "Num+5", "game");
    addRow("Press refused during a slide", "info", "gameArea.state = ''", "mainView/button1", "press", "");
    addRow("1 refused during the slide in", "game", MID_SLIDE, "", "1", "game");
    addRow("Escape refused during a slide", "info", MID_SLIDE, "", "Escape", "info");
    addRow("1 refused on the start screen", "", "", "", "1", "");
    addRow("Escape refused on the start screen", "", "", "", "Escape", "");
    addRow("6 refused on a faded-out hole", "game", "gameView.hole6.opacity = 0", "", "6", "game");
    addRow("touch refused under the connection overlay", "game", overlay, "gameView/hole5", "touch", "game");
    addRow("touch refused during the slide in", "game", MID_SLIDE, "gameView/hole1", "touch with 2", "game");
    addRow("Press refused on a faded-out button", "highscore", "highScoreView.state = 'uploaded'",
        "highScoreView/uploadButton", "press", "highscore");
    addRow("Press refused on the transparent ad panel", "", "", "quillon_ad/skipButton", "press", "");
}

void KeysTest::tapKeyAndScreenReaderActAlike()
{
    QFETCH(QString, state);
    QFETCH(QString, setup);
    QFETCH(QString, control);
    QFETCH(QString, how);
    QFETCH(QString, stateAfter);
    QFETCH(QList<int>, taken);
    QFETCH(QString, calls);

    UrlCatcher browser;
    Scene scene;
    QVERIFY(scene.showScreen(QStringLiteral("game"), MONKEYS_EVERYWHERE));
    // The game goes on unseen from the start screen, from which every screen is reached.
    scene.goTo(QString());
    scene.evaluate(QStringLiteral("gameArea.state = '%1'").arg(state));
    scene.advance(setup == MID_SLIDE ? SLIDE_MS / 3 : SLIDE_MS + 1);
    // The high-score screen's scope sees its own ids and, past them, the root scene's.
    QQuickItem *highScores = scene.itemById(QStringLiteral("highScoreView"));
    if (setup != MID_SLIDE)
        QQmlExpression(qmlContext(highScores->childItems().first()), highScores, setup).evaluate();
    scene.calls().clear();
    QQuickItem *item = control.isEmpty() ? nullptr : controlAt(scene, control);
    QVERIFY(item || control.isEmpty());
    const int monkeysBefore = scene.monkeysUp();
    const int gamesPlayed = scene.property(QStringLiteral("gameView"), "gamesPlayed").toInt();
    QSignalSpy overlayTexts(scene.byId(QStringLiteral("text1")), SIGNAL(textChanged(QString)));
    std::function<void()> liftFingers;
    if (how == QLatin1String("tap")) {
        scene.tap(item);
    } else if (how.startsWith(QLatin1String("touch"))) {
        liftFingers = touch(scene, item, how.section(QLatin1Char(','), 0, 0));
        if (how.endsWith(QLatin1String(", Enter")))
            QTest::keyClick(&scene.view(), Qt::Key_Enter);
    } else if (how == QLatin1String("press")) {
        QAccessibleInterface *node = QAccessible::queryAccessibleInterface(item);
        QVERIFY(node && node->actionInterface());
        // The transparent ad panel shows nothing to assistive technology either.
        if (control.startsWith(QLatin1String("quillon_ad/")))
            QVERIFY(node->state().invisible);
        node->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    } else {
        if (item)
            item->forceActiveFocus();
        const bool repeat = how.startsWith(QLatin1String("repeat "));
        const QKeyCombination key = QKeySequence::fromString(repeat ? how.mid(7) : how)[0];
        if (repeat)
            sendHeldKeyRepeat(scene.view(), key.key(), key.keyboardModifiers());
        else
            QTest::keyClick(&scene.view(), key.key(), key.keyboardModifiers());
    }
    // A key acts at once, as a finger down does: no release, no clock tick waited for.
    // A violet monkey taken scores 2, but not behind the game-over overlay.
    const int score = setup.contains(QLatin1String("gameOver")) ? 0 : 2 * int(taken.size());
    QCOMPARE(scene.root()->property("score").toInt(), score);
    QCOMPARE(scene.root()->state(), stateAfter);
    // A new game empties every hole.
    const bool newGame = stateAfter == QLatin1String("game") && state.isEmpty();
    QCOMPARE(scene.property(QStringLiteral("gameView"), "gamesPlayed").toInt(), gamesPlayed + (newGame ? 1 : 0));
    if (!newGame)
        QCOMPARE(monkeysBefore - scene.monkeysUp(), int(taken.size()));
    for (const int number : taken)
        QCOMPARE(scene.evaluate(QStringLiteral("gameView.hole%1.state").arg(number)).toString(), QString());
    // The transparent ad panel stays transparent.
    QCOMPARE(scene.property(QStringLiteral("quillon_ad"), "opacity").toReal(), 0.0);
    // A form sent shows its "Loading" text at once.
    QStringList happened = scene.calls() + QUrl::toStringList(browser.opened);
    if (scene.itemIn(QStringLiteral("highScoreView"), QStringLiteral("loadingText"))->opacity() > 0)
        happened += QStringLiteral("upload");
    QCOMPARE(happened.join(QLatin1Char(' ')), calls);
    // A probe sent again shows "Loading, please wait" before any answer; nothing else sends it.
    QCOMPARE(
        overlayTexts.value(0).value(0).toString(), control == QLatin1String("gameArea/item1") ? LOADING : QString());
    // A finger presses once: monkeys put back under the fingers still down are left there
    // as they move and lift.
    if (liftFingers) {
        scene.evaluate(QStringLiteral("for (var n = 1; n <= 8; ++n) Game.setMonkey(n, 'holebg2')"));
        const int monkeys = scene.monkeysUp();
        liftFingers();
        QCOMPARE(scene.values(QStringLiteral("gameArea.score, gameArea.state")),
            QStringLiteral("%1,%2").arg(score).arg(stateAfter));
        QCOMPARE(scene.monkeysUp(), monkeys);
    }
}

void KeysTest::keyboardWalkAcrossTheScreens()
{
    Scene scene;
    QVERIFY(scene.showScreen(QStringLiteral("highscore")));
    QQuickItem *upload = controlAt(scene, QStringLiteral("highScoreView/uploadButton"));
    QQuickItem *newGame = controlAt(scene, QStringLiteral("mainView/button1"));
    QQuickItem *help = controlAt(scene, QStringLiteral("mainView/button3"));
    const auto keys = [&](std::initializer_list<Qt::Key> list) {
        for (const Qt::Key key : list)
            QTest::keyClick(&scene.view(), key);
    };
    const auto ringShown = [](QQuickItem *control) {
        const QList<QQuickItem *> children = control->childItems();
        return std::count_if(children.begin(), children.end(),
            [](QQuickItem *child) { return child->property("cornerRadius").isValid() && child->isVisible(); });
    };
    const QRectF place(newGame->position(), newGame->size());
    // The ring marks the focused control only from the first key on.
    QCOMPARE(ringShown(upload), 0);
    verifyTabWalk(scene, { "Upload high score", "Show global top list", "Home" });

    // "Upload high score", a name typed, Escape: the field that slid away keeps what was typed.
    // Opened from the keyboard, the form gives its name field the keys at once.
    keys({ Qt::Key_Return });
    verifyTabWalk(scene, { "Username", "Password", "Upload score", "Get account", "Home" });
    keys({ Qt::Key_K, Qt::Key_E, Qt::Key_L, Qt::Key_Escape });
    scene.advance(SLIDE_MS + 1);
    QCOMPARE(scene.root()->state(), QString());
    verifyTabWalk(scene, { "New Game", "Highscores", "More Games", "Help", "Exit" });

    // Down walks the menu, the ring on the focused control alone.
    keys({ Qt::Key_Down, Qt::Key_Down, Qt::Key_Down });
    QCOMPARE(focused(scene), QStringLiteral("Help"));
    QCOMPARE(ringShown(help), 1);
    QCOMPARE(ringShown(newGame), 0);
    keys({ Qt::Key_Down, Qt::Key_Down });
    QCOMPARE(focused(scene), QStringLiteral("Exit"));
    keys({ Qt::Key_Up, Qt::Key_Up, Qt::Key_Up, Qt::Key_Up, Qt::Key_Up, Qt::Key_Up });
    QCOMPARE(focused(scene), QStringLiteral("New Game"));
    QCOMPARE(ringShown(newGame), 1);
    QCOMPARE(QRectF(newGame->position(), newGame->size()), place);

    // A press anywhere puts the ring away, and still reaches what lies beneath.
    scene.press(help);
    QCOMPARE(ringShown(newGame), 0);
    QCOMPARE(help->property("color").value<QColor>(), QColor(QStringLiteral("#e8e3e3")));
    scene.release(help);
    QCOMPARE(scene.root()->state(), QStringLiteral("info"));
    scene.advance(SLIDE_MS + 1);
    verifyTabWalk(scene, { "Home" });

    // Back and "New Game": the number keys press the holes, not the hidden name field.
    keys({ Qt::Key_Escape });
    scene.advance(SLIDE_MS + 1);
    QCOMPARE(focused(scene), QStringLiteral("New Game"));
    keys({ Qt::Key_Return });
    scene.advance(SLIDE_MS + 1);
    verifyTabWalk(scene,
        { "Hole 1", "Hole 2", "Hole 3", "Hole 4", "Hole 5", "Hole 6", "Hole 7", "Hole 8", "Restart", "Home",
            "High scores" });
    scene.evaluate(QStringLiteral("gameTimer.stop(); Game.setMonkey(3, 'holebg2')"));
    keys({ Qt::Key_3 });
    QCOMPARE(scene.root()->property("score").toInt(), 2);
    QCOMPARE(controlAt(scene, "highScoreView/usernameInput")->property("text"), QVariant(QStringLiteral("kel")));

    // The form sent with Return from the password field closes; the screen's first control
    // takes the keyboard, and nothing typed later goes into the hidden password.
    scene.dropScores();
    scene.saveScores({ 5 });
    scene.goTo(QStringLiteral("highscore"));
    keys({ Qt::Key_Return, Qt::Key_Tab });
    QCOMPARE(focused(scene), QStringLiteral("Password"));
    keys({ Qt::Key_P, Qt::Key_Return });
    QVERIFY(scene.waitForUploaded());
    // The faded-out upload button is passed over.
    verifyTabWalk(scene, { "Show global top list", "Home" });
    keys({ Qt::Key_X });
    QCOMPARE(controlAt(scene, "highScoreView/passwordInput")->property("text"), QVariant(QStringLiteral("p")));

    // The connection error on the start screen is all Tab reaches there, with the corner icons.
    scene.goTo(QString());
    scene.evaluate(CONNECTION_ERROR_SHOWN);
    verifyTabWalk(scene, { CONNECTION_ERROR });
}

TAMBORO_TEST_MAIN(KeysTest)
#include "tst_keys.moc"
