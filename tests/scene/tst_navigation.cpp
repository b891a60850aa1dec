// SPDX-License-Identifier: GPL-3.0-or-later
#include "IsolatedHome.h"
#include "LocalService.h"
#include "PortraitFit.h"
#include "SceneFixture.h"
#include "tamboro_config.h"

#include <QColor>
#include <QDir>
#include <QEasingCurve>
#include <QImage>
#include <QImageReader>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QRegularExpression>

namespace {

const QStringList SCREENS { QStringLiteral("mainView"), QStringLiteral("gameView"), QStringLiteral("infoView"),
    QStringLiteral("highScoreView") };

// Where each screen lies in each root state, in the order of SCREENS.
const QHash<QString, QList<qreal>> SCREEN_X {
    { QString(), { 0, 480, 480, 480 } },
    { QStringLiteral("game"), { -480, 0, 480, 480 } },
    { QStringLiteral("info"), { -480, 480, 0, 480 } },
    { QStringLiteral("highscore"), { -480, -480, 480, 0 } },
};

qreal screenX(const QString &state, const QString &screen)
{
    return SCREEN_X.value(state).at(SCREENS.indexOf(screen));
}

QStringList visibleScreens(const Scene &scene)
{
    QStringList visible = SCREENS;
    visible.removeIf([&](const QString &screen) { return !scene.property(screen, "visible").toBool(); });
    return visible;
}

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
    const QString sharp = QString(picture).insert(picture.lastIndexOf(QLatin1Char('.')), QLatin1String("@2x"));
    const double toSharp = difference(grab, drawnAt, QImage(IMAGES + sharp), area);
    const double toPlain = difference(grab, drawnAt, QImage(IMAGES + picture), area);
    QVERIFY2(toSharp < 0.6 * toPlain,
        qPrintable(QStringLiteral("%1: %2 against %3").arg(picture).arg(toSharp).arg(toPlain)));
}

// A row of controlActsWhenReleasedOnItAndItsScreenSlidesIn: the control ("scope/id") tapped on
// a root state's screen, the state it leads to, the control tapped while the slide it starts
// is under way (none for no tap) and what the shell was asked.
void addRow(const char *name, const QString &state, const QString &control, const QString &stateAfter,
    const QString &second = QString(), const QStringList &calls = QStringList())
{
    QTest::newRow(name) << state << control << stateAfter << second << calls;
}

} // namespace

class NavigationTest : public QObject {
    Q_OBJECT

private slots:
    void init() { QVERIFY2(waitForFreePort(), "the compiled-in port stayed taken"); }

    void overlayWaitsForTheConnectionUntilTheProbeOpens();
    void probeSettlesTheOverlay_data();
    void probeSettlesTheOverlay();
    // A held control, lifting off it, a press taken away; the slide it starts, taps during it
    // and the screen it shows.
    void controlActsWhenReleasedOnItAndItsScreenSlidesIn_data();
    void controlActsWhenReleasedOnItAndItsScreenSlidesIn();
    // Pictures at their own size and at twice it, drawn through the shell's letterbox.
    void sharpFilesExistAndAreDrawnAtTwiceTheSize();
};

void NavigationTest::overlayWaitsForTheConnectionUntilTheProbeOpens()
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

void NavigationTest::probeSettlesTheOverlay_data()
{
    // What the local service is started with; none leaves the port refusing the probe.
    QTest::addColumn<QStringList>("service");
    QTest::addColumn<bool>("answered");
    QTest::newRow("answered") << QStringList { QStringLiteral("--set"), QStringLiteral("probe_delay_ms=1000") } << true;
    QTest::newRow("empty body") << QStringList { QStringLiteral("--probe-empty") } << false;
    QTest::newRow("refused port") << QStringList() << false;
}

