// SPDX-License-Identifier: GPL-3.0-or-later
#include "IsolatedHome.h"
#include "LocalService.h"
#include "PortraitFit.h"
#include "SceneFixture.h"
#include "tamboro_config.h"

#include <QColor>
#include <QDirIterator>
#include <QEasingCurve>
#include <QImage>
#include <QImageReader>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlExpression>
#include <QRegularExpression>

#include <memory>

namespace {

const QStringList SCREENS { QStringLiteral("mainView"), QStringLiteral("gameView"), QStringLiteral("infoView"),
    QStringLiteral("highScoreView") };
const QStringList START_BUTTONS { QStringLiteral("button1"), QStringLiteral("button2"), QStringLiteral("button5"),
    QStringLiteral("button3"), QStringLiteral("button4") };

// Where each screen lies in each root state, in the order of SCREENS.
qreal screenX(const QString &state, const QString &screen)
{
    static const QHash<QString, QList<qreal>> table {
        { QString(), { 0, 480, 480, 480 } },
        { QStringLiteral("game"), { -480, 0, 480, 480 } },
        { QStringLiteral("info"), { -480, 480, 0, 480 } },
        { QStringLiteral("highscore"), { -480, -480, 480, 0 } },
    };
    return table.value(state).at(SCREENS.indexOf(screen));
}

// The screen each root state shows.
QString screenOf(const QString &state)
{
    return SCREENS.at(QStringList { QString(), "game", "info", "highscore" }.indexOf(state));
}

QStringList visibleScreens(const Scene &scene)
{
    QStringList visible;
    for (const QString &screen : SCREENS) {
        if (scene.property(screen, "visible").toBool())
            visible.append(screen);
    }
    return visible;
}

enum When { Settled, MidSlide };

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

Q_DECLARE_METATYPE(When)

class NavigationTest : public QObject {
    Q_OBJECT

private slots:
    void init() { QVERIFY2(waitForFreePort(), "the compiled-in port stayed taken"); }

    // Clock and first look
    void timersFollowTheVirtualClock();
    void overlayWaitsForTheConnectionUntilTheProbeOpens();

    // Screens and slides
    void slides_data();
    void slides();
    void helpTextStaysClearOfTheAboutText();

    // Connection probe
    void answeredProbeHidesOverlayForGoodAndStartsOneAd();
    void failedProbeLeavesAnError_data();
    void failedProbeLeavesAnError();

    // Controls
    void cornerIconsAndExitPairTheAdWithTheWindowCall_data();
    void cornerIconsAndExitPairTheAdWithTheWindowCall();
    void heldControlChangesItsLookAndReleasingOutsideCancels_data();
    void heldControlChangesItsLookAndReleasingOutsideCancels();

    // Fast hands
    void pressesDuringASlideDoNothing_data();
    void pressesDuringASlideDoNothing();
    void aPressTakenAwayRestoresTheRestingLook_data();
    void aPressTakenAwayRestoresTheRestingLook();

    // Keys: the number keys press the holes, Escape the current screen's home button; each
    // only where a finger could press that control at that moment.
    void keyActsLikeItsControl_data();
    void keyActsLikeItsControl();

    // Pictures at their own size and at twice it, drawn through the shell's letterbox.
    void everyPictureHasATwiceAsLargeSharpFile();
    void sceneShownAtTwiceItsSizeDrawsTheSharpFiles();
};

void NavigationTest::timersFollowTheVirtualClock()
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

void NavigationTest::slides_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");

    QTest::newRow("start to game") << QString() << QStringLiteral("game");
    QTest::newRow("game to start") << QStringLiteral("game") << QString();
    QTest::newRow("start to help") << QString() << QStringLiteral("info");
    QTest::newRow("help to start") << QStringLiteral("info") << QString();
    QTest::newRow("start to high scores") << QString() << QStringLiteral("highscore");
    QTest::newRow("game to high scores") << QStringLiteral("game") << QStringLiteral("highscore");
    QTest::newRow("high scores to start") << QStringLiteral("highscore") << QString();
}

