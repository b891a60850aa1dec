// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAnimationDriver>
#include <QDesktopServices>
#include <QQuickItem>
#include <QQuickView>
#include <QTest>

#include <functional>
#include <memory>

class LocalService;

// How long a slide from one screen to another takes.
constexpr int SLIDE_MS = 300;
// The connection overlay's texts while the probe runs and after it failed.
inline const QString LOADING = QStringLiteral("Loading, please wait");
inline const QString CONNECTION_ERROR = QStringLiteral("Network connection error, please try again.");

// Receives what the scene hands to the platform's browser.
class UrlCatcher : public QObject {
    Q_OBJECT

public:
    UrlCatcher() { QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler(QStringLiteral("http")); }

    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened.append(url); }
};

// Time for the scene's timers and animations, moved forward only by the test, so a
// 4.5 s game takes no 4.5 s and every firing comes at an exact millisecond.
class VirtualClock : public QAnimationDriver {
public:
    using QAnimationDriver::QAnimationDriver;

    // Moves time forward in 1 ms steps, letting every timer and animation due on the way
    // fire in order.
    void advance(int milliseconds);
    // Call once the scene has loaded, before the test starts anything.
    void catchUp();
    // Qt adds this to the time at which the driver was started, so it counts from there.
    qint64 elapsed() const override { return m_elapsed - m_startedAt; }
    void start() override
    {
        m_startedAt = m_elapsed;
        QAnimationDriver::start();
    }

protected:
    void advance() override { advanceAnimation(); }

private:
    static void settle();

    qint64 m_elapsed = 0;
    qint64 m_startedAt = 0;
};

// Stands in for the shell's two published objects and writes down every call the scene
// makes into one shared log ("appData.minimize", "advertisement.start", ...).
class CallRecorder : public QObject {
    Q_OBJECT

public:
    CallRecorder(const QString &name, QStringList *log, QObject *parent = nullptr)
        : QObject(parent)
        , m_name(name)
        , m_log(log)
    {
    }

    Q_INVOKABLE void minimize() { m_log->append(m_name + QStringLiteral(".minimize")); }
    Q_INVOKABLE void close() { m_log->append(m_name + QStringLiteral(".close")); }
    Q_INVOKABLE void start()
    {
        m_log->append(m_name + QStringLiteral(".start"));
        if (onStart)
            onStart();
    }

    // Runs inside start(), as a modal ad dialog would, before it returns.
    std::function<void()> onStart;

private:
    QString m_name;
    QStringList *m_log;
};

// The root scene loaded from the compiled-in resources into a window, with recording
// stand-ins for appData and advertisement and a virtual clock.
class Scene {
public:
    Scene();
    ~Scene() { m_clock->uninstall(); }

    QQuickView &view() { return *m_view; }
    QQuickItem *root() const { return m_view->rootObject(); }
    QStringList &calls() { return m_calls; }
    CallRecorder &advertisement() { return *m_advertisement; }

    // An object of the root scene by its id ("gameView", "hideTimer3", "item1" ...).
    QObject *byId(const QString &id) const;
    QQuickItem *itemById(const QString &id) const { return qobject_cast<QQuickItem *>(byId(id)); }
    // A property of an object named by id, e.g. property("gameView", "state").
    QVariant property(const QString &id, const char *name) const
    {
        return byId(id) ? byId(id)->property(name) : QVariant();
    }
    // An item declared inside another scene file ("button4" of the start screen), found by
    // its id among the descendants of an object of the root scene.
    QQuickItem *itemIn(const QString &scopeId, const QString &id) const;

    // Evaluates JavaScript in the root scene's scope, where the game script is "Game".
    QVariant evaluate(const QString &script);
    // Values of the scene joined by commas, e.g. values("gameArea.score, gameView.scoreText").
    QString values(const QString &expressions)
    {
        return evaluate(QStringLiteral("[%1].join()").arg(expressions)).toString();
    }

    // Hole 1 to 8 of the game view, whether a monkey is up in one, and how many are.
    QQuickItem *hole(int number) const
    {
        return byId(QStringLiteral("gameView"))
            ->property(qPrintable(QStringLiteral("hole%1").arg(number)))
            .value<QQuickItem *>();
    }
    bool monkeyUp(int number) const { return hole(number)->state() == QLatin1String("hasMonkey"); }
    int monkeysUp() const;

    void advance(int milliseconds) { m_clock->advance(milliseconds); }