void NavigationTest::probeSettlesTheOverlay()
{
    QFETCH(QStringList, service);
    QFETCH(bool, answered);
    const auto local = service.isEmpty() ? nullptr : startService(service);
    QVERIFY(local || service.isEmpty());

    UrlCatcher browser;
    Scene scene;
    if (answered) {
        QCOMPARE(scene.values(QStringLiteral("item1.visible, text1.text")), QStringLiteral("true,") + LOADING);
        QVERIFY(scene.calls().isEmpty());
    }
    // Answered, the overlay goes for good and one ad starts; failed, it stays with its error.
    const auto settled = [&] { return answered ? !scene.overlayShown() : scene.overlayText() == CONNECTION_ERROR; };
    QVERIFY(scene.waitFor(settled));
    const QStringList ads = answered ? QStringList { QStringLiteral("advertisement.start") } : QStringList();
    QCOMPARE(scene.calls(), ads);
    if (local) {
        const QJsonObject probe = local->requests(QStringLiteral("/content.asp")).value(0);
        QCOMPARE(probe.value(QStringLiteral("method")).toString(), QStringLiteral("GET"));
        QCOMPARE(probe.value(QStringLiteral("query")).toString(), QStringLiteral("pageid=18"));
    }
    scene.idle(300);
    QVERIFY(settled());
    QCOMPARE(scene.overlayShown(), !answered);
    QCOMPARE(scene.calls(), ads);

    // The overlay belongs to the start screen, and once answered it never comes back.
    for (const QString &state :
        { QStringLiteral("info"), QString(), QStringLiteral("game"), QStringLiteral("highscore"), QString() }) {
        scene.goTo(state);
        QCOMPARE(scene.overlayShown(), !answered && state.isEmpty());
    }
    if (answered)
        return;
    // The start screen's buttons lie under the error and take no press.
    for (const char *id : { "button1", "button2", "button5", "button3", "button4" }) {
        QQuickItem *button = scene.itemIn(QStringLiteral("mainView"), QLatin1String(id));
        QVERIFY2(button, id);
        scene.press(button);
        QCOMPARE(button->state(), QString());
        scene.release(button);
        scene.advance(SLIDE_MS + 1);
    }
    QCOMPARE(visibleScreens(scene), QStringList { QStringLiteral("mainView") });
    QVERIFY((scene.calls() + QUrl::toStringList(browser.opened)).isEmpty());
}

void NavigationTest::controlActsWhenReleasedOnItAndItsScreenSlidesIn_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("stateAfter");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QStringList>("calls");

    addRow("New Game, double-clicked", "", "mainView/button1", "game", "mainView/button1");
    addRow("Exit", "", "mainView/button4", "", "", { "advertisement.start", "appData.close" });
    addRow("Help, then New Game", "", "mainView/button3", "info", "mainView/button1");
    addRow("Help, double-clicked", "", "mainView/button3", "info", "mainView/button3");
    addRow("Highscores, then Help", "", "mainView/button2", "highscore", "mainView/button3");
    addRow("Upload high score", "highscore", "highScoreView/uploadButton", "highscore");
    // The transparent ad panel lies over the whole help screen and must let the touch through.
    addRow("help screen's home", "info", "infoView/homeButton", "");
    addRow("high-score screen's home", "highscore", "highScoreView/homeButton", "");
    addRow("game screen's home", "game", "gameView/homeBtn", "");
    addRow("game screen's restart", "game", "gameView/restart", "game");
    addRow("high-score icon", "game", "gameView/highscore", "highscore");
    addRow("high-score icon, then Upload high score", "game", "gameView/highscore", "highscore",
        "highScoreView/uploadButton");
}

