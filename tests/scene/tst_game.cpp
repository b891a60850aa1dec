// SPDX-License-Identifier: GPL-3.0-or-later
#include "IsolatedHome.h"
#include "SceneFixture.h"

#include <QColor>
#include <QFont>
#include <QRegularExpression>

namespace {

// A draw that lands on value k of n equal slots.
double slot(int k, int n)
{
    return (k + 0.5) / n;
}

// Kind 10 into the first free hole: a blue monkey and never an extra one.
const double quietDraw = slot(10, 101);

// The scene's connection probe may call advertisement.start() when its reply comes; it is
// let through first, so the calls the test sees are the game's own. The scores of earlier
// scenes go too, and chance follows the draws, then quietDraw; a new game starts unless the
// test starts its own. False when the probe never had its answer, so the test stops there.
bool play(Scene &scene, const QList<double> &draws, bool start = true)
{
    if (!scene.readyToPlay())
        return false;
    scene.dropScores();
    QStringList values;
    for (double draw : draws)
        values << QString::number(draw, 'g', 17);
    scene.evaluate(QStringLiteral("gameArea.random = (function() { var queue = [%1];"
                                  " return function() { return queue.length > 0 ? queue.shift() : %2; }; })()")
                       .arg(values.join(QLatin1Char(',')))
                       .arg(quietDraw, 0, 'g', 17));
    if (start)
        scene.evaluate(QStringLiteral("Game.newGame()"));
    return true;
}

// Hole 1 and the game around it: state, monkey, rim, lives, lives shown and overlay.
const QString FIRST_HOLE = QStringLiteral("gameView.hole1.state, gameView.hole1.image, gameView.hole1.image2,"
                                          " gameArea.lives, gameView.livesText, gameView.state");

// The hits so far, the spawning interval the game keeps and the one its timer runs with,
// and how long the card of each hole takes to turn.
const QString SPEED
    = QStringLiteral("gameArea.clickCount, gameArea.gameTimerInterval, gameTimer.interval,"
                     " [1, 2, 3, 4, 5, 6, 7, 8].map(function(n) { return gameView['hole' + n].flipSpeed; })");

QString speedAt(int hits, int interval)
{
    return QStringLiteral("%1,%2,%2,").arg(hits).arg(interval)
        + QStringList(8, QString::number(interval / 2)).join(',');
}

// How far the card of a hole has still to turn to show its monkey: 180 face down, 0 up.
int angle(Scene &scene, int number)
{
    for (QQuickItem *child : scene.hole(number)->childItems()) {
        if (child->inherits("QQuickFlipable"))
            return child->property("angle").toInt();
    }
    return -1;
}

// A text of the game-over overlay as it looks there: white at full opacity on the dark
// rounded overlay, the title at 24 points near its top, the message at 23 points below.
bool overlayShows(Scene &scene, const QString &text)
{
    const bool title = text == QLatin1String("Game over!");
    const QList<QQuickItem *> items = scene.itemById(QStringLiteral("gameView"))->findChildren<QQuickItem *>();
    for (QQuickItem *item : items) {
        if (item->property("text").toString() != text)
            continue;
        const QQuickItem *overlay = item->parentItem();
        return item->opacity() == 1.0 && overlay->opacity() == 1.0
            && overlay->property("color").value<QColor>() == QColor(0, 0, 0, 160)
            && overlay->property("radius").toReal() == 61 && item->property("color").value<QColor>() == Qt::white
            && item->property("font").value<QFont>().pointSize() == (title ? 24 : 23) && item->y() == (title ? 10 : 80);
    }
    return false;
}

// The game view on a game-over overlay ("gameOver" for a score on the list, "gameOver1"
// otherwise), its title and message shown as they should look.
bool gameOverShows(Scene &scene, const QString &overlay)
{
    const QString message = overlay == QLatin1String("gameOver") ? QStringLiteral("You got to high scores list!")
                                                                 : QStringLiteral("You didn't get new highscore!");
    return scene.values(QStringLiteral("gameView.state")) == overlay
        && overlayShows(scene, QStringLiteral("Game over!")) && overlayShows(scene, message);
}

bool anyTimerRunning(Scene &scene)
{
    return scene
        .evaluate(QStringLiteral("[gameTimer, hideTimer1, hideTimer2, hideTimer3, hideTimer4, hideTimer5, hideTimer6,"
                                 " hideTimer7, hideTimer8].some(function(timer) { return timer.running; })"))
        .toBool();
}

// Hole 8 tapped, then what the game holds, as values of these expressions.
QString tapEight(Scene &scene, const char *values)
{
    scene.tap(scene.hole(8));
    return scene.values(QString::fromLatin1(values));
}

// How often a score is stored; -1 while there is not even a table.
int storedScoresOf(Scene &scene, int score)
{
    if (scene.sqlCount(QStringLiteral("SELECT name FROM sqlite_master WHERE name = 'Scores'")) == 0)
        return -1;
    return scene.sqlCount(QStringLiteral("SELECT * FROM Scores WHERE score = %1").arg(score));
}

} // namespace