    // Presses and releases the mouse in the middle of an item, or at a point in it.
    static QPointF centre(QQuickItem *item) { return QPointF(item->width() / 2, item->height() / 2); }
    void tap(QQuickItem *item) { tap(item, centre(item)); }
    void tap(QQuickItem *item, QPointF local) { mouse(QTest::MouseClick, item, local); }
    void press(QQuickItem *item) { mouse(QTest::MousePress, item, centre(item)); }
    void release(QQuickItem *item) { mouse(QTest::MouseRelease, item, centre(item)); }
    // A finger that has wandered to a point of an item (pressed or not) and is lifted there.
    void moveTo(QQuickItem *item, QPointF local) { mouse(QTest::MouseMove, item, local); }
    void release(QQuickItem *item, QPointF local)
    {
        moveTo(item, local);
        mouse(QTest::MouseRelease, item, local);
    }
    QPoint windowPoint(QQuickItem *item, QPointF local) const { return item->mapToScene(local).toPoint(); }
    // Fingers on a touch screen: the points added to the sequence reach the view as one
    // touch event when it goes out of scope.
    QTest::QTouchEventSequence touch() { return QTest::touchEvent(m_view.get(), touchScreen()); }
    static QPointingDevice *touchScreen();

    // Lets the event loop deliver network replies and queued calls until the condition
    // holds or the timeout (real time) passes; the timeout is generous, as a loaded machine
    // may answer slowly and a wait that comes true returns at once.
    bool waitFor(const std::function<bool()> &condition, int timeoutMs = 30000);
    // Waits until the connection probe has had its answer: the overlay gone, or showing
    // its network error.
    bool waitForProbe();
    // Lets the probe have its answer and forgets the calls it made; false when it had none.
    bool readyToPlay();
    // Starts a game with a score already on the board and lets it run out unhit: the third
    // escape ends it 4500 ms later.
    void playOutWithScore(int score);
    QString scoreDatabaseFile() const;
    // Runs one statement on the game's own score database and returns its rows as maps.
    QVariantList sql(const QString &statement);
    int sqlCount(const QString &statement) { return int(sql(statement).size()); }
    // The engine keeps its database connections for the whole process, so a test starts
    // from a dropped table rather than a deleted file.
    void dropScores() { sql(QStringLiteral("DROP TABLE IF EXISTS Scores")); }
    // Scores saved as the game saves them at game over, empty name, board of eight and all.
    void saveScores(const QList<int> &scores);
    // Rows written straight into the table, for another board size.
    void insertScores(const QList<int> &scores, int gridSize);
    // The high-score screen's state, and a wait (real time) for an upload's answer there.
    QString highScoreState() const { return property(QStringLiteral("highScoreView"), "state").toString(); }
    bool waitForUploaded(int timeoutMs = 30000)
    {
        return waitFor([this] { return highScoreState() == QLatin1String("uploaded"); }, timeoutMs);
    }
    // Lets replies and queued calls in for a while (real time), for what must not come.
    void idle(int ms)
    {
        waitFor([] { return false; }, ms);
    }

    bool overlayShown() const { return property(QStringLiteral("item1"), "visible").toBool(); }
    QString overlayText() const { return property(QStringLiteral("text1"), "text").toString(); }
    // Sets the root state ('' for the start screen) and lets the slide end.
    void goTo(const QString &state)
    {
        evaluate(QStringLiteral("gameArea.state = '%1'").arg(state));
        advance(SLIDE_MS + 1);
    }
    // Past the probe with its overlay taken away, as a working connection would, after a
    // script run there, on the screen of a root state once its slide is over, calls so far
    // dropped. False when the probe had no answer.
    bool showScreen(const QString &state, const QString &script = QString());

private:
    void keepQmlAnimationsTicking();
    void mouse(QTest::MouseAction action, QQuickItem *item, QPointF local)
    {
        QTest::mouseEvent(action, m_view.get(), Qt::LeftButton, {}, windowPoint(item, local));
    }

    QStringList m_calls;
    std::unique_ptr<QQuickView> m_view;
    VirtualClock *m_clock = nullptr;
    CallRecorder *m_advertisement = nullptr;
};

// Collects the warnings and worse sent to the log from its making until stop().
class MessageCatcher {
public:
    MessageCatcher();
    ~MessageCatcher() { stop(); }
    void stop();

    QStringList warnings;
    QStringList worse;

private:
    QtMessageHandler m_previous = nullptr;
    bool m_catching = true;
};

// Other test programs may hold the compiled-in port for a while; wait for it rather than
// talk to their server.
bool waitForFreePort(int timeoutMs = 60000);
// The local service on the compiled-in port, started again if another run took the port
// between the look and the start; null when it never came up.
std::unique_ptr<LocalService> startService(const QStringList &arguments = {});
// Resident memory of this process, after the allocator has returned what it holds unused.
qint64 residentBytes();
// The highest resident memory since the last reset (or the start).
qint64 peakResidentBytes();
void resetPeakResident();

// A control named by "scope/id", as itemIn() finds it ("mainView/button1").
inline QQuickItem *controlAt(const Scene &scene, const QString &path)
{
    return scene.itemIn(path.section(QLatin1Char('/'), 0, 0), path.section(QLatin1Char('/'), 1));
}

// The high-score listing as the game writes it for these scores: the best ten, best first.
QString listingOf(QList<int> scores);
// Lists the high scores as the high-score screen does and returns the listing.
QString listedScores(Scene &scene);
// Plays out one unhit game for each score; the overlays they ended on.
QStringList overlaysAfter(Scene &scene, const QList<int> &scores);