void NavigationTest::controlActsWhenReleasedOnItAndItsScreenSlidesIn()
{
    QFETCH(QString, state);
    QFETCH(QString, control);
    QFETCH(QString, stateAfter);
    QFETCH(QString, second);
    QFETCH(QStringList, calls);
    // The screen a root state shows is the one lying at 0.
    const QString leaving = SCREENS.at(SCREEN_X.value(state).indexOf(0));
    const QString arriving = SCREENS.at(SCREEN_X.value(stateAfter).indexOf(0));

    UrlCatcher browser;
    Scene scene;
    QVERIFY(scene.showScreen(state, state == QLatin1String("game") ? QStringLiteral("Game.newGame()") : QString()));
    QCOMPARE(visibleScreens(scene), QStringList { leaving });
    scene.dropScores();
    scene.insertScores({ 9 }, 8);
    // What a tap may change besides the screen: the games played (the game screen starts one
    // before the tap), whether a game once started runs, on its screen or off it, and the listing.
    const QString outcome = QStringLiteral("gameArea.state, gameView.gamesPlayed,"
                                           " gameTimer.running == gameView.gamesPlayed > 0, highScoreView.highscores");
    const QString untouched = scene.values(outcome);
    QQuickItem *item = controlAt(scene, control);
    QVERIFY(item);
    // A text button's look is its colour and its label's, a picture button's its picture.
    const QString picture = item->property("picture").toString();
    QQuickItem *label = picture.isEmpty() ? item->childItems().value(0) : nullptr;
    QVERIFY(label || !picture.isEmpty());
    const auto look = [&] {
        return label ? item->property("color").value<QColor>().name() + QLatin1Char(' ')
                + label->property("color").value<QColor>().name()
                     : item->property("source").toUrl().fileName();
    };
    const QString resting = label ? QStringLiteral("#000000 #ffffff") : picture + QStringLiteral(".png");
    const QString held = label ? QStringLiteral("#e8e3e3 #000000") : picture + QStringLiteral("2.png");

    // A finger that wanders off, below or beside, and is lifted there.
    for (const QPointF lift : { QPointF(item->width() / 2, item->height() + 40), QPointF(-60, item->height() / 2) }) {
        QCOMPARE(look(), resting);
        scene.press(item);
        QCOMPARE(look(), held);
        scene.moveTo(item, QPointF(item->width() - 5, item->height() / 2));
        QCOMPARE(look(), held);
        scene.release(item, lift);
        QCOMPARE(look(), resting);
    }
    // A modal window opening over the game, as the ad dialog does, takes the press away.
    scene.press(item);
    QWindow modal;
    modal.setModality(Qt::ApplicationModal);
    modal.resize(100, 100);
    modal.show();
    QVERIFY(QTest::qWaitForWindowActive(&modal));
    QCOMPARE(look(), resting);
    modal.close();
    scene.view().requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(&scene.view()));
    scene.release(item);
    QCOMPARE(look(), resting);
    scene.advance(SLIDE_MS + 1);
    QCOMPARE(scene.values(outcome), untouched);
    QVERIFY(scene.calls().isEmpty());

    // The second tap aims where its control stands while its screen is shown. On the start
    // screen it comes 80 ms in, when the screen has slid 180 px, so "Exit" lies under the
    // pointer aimed at "Help"; from the game 250 ms in, when the arriving high-score screen
    // is nearly in place under the pointer.
    QQuickItem *secondItem = second.isEmpty() ? item : controlAt(scene, second);
    QVERIFY(secondItem);
    const qreal secondScreenX = scene.property(second.section(QLatin1Char('/'), 0, 0), "x").toReal();
    const QPoint aimed = scene.windowPoint(secondItem, Scene::centre(secondItem)) - QPoint(int(secondScreenX), 0);
    const int secondAt = second.isEmpty() ? -1 : state.isEmpty() ? 80 : 250;
    // The high-score screen is left in its upload form; arriving there must show the list. (Not
    // when the tap during the slide aims there: the button it aims at is still hidden then.)
    if (stateAfter == QLatin1String("highscore") && state != stateAfter && !second.startsWith(QLatin1String("highS")))
        scene.evaluate(QStringLiteral("highScoreView.state = 'upload'"));

    scene.press(item);
    QCOMPARE(look(), held);
    scene.release(item);
    QCOMPARE(look(), resting);
    QCOMPARE(scene.root()->state(), stateAfter);
    QCOMPARE(scene.calls(), calls);
    const QEasingCurve curve(QEasingCurve::OutInSine);
    for (int at = 10; at < SLIDE_MS; at += 10) {
        scene.advance(10);
        for (const QString &screen : SCREENS) {
            const qreal start = screenX(state, screen);
            const qreal end = screenX(stateAfter, screen);
            // One clock step either way: the slide starts on the tick after the state change.
            const qreal early = start + (end - start) * curve.valueForProgress((at - 1) / qreal(SLIDE_MS));
            const qreal late = start + (end - start) * curve.valueForProgress((at + 1) / qreal(SLIDE_MS));
            const qreal actual = scene.property(screen, "x").toReal();
            QVERIFY2(actual >= qMin(early, late) - 0.5 && actual <= qMax(early, late) + 0.5,
                qPrintable(QStringLiteral("%1 at %2 ms: x %3").arg(screen).arg(at).arg(actual)));
        }
        QVERIFY(visibleScreens(scene).contains(arriving) && visibleScreens(scene).contains(leaving));
        if (at == secondAt)
            QTest::mouseClick(&scene.view(), Qt::LeftButton, {}, aimed);
    }
    scene.advance(SLIDE_MS - 1 - 290);
    QCOMPARE(scene.property(leaving, "visible").toBool(), true);
    QCOMPARE(scene.property(arriving, "x").toReal() != 0.0, state != stateAfter);
    scene.advance(2);
    for (const QString &screen : SCREENS)
        QCOMPARE(scene.property(screen, "x").toReal(), screenX(stateAfter, screen));
    QCOMPARE(visibleScreens(scene), QStringList { arriving });
    // A game the tap starts is counted once, and a screen arrived at lists the scores afresh.
    const bool listed = arriving == QLatin1String("highScoreView") && state != stateAfter;
    QCOMPARE(scene.values(outcome),
        QStringLiteral("%1,%2,true,%3")
            .arg(stateAfter)
            .arg(QStringList { state, stateAfter }.count(QStringLiteral("game")))
            .arg(listed ? listingOf({ 9 }) : QString()));
    const bool uploadForm = control.endsWith(QLatin1String("uploadButton"));
    QCOMPARE(scene.highScoreState(), QLatin1String(uploadForm ? "upload" : ""));
    QCOMPARE(scene.calls() + QUrl::toStringList(browser.opened), calls);
    // The transparent ad panel stays over every screen.
    QCOMPARE(scene.values(QStringLiteral("quillon_ad.visible, quillon_ad.opacity")), QStringLiteral("true,0"));

    // The help screen's texts, the help clear of the about text.
    if (arriving == QLatin1String("infoView")) {
        QQuickItem *help = controlAt(scene, "infoView/helpText"), *about = controlAt(scene, "infoView/aboutText");
        QVERIFY(help && about);
        QCOMPARE(controlAt(scene, "infoView/title")->property("text").toString(), QStringLiteral("How to play?"));
        QCOMPARE(help->property("text").toString(),
            QStringLiteral(
                "When you see monkey in the hole,\npress it before it goes away.\n\nIf you miss three monkeys or\n"
                "the screen fills, you lose the game.\n\nBlue monkey - 1 point\nViolet monkey - 2 points\n"
                "Yellow monkey - 3 points"));
        QVERIFY(about->property("text").toString().contains(QRegularExpression(
            QStringLiteral("^About application\nDeveloper - .+\nName - Tamboro 2 \\(v2\\.0\\.1\\)\nMore info - .+$"))));
        // Whatever font stands in for the missing one, each of the nine lines stays one line.
        QCOMPARE(help->property("lineCount").toInt(), 9);
        QCOMPARE_LE(help->property("contentWidth").toReal(), help->width());
        QCOMPARE_LE(help->y() + help->property("contentHeight").toReal(), about->y());
    }
    // Once the slide is over the arrived screen takes presses again.
    if (QQuickItem *home = scene.itemIn(arriving, stateAfter == QLatin1String("game") ? "homeBtn" : "homeButton")) {
        scene.tap(home);
        QCOMPARE(scene.root()->state(), QString());
    }
}