void NavigationTest::slides()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    const QString arriving = screenOf(to);
    const QString leaving = screenOf(from);

    Scene scene;
    const bool overlayBase = scene.overlayShown();
    QObject *panel = scene.byId(QStringLiteral("quillon_ad"));
    QVERIFY(panel);
    if (!from.isEmpty())
        scene.goTo(from);
    QCOMPARE(visibleScreens(scene), QStringList { leaving });
    // The high-score screen is left in its upload form; arriving there must show the list.
    scene.evaluate(QStringLiteral("highScoreView.state = 'upload'"));

    scene.evaluate(QStringLiteral("gameArea.state = '%1'").arg(to));
    QCOMPARE(scene.property(arriving, "visible").toBool(), true);
    QCOMPARE(scene.property(leaving, "visible").toBool(), true);
    if (to == QLatin1String("highscore"))
        QCOMPARE(scene.property(QStringLiteral("highScoreView"), "state").toString(), QString());

    const QEasingCurve curve(QEasingCurve::OutInSine);
    int elapsed = 0;
    for (int at : { 50, 100, 150, 200, 250 }) {
        scene.advance(at - elapsed);
        elapsed = at;
        for (const QString &screen : SCREENS) {
            const qreal start = screenX(from, screen);
            const qreal end = screenX(to, screen);
            // One clock step either way: the slide starts on the tick after the state change.
            const qreal early = start + (end - start) * curve.valueForProgress((at - 1) / qreal(SLIDE_MS));
            const qreal late = start + (end - start) * curve.valueForProgress((at + 1) / qreal(SLIDE_MS));
            const qreal actual = scene.property(screen, "x").toReal();
            QVERIFY2(actual >= qMin(early, late) - 0.5 && actual <= qMax(early, late) + 0.5,
                qPrintable(QStringLiteral("%1 at %2 ms: x %3, expected %4 to %5")
                               .arg(screen)
                               .arg(at)
                               .arg(actual)
                               .arg(early)
                               .arg(late)));
        }
        QCOMPARE(scene.property(arriving, "visible").toBool(), true);
        QCOMPARE(scene.property(leaving, "visible").toBool(), true);
    }
    scene.advance(SLIDE_MS - 1 - elapsed);
    QCOMPARE(scene.property(leaving, "visible").toBool(), true);
    QVERIFY(scene.property(arriving, "x").toReal() != 0.0);
    scene.advance(2);
    for (const QString &screen : SCREENS)
        QCOMPARE(scene.property(screen, "x").toReal(), screenX(to, screen));
    QCOMPARE(visibleScreens(scene), QStringList { arriving });
    // The overlay belongs to the start screen; the transparent ad panel stays over them all.
    QCOMPARE(scene.overlayShown(), to.isEmpty() ? overlayBase : false);
    QCOMPARE(panel->property("visible").toBool(), true);
    QCOMPARE(panel->property("opacity").toReal(), 0.0);
}

void NavigationTest::helpTextStaysClearOfTheAboutText()
{
    Scene scene;
    QQuickItem *help = scene.itemIn(QStringLiteral("infoView"), QStringLiteral("helpText"));
    QQuickItem *about = scene.itemIn(QStringLiteral("infoView"), QStringLiteral("aboutText"));
    QVERIFY(help && about);
    QCOMPARE(scene.itemIn(QStringLiteral("infoView"), QStringLiteral("title"))->property("text").toString(),
        QStringLiteral("How to play?"));
    QCOMPARE(help->property("text").toString(),
        QStringLiteral(
            "When you see monkey in the hole,\npress it before it goes away.\n\nIf you miss three monkeys or\n"
            "the screen fills, you lose the game.\n\nBlue monkey - 1 point\nViolet monkey - 2 points\n"
            "Yellow monkey - 3 points"));
    QVERIFY(QRegularExpression(QStringLiteral("^About application\nDeveloper - .+\nName - Tamboro 2 \\(v2\\.0\\.1\\)\n"
                                              "More info - .+$"))
                .match(about->property("text").toString())
                .hasMatch());
    // Whatever font stands in for the missing one, each of the nine lines stays one line.
    QCOMPARE(help->property("lineCount").toInt(), 9);
    QVERIFY(help->property("contentWidth").toReal() <= help->width());
    QVERIFY2(help->y() + help->property("contentHeight").toReal() <= about->y(),
        qPrintable(QStringLiteral("help text ends at %1, about text starts at %2")
                       .arg(help->y() + help->property("contentHeight").toReal())
                       .arg(about->y())));
}