// Game time comes from the scene's virtual clock, and chance from a sequence the test puts
// into the scene's random source, so every spawn lands in a known hole at a known time.
class GameTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        // Script errors reach the test only as warnings.
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    }

    void restartedGameRunsItsCourseUnhitInFourAndAHalfSeconds()
    {
        Scene scene;
        // Monkeys in holes 1 and 2 at 1000, whose timers are still due when the game restarts.
        QVERIFY(play(scene, { slot(0, 8), slot(0, 101), slot(0, 7), slot(10, 101) }));
        scene.advance(1000);
        QVERIFY(scene.monkeyUp(1) && scene.monkeyUp(2));
        scene.advance(300);
        scene.tap(controlAt(scene, "gameView/restart"));
        QCOMPARE(scene.monkeysUp(), 0);

        // From the restart: hole 1 and the game, hole 2's rim, and how far hole 1's card has to
        // turn (-1: still turning). The first monkey comes a full interval later and its card is
        // up 500 ms after. It refills hole 1 before that hole's old timer is due (at 1200), which
        // restarts that timer; hole 2's old timer finds no monkey and takes no life. The monkey
        // escapes at 2500 and leaves a red rim, which a new monkey in the same hole at 3000 keeps;
        // one in hole 2 escapes at 3500, and the third escape, at 4500, ends the game.
        const QList<std::tuple<int, QString, int>> timeline { { 999, ",holebg1,hole,3,3,,hole", 180 },
            { 1, "hasMonkey,holebg1,hole,3,3,,hole", 180 }, { 200, "hasMonkey,holebg1,hole,3,3,,hole", -1 },
            { 300, "hasMonkey,holebg1,hole,3,3,,hole", 0 }, { 999, "hasMonkey,holebg1,hole,3,3,,hole", 0 },
            { 1, ",holebg1,holebgred,2,2,,hole", 0 }, { 500, "hasMonkey,holebg1,holebgred,2,2,,hole", 180 },
            { 1499, "hasMonkey,holebg1,holebgred,1,1,,holebgred", 0 },
            { 1, ",holebg1,holebgred,0,0,gameOver1,holebgred", 0 } };
        for (const auto &[ms, look, turn] : timeline) {
            scene.advance(ms);
            QCOMPARE(scene.values(FIRST_HOLE + QStringLiteral(", gameView.hole2.image2")), look);
            QVERIFY2(turn < 0 ? angle(scene, 1) > 0 && angle(scene, 1) < 180 : angle(scene, 1) == turn,
                qPrintable(QStringLiteral("%1 at %2").arg(angle(scene, 1)).arg(look)));
        }

        // The red rim lasts until a monkey in that hole is hit, or the next game.
        scene.evaluate(QStringLiteral("Game.newGame()"));
        QCOMPARE(scene.values(FIRST_HOLE), QStringLiteral(",holebg1,hole,3,3,"));
        QVERIFY(!overlayShows(scene, QStringLiteral("Game over!")));
    }

    void kindDrawDecidesPointsAndExtraMonkey_data()
    {
        QTest::addColumn<int>("kindDraw");
        QTest::addColumn<int>("points");
        QTest::addColumn<bool>("extra");
        for (const auto &[kindDraw, points, extra] :
            { std::tuple { 0, 1, true }, { 48, 1, false }, { 49, 1, true }, { 50, 2, false }, { 77, 2, true },
                { 79, 2, false }, { 80, 3, false }, { 98, 3, true }, { 100, 3, false } })
            QTest::addRow("%d", kindDraw) << kindDraw << points << extra;
    }

    void kindDrawDecidesPointsAndExtraMonkey()
    {
        QFETCH(int, kindDraw);
        QFETCH(int, points);
        QFETCH(bool, extra);

        Scene scene;
        // The last of eight free holes; the extra step then draws the first of the seven left
        // with a kind that would allow yet another monkey, which must not come.
        QVERIFY(play(scene, { slot(7, 8), slot(kindDraw, 101), slot(0, 7), slot(0, 101) }));
        scene.advance(1000);

        QVERIFY(scene.monkeyUp(8));
        QCOMPARE(scene.monkeysUp(), extra ? 2 : 1);
        QCOMPARE(scene.monkeyUp(1), extra);

        scene.tap(scene.hole(2));
        QCOMPARE(scene.root()->property("score").toInt(), 0);

        // The card turns back from the moment the finger is down, and a red rim left by an
        // earlier escape turns normal.
        scene.hole(8)->setProperty("image2", QStringLiteral("holebgred"));
        scene.advance(500);
        scene.press(scene.hole(8));
        QCOMPARE(scene.values(QStringLiteral("gameArea.score, gameView.hole8.image2")),
            QStringLiteral("%1,hole").arg(points));
        scene.advance(100);
        QVERIFY(angle(scene, 8) > 0);
        scene.release(scene.hole(8));

        // Still turning away: a second press finds no monkey.
        QCOMPARE(tapEight(scene, "gameArea.score, gameView.scoreText, gameView.hole8.state, gameView.hole8.hasMonkey,"
                                 " hideTimer8.running, gameArea.clickCount"),
            QStringLiteral("%1,%1,,0,false,1").arg(points));
    }

    void everySeventhHitSpeedsUpSpawningDownTo250()
    {
        Scene scene;
        QVERIFY(play(scene, {}));

        int lastSpawn = 0;
        for (int elapsed = 1; elapsed <= 8000 && scene.root()->property("clickCount").toInt() < 7; ++elapsed) {
            scene.advance(1);
            if (scene.monkeyUp(1)) {
                lastSpawn = elapsed;
                scene.tap(scene.hole(1));
            }
        }
        QCOMPARE(lastSpawn, 7000);
        QCOMPARE(scene.values(SPEED), speedAt(7, 950));

        scene.advance(949);
        QVERIFY(!scene.monkeyUp(1));
        scene.advance(1);
        QVERIFY(scene.monkeyUp(1));
        // The turn itself is quicker now: 475 ms, not the 500 it took at the start.
        scene.advance(465);
        QVERIFY(angle(scene, 1) > 0);
        scene.advance(10);
        QCOMPARE(angle(scene, 1), 0);

        for (const auto &[hits, interval] : { std::pair { 104, 300 }, { 105, 250 }, { 112, 250 } }) {
            scene.evaluate(QStringLiteral("while (gameArea.clickCount < %1) Game.addScore(1, 2)").arg(hits));
            QCOMPARE(scene.values(SPEED), speedAt(hits, interval));
        }

        // A restart carries nothing over: no points shown, no hits, the first speed.
        scene.tap(controlAt(scene, "gameView/restart"));
        QCOMPARE(scene.values(QStringLiteral("gameArea.score, gameView.scoreText")), QStringLiteral("0,0"));
        QCOMPARE(scene.values(SPEED), speedAt(0, 1000));
    }

    void fullBoardEndsGameInSpawningTickAndFreezesIt_data()
    {
        QTest::addColumn<int>("score");
        QTest::addColumn<QString>("overlay");
        QTest::newRow("no points") << 0 << "gameOver1";
        QTest::newRow("points for the list") << 6 << "gameOver";
    }

    void fullBoardEndsGameInSpawningTickAndFreezesIt()
    {
        QFETCH(int, score);
        QFETCH(QString, overlay);

        Scene scene;
        QVERIFY(play(scene, { slot(0, 1), slot(7, 101) }));
        scene.evaluate(QStringLiteral("for (var id = 1; id <= 7; ++id) Game.setMonkey(id, 'holebg2')"));
        scene.root()->setProperty("score", score);
        scene.advance(999);
        QCOMPARE(scene.values(QStringLiteral("gameView.state")), QString());
        scene.advance(1);
        QCOMPARE(scene.monkeysUp(), 8);
        QVERIFY(gameOverShows(scene, overlay));
        // The message's letters stay inside the overlay, straight-edged below its corners; the
        // title fits as it is and keeps its size.
        QQuickItem *box = controlAt(scene, "gameView/rectangle2"), *line = controlAt(scene, "gameView/text2");
        const qreal width = line->property("contentWidth").toReal();
        const qreal left = line->mapToItem(box, QPointF((line->width() - width) / 2, 0)).x();
        QVERIFY2(left >= 8 && left + width <= box->width() - 8,
            qPrintable(QStringLiteral("%1 wide at %2").arg(width).arg(left)));
        QCOMPARE(controlAt(scene, "gameView/title")->property("contentWidth").toReal(),
            scene
                .evaluate(QStringLiteral(
                    "Qt.createQmlObject('import QtQuick; Text { font.pointSize: 24; text: \"Game over!\" }', gameArea)"
                    ".implicitWidth"))
                .toReal());
        QVERIFY(!anyTimerRunning(scene));
        // A score for the list is saved once; no points do not even open the database.
        QCOMPARE(storedScoresOf(scene, score), score > 0 ? 1 : -1);

        scene.advance(3000);
        QCOMPARE(scene.monkeysUp(), 8);

        // A monkey left standing behind the overlay is cleared without scoring; no life was lost.
        QCOMPARE(tapEight(scene, "gameView.hole8.state, gameView.hole8.hasMonkey, gameArea.clickCount, gameArea.score,"
                                 " gameArea.lives"),
            QStringLiteral(",0,0,%1,3").arg(score));
    }

    // Each game's score is saved before its ad shows, and only if it makes the board's top ten
    // (a tie with the tenth does not): a list, the score played onto it, the overlay it ends
    // on, the ads shown by then (one every second game, whatever the score) and the fifties stored.
    void topTenScoresAreSavedBeforeEveryOtherGamesAd()
    {
        Scene scene;
        QVERIFY(play(scene, {}, false));
        QList<int> savedWhenAdShown;
        bool timersRunningWhenAdShown = false;
        scene.advertisement().onStart = [&] {
            savedWhenAdShown += storedScoresOf(scene, 50);
            timersRunningWhenAdShown = timersRunningWhenAdShown || anyTimerRunning(scene);
        };
        const QList<int> nine { 90, 80, 70, 60, 55, 51, 50, 50, 50 };
        const QList<std::tuple<QList<int>, int, int, QString, int, int>> games {
            { nine + QList<int> { 10, 20 }, 8, 50, "gameOver", 0, 4 },
            { nine + QList<int> { 50, 20 }, 8, 50, "gameOver1", 1, 4 },
            { QList<int>(10, 90), 6, 50, "gameOver", 1, 1 },
            { {}, 8, 50, "gameOver", 2, 1 },
            { {}, 8, 0, "gameOver1", 2, 0 },
            { {}, 8, 0, "gameOver1", 3, 0 },
        };
        for (const auto &[stored, grid, score, overlay, ads, fifties] : games) {
            scene.dropScores();
            scene.insertScores(stored, grid);
            scene.playOutWithScore(score);
            QVERIFY(gameOverShows(scene, overlay));
            QCOMPARE(scene.calls(), QStringList(ads, QStringLiteral("advertisement.start")));
            QCOMPARE(storedScoresOf(scene, 50), fifties);
        }
        QCOMPARE(savedWhenAdShown, QList<int>({ 4, 1, 0 }));
        QVERIFY(!timersRunningWhenAdShown);
    }

    void boardGeometryFollowsTheScreenUnrounded_data()
    {
        QTest::addColumn<QSizeF>("screen");
        for (const QSizeF screen : { QSizeF(480, 800), QSizeF(360, 640), QSizeF(1080, 1920), QSizeF(502, 777) })
            QTest::addRow("%gx%g", screen.width(), screen.height()) << screen;
    }

    void boardGeometryFollowsTheScreenUnrounded()
    {
        QFETCH(QSizeF, screen);
        Scene scene;
        scene.root()->setSize(screen);
        // Two columns of holes a fifth of a hole in from the edges, four rows a tenth of a
        // hole apart from the top, nothing rounded.
        const qreal w = screen.width() / 2.5;
        const qreal h = screen.height() / 4.7;
        for (int number = 1; number <= 8; ++number) {
            const int column = (number - 1) % 2;
            const int row = (number - 1) / 2;
            const QRectF expected(column == 0 ? w / 8 : w + w / 8 * 3, row * h + h / 10, w, h);
            QQuickItem *item = scene.hole(number);
            QCOMPARE(QRectF(item->x(), item->y(), item->width(), item->height()), expected);
            QCOMPARE(item->property("idNumber").toInt(), number);
        }
        const qreal homeX = (screen.width() - 90) / 2;
        const qreal iconY = screen.height() - 4 - 45 - 32;
        QCOMPARE(controlAt(scene, "gameView/homeBtn")->position(), QPointF(homeX, screen.height() - 94));
        QCOMPARE(controlAt(scene, "gameView/restart")->position(), QPointF(homeX - 20 - 64, iconY));
        QCOMPARE(controlAt(scene, "gameView/highscore")->position(), QPointF(homeX + 90 + 20, iconY));
    }
};

TAMBORO_TEST_MAIN(GameTest)
#include "tst_game.moc"