void NavigationTest::sharpFilesExistAndAreDrawnAtTwiceTheSize()
{
    // Each picture has a sharp file at twice its size, and no file stands alone.
    const QStringList sharpFiles = QDir(IMAGES, QStringLiteral("*@2x.*")).entryList();
    QCOMPARE(sharpFiles.size(), 16);
    QCOMPARE(QDir(IMAGES).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), 32);
    for (const QString &sharp : sharpFiles) {
        const QSize size = QImageReader(IMAGES + QString(sharp).remove(QLatin1String("@2x"))).size();
        QVERIFY2(size.isValid(), qPrintable(sharp));
        QCOMPARE(QImageReader(IMAGES + sharp).size(), size * 2);
    }

    Scene scene;
    keepPortrait(scene.view());
    scene.view().resize(960, 1600);
    // The window's new size takes effect as its event comes in.
    QTRY_COMPARE(scene.root()->mapRectToScene(QRectF(0, 0, 480, 800)), QRectF(0, 0, 960, 1600));

    // The title of the start picture, clear of the icons and the overlay.
    verifyDrawnSharp(
        scene.view().grabWindow(), QRect(0, 0, 960, 1600), QStringLiteral("start.jpg"), QRect(120, 120, 720, 160));

    // A picture first named after the switch, through the hole's binding: a violet monkey
    // turned up in hole 1, seen through the opening of the rim.
    scene.evaluate(QStringLiteral("gameArea.state = 'game'; gameView.hole1.image = 'holebg2';"
                                  "gameView.hole1.state = 'hasMonkey'"));
    scene.advance(600);
    const QRect hole = scene.hole(1)->mapRectToScene(QRectF(0, 0, 192, 800 / 4.7)).toAlignedRect();
    const int rim = hole.width() * 3 / 10;
    const QRect opening = hole.adjusted(rim, hole.height() / 4, -rim, -hole.height() / 4);
    verifyDrawnSharp(scene.view().grabWindow(), hole, QStringLiteral("holebg2.png"), opening);
}

TAMBORO_TEST_MAIN(NavigationTest)
#include "tst_navigation.moc"