void NavigationTest::answeredProbeHidesOverlayForGoodAndStartsOneAd()
{
    const auto service = startService({ QStringLiteral("--set"), QStringLiteral("probe_delay_ms=1000") });
    QVERIFY(service);
    Scene scene;
    QCOMPARE(scene.overlayText(), LOADING);
    QVERIFY(scene.overlayShown());
    QVERIFY(scene.calls().isEmpty());

    QVERIFY(scene.waitFor([&] { return !scene.overlayShown(); }));
    QCOMPARE(scene.calls(), QStringList { QStringLiteral("advertisement.start") });
    const QList<QJsonObject> probes = service->requests(QStringLiteral("/content.asp"));
    QVERIFY(!probes.isEmpty());
    QCOMPARE(probes.first().value(QStringLiteral("method")).toString(), QStringLiteral("GET"));
    QCOMPARE(probes.first().value(QStringLiteral("query")).toString(), QStringLiteral("pageid=18"));

    scene.idle(300);
    QCOMPARE(scene.calls().size(), 1);

    for (const QString &state : { QStringLiteral("info"), QString(), QStringLiteral("game"), QString() }) {
        scene.goTo(state);
        QCOMPARE(scene.overlayShown(), false);
    }
}

void NavigationTest::failedProbeLeavesAnError_data()
{
    QTest::addColumn<bool>("serviceAnswersEmpty");
    QTest::newRow("empty body") << true;
    QTest::newRow("refused port") << false;
}

void NavigationTest::failedProbeLeavesAnError()
{
    QFETCH(bool, serviceAnswersEmpty);
    // Without a service nothing listens on the compiled-in port and the probe is refused.
    const auto service = serviceAnswersEmpty ? startService({ QStringLiteral("--probe-empty") }) : nullptr;
    QVERIFY(service || !serviceAnswersEmpty);

    UrlCatcher browser;
    Scene scene;
    QVERIFY(scene.waitFor([&] { return scene.overlayText() == CONNECTION_ERROR; }));
    QVERIFY(scene.overlayShown());
    if (service)
        QVERIFY(!service->requests(QStringLiteral("/content.asp")).isEmpty());

    scene.idle(300);
    QCOMPARE(scene.overlayText(), CONNECTION_ERROR);
    QVERIFY(scene.overlayShown());
    QVERIFY(scene.calls().isEmpty());

    // The start screen's buttons lie under the error and take no press; the corner icons do.

    for (const QString &id : START_BUTTONS) {
        QQuickItem *button = scene.itemIn(QStringLiteral("mainView"), id);
        QVERIFY2(button, qPrintable(id));
        scene.press(button);
        QCOMPARE(button->state(), QString());
        scene.release(button);
        scene.advance(SLIDE_MS + 1);
        QCOMPARE(scene.root()->state(), QString());
    }
    QCOMPARE(visibleScreens(scene), QStringList { QStringLiteral("mainView") });
    QVERIFY(scene.calls().isEmpty());
    QVERIFY(browser.opened.isEmpty());

    scene.tap(scene.itemById(QStringLiteral("image1")));
    QCOMPARE(
        scene.calls(), (QStringList { QStringLiteral("appData.minimize"), QStringLiteral("advertisement.start") }));
    scene.calls().clear();
    scene.tap(scene.itemById(QStringLiteral("image2")));
    QCOMPARE(scene.calls(), (QStringList { QStringLiteral("advertisement.start"), QStringLiteral("appData.close") }));
}

void NavigationTest::cornerIconsAndExitPairTheAdWithTheWindowCall_data()
{
    QTest::addColumn<QString>("scope");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QList<QUrl>>("opened");

    const QStringList minimise { QStringLiteral("appData.minimize"), QStringLiteral("advertisement.start") };
    const QStringList close { QStringLiteral("advertisement.start"), QStringLiteral("appData.close") };
    QTest::newRow("minimise icon") << "gameArea" << "image1" << minimise << QList<QUrl>();
    QTest::newRow("close icon") << "gameArea" << "image2" << close << QList<QUrl>();
    QTest::newRow("Exit") << "mainView" << "button4" << close << QList<QUrl>();
    QTest::newRow("More Games opens the store page") << "mainView"
        << "button5" << QStringList() << QList<QUrl> { QUrl(QStringLiteral(TAMBORO_STORE_URL)) };
}

void NavigationTest::cornerIconsAndExitPairTheAdWithTheWindowCall()
{
    QFETCH(QString, scope);
    QFETCH(QString, control);
    QFETCH(QStringList, expected);
    QFETCH(QList<QUrl>, opened);

    const auto service = startService();
    QVERIFY(service);
    UrlCatcher browser;
    Scene scene;
    QVERIFY(scene.showScreen(QString()));
    // The ad dialog is modal: what happened before start() returned is what the player saw
    // before the ad.
    QStringList beforeAdClosed;
    scene.advertisement().onStart = [&] { beforeAdClosed = scene.calls(); };

    QQuickItem *item = scope == QLatin1String("gameArea") ? scene.itemById(control) : scene.itemIn(scope, control);
    QVERIFY(item);
    scene.tap(item);
    QCOMPARE(scene.calls(), expected);
    QCOMPARE(beforeAdClosed, expected.mid(0, expected.indexOf(QStringLiteral("advertisement.start")) + 1));
    QCOMPARE(browser.opened, opened);
    QCOMPARE(scene.root()->state(), QString());
}

void NavigationTest::heldControlChangesItsLookAndReleasingOutsideCancels_data()
{
    QTest::addColumn<QString>("via");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("scope");
    QTest::addColumn<QString>("control");
    // A text button's look is its colour and its label's, a home button's its picture.
    QTest::addColumn<QString>("resting");
    QTest::addColumn<QString>("held");
    QTest::addColumn<bool>("liftBelow");
    QTest::addColumn<QStringList>("calls");

    const QStringList close { QStringLiteral("advertisement.start"), QStringLiteral("appData.close") };
    QTest::newRow("Exit") << "" << "" << "mainView" << "button4" << "#000000 #ffffff" << "#e8e3e3 #000000" << true
                          << close;
    // The transparent ad panel lies over the whole help screen and must let the touch through.
    QTest::newRow("help screen's home, reached through Help")
        << "button3" << "info" << "infoView" << "homeButton" << "homebtn.png" << "homebtn2.png" << false
        << QStringList();
}

void NavigationTest::heldControlChangesItsLookAndReleasingOutsideCancels()
{
    QFETCH(QString, via);
    QFETCH(QString, state);
    QFETCH(QString, scope);
    QFETCH(QString, control);
    QFETCH(QString, resting);
    QFETCH(QString, held);
    QFETCH(bool, liftBelow);
    QFETCH(QStringList, calls);

    const auto service = startService();
    QVERIFY(service);
    Scene scene;
    QVERIFY(scene.showScreen(QString()));
    if (!via.isEmpty())
        scene.tap(scene.itemIn(QStringLiteral("mainView"), via));
    QCOMPARE(scene.root()->state(), state);
    scene.advance(SLIDE_MS + 1);
    QCOMPARE(visibleScreens(scene), QStringList { screenOf(state) });
    QQuickItem *item = scene.itemIn(scope, control);
    QVERIFY(item);
    QQuickItem *label = nullptr;
    for (QQuickItem *child : item->findChildren<QQuickItem *>()) {
        if (item->property("buttonText").isValid() && child->property("text") == item->property("buttonText"))
            label = child;
    }
    const auto look = [&] {
        return label ? item->property("color").value<QColor>().name() + QLatin1Char(' ')
                + label->property("color").value<QColor>().name()
                     : item->property("source").toUrl().fileName();
    };

    QCOMPARE(look(), resting);
    scene.press(item);
    QCOMPARE(look(), held);
    scene.moveTo(item, QPointF(item->width() - 5, item->height() / 2));
    QCOMPARE(look(), held);
    scene.release(item, liftBelow ? QPointF(item->width() / 2, item->height() + 40) : QPointF(-60, item->height() / 2));
    QCOMPARE(look(), resting);
    scene.advance(SLIDE_MS + 1);
    QCOMPARE(scene.root()->state(), state);
    QVERIFY(scene.calls().isEmpty());

    scene.press(item);
    QCOMPARE(look(), held);
    scene.release(item);
    QCOMPARE(look(), resting);
    QCOMPARE(scene.root()->state(), QString());
    QCOMPARE(scene.calls(), calls);
    scene.advance(SLIDE_MS + 1);
    QCOMPARE(visibleScreens(scene), QStringList { QStringLiteral("mainView") });
}

void NavigationTest::pressesDuringASlideDoNothing_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("scope");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<QString>("reached");

    // The second tap aims where its control stood before the first tap; 80 ms in, the start
    // screen has slid 180 px, so "Exit" lies under the pointer aimed at "Help".
    const QString start = QStringLiteral("mainView");
    QTest::newRow("Help, then New Game") << QString() << start << "button3" << "button1" << 80 << "info";
    QTest::newRow("double-click on Help") << QString() << start << "button3" << "button3" << 80 << "info";
    QTest::newRow("Highscores, then Help") << QString() << start << "button2" << "button3" << 80 << "highscore";
    QTest::newRow("double-click on New Game") << QString() << start << "button1" << "button1" << 80 << "game";
    // 250 ms in, the arriving high-score screen is nearly in place under the pointer.
    QTest::newRow("high-score icon, then Upload high score") << "game" << "gameView" << "highscore"
                                                             << "highScoreView/uploadButton" << 250 << "highscore";
}

void NavigationTest::pressesDuringASlideDoNothing()
{
    QFETCH(QString, from);
    QFETCH(QString, scope);
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(int, gapMs);
    QFETCH(QString, reached);

    UrlCatcher browser;
    Scene scene;
    QVERIFY(scene.showScreen(from, from.isEmpty() ? QString() : QStringLiteral("Game.newGame()")));
    const QStringList secondPath = second.split(QLatin1Char('/'));
    QQuickItem *firstItem = scene.itemIn(scope, first);
    QQuickItem *secondItem
        = secondPath.size() == 2 ? scene.itemIn(secondPath[0], secondPath[1]) : scene.itemIn(scope, second);
    QVERIFY(firstItem && secondItem);
    const QPoint aimed = scene.windowPoint(secondItem, QPointF(secondItem->width() / 2, secondItem->height() / 2))
        - (secondPath.size() == 2 ? QPoint(480, 0) : QPoint());

    scene.tap(firstItem);
    QCOMPARE(scene.root()->state(), reached);
    const int gamesPlayed = scene.property(QStringLiteral("gameView"), "gamesPlayed").toInt();
    scene.advance(gapMs);
    QTest::mouseClick(&scene.view(), Qt::LeftButton, {}, aimed);
    scene.advance(SLIDE_MS);

    QCOMPARE(scene.root()->state(), reached);
    QCOMPARE(visibleScreens(scene), QStringList { screenOf(reached) });
    for (const QString &screen : SCREENS)
        QCOMPARE(scene.property(screen, "x").toReal(), screenX(reached, screen));
    QCOMPARE(scene.property(QStringLiteral("gameView"), "gamesPlayed").toInt(), gamesPlayed);
    QCOMPARE(scene.property(QStringLiteral("highScoreView"), "state").toString(), QString());
    QVERIFY(scene.calls().isEmpty());
    QVERIFY(browser.opened.isEmpty());

    // Once the slide is over the arrived screen takes presses again.
    QQuickItem *home = scene.itemIn(screenOf(reached), reached == QLatin1String("game") ? "homeBtn" : "homeButton");
    QVERIFY(home);
    scene.tap(home);
    QCOMPARE(scene.root()->state(), QString());
}

void NavigationTest::aPressTakenAwayRestoresTheRestingLook_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("scope");
    QTest::addColumn<QString>("control");

    QTest::newRow("New Game") << QString() << "mainView" << "button1";
    QTest::newRow("Upload high score") << "highscore" << "highScoreView" << "uploadButton";
    QTest::newRow("help screen's home") << "info" << "infoView" << "homeButton";
    QTest::newRow("high-score screen's home") << "highscore" << "highScoreView" << "homeButton";
    QTest::newRow("game screen's home") << "game" << "gameView" << "homeBtn";
}

void NavigationTest::aPressTakenAwayRestoresTheRestingLook()
{
    QFETCH(QString, state);
    QFETCH(QString, scope);
    QFETCH(QString, control);

    Scene scene;
    QVERIFY(scene.showScreen(state));
    QQuickItem *item = scene.itemIn(scope, control);
    QVERIFY(item);
    // A text button's look is its colour, a home button's its picture.
    const char *look = item->property("buttonText").isValid() ? "color" : "source";
    const QVariant resting = item->property(look);

    scene.press(item);
    QVERIFY(item->property(look) != resting);
    // A modal window opening over the game, as the ad dialog does, takes the press away.
    QWindow modal;
    modal.setModality(Qt::ApplicationModal);
    modal.resize(100, 100);
    modal.show();
    QVERIFY(QTest::qWaitForWindowActive(&modal));
    QCOMPARE(item->property(look), resting);
    modal.close();
    scene.view().requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(&scene.view()));
    scene.release(item);
    QCOMPARE(item->property(look), resting);
    QCOMPARE(scene.root()->state(), state);
    QVERIFY(scene.calls().isEmpty());
}

void NavigationTest::keyActsLikeItsControl_data()
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

void NavigationTest::keyActsLikeItsControl()
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
    QVERIFY(scene.showScreen(QStringLiteral("game"),
        QStringLiteral("Game.newGame(); gameTimer.stop(); for (var n = 1; n <= 8; ++n) {"
                       " var hole = gameView['hole' + n]; hole.image = 'holebg2'; hole.hasMonkey = true;"
                       " hole.state = 'hasMonkey'; }")));
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

void NavigationTest::everyPictureHasATwiceAsLargeSharpFile()
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

void NavigationTest::sceneShownAtTwiceItsSizeDrawsTheSharpFiles()
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
    const QRect hole = scene.evaluate(QStringLiteral("gameView.hole1"))
                           .value<QQuickItem *>()
                           ->mapRectToScene(QRectF(0, 0, 192, 800 / 4.7))
                           .toAlignedRect();
    const QRect opening(
        hole.left() + hole.width() * 3 / 10, hole.top() + hole.height() / 4, hole.width() * 2 / 5, hole.height() / 2);
    verifyDrawnSharp(grab, hole, QStringLiteral("holebg2.png"), opening);
}

TAMBORO_TEST_MAIN(NavigationTest)
#include "tst_navigation.moc"
