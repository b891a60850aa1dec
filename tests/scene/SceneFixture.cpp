// SPDX-License-Identifier: GPL-3.0-or-later
#include "SceneFixture.h"
#include "LocalService.h"
#include "SceneNetwork.h"
#include "ScoreStore.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>

#include <algorithm>
#include <malloc.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlExpression>

void VirtualClock::advance(int milliseconds)
{
    // Animations and timers that were (re)started register through queued calls, so each
    // step lets the event loop run before time moves on.
    for (int i = 0; i < milliseconds; ++i) {
        settle();
        ++m_elapsed;
        advance();
    }
    settle();
}

void VirtualClock::catchUp()
{
    // Qt takes a little real time into the animation clock while it starts it; handing that
    // to what the scene started at load means the test's own timers start from a clean tick.
    settle();
    advance();
    settle();
}

void VirtualClock::settle()
{
    // A queued call may post another (a timer signing on with the animation timer, which
    // then signs on with Qt's unified timer); a pass of the loop handles only what was
    // already posted.
    for (int pass = 0; pass < 3; ++pass)
        QCoreApplication::processEvents();
}

Scene::Scene()
    : m_view(std::make_unique<QQuickView>())
{
    m_advertisement = new CallRecorder(QStringLiteral("advertisement"), &m_calls, m_view.get());
    m_view->rootContext()->setContextProperty(
        QStringLiteral("appData"), new CallRecorder(QStringLiteral("appData"), &m_calls, m_view.get()));
    m_view->rootContext()->setContextProperty(QStringLiteral("advertisement"), m_advertisement);
    guardSceneNetwork(*m_view->engine());
    prepareScoreStore(*m_view->engine());

    // The clock runs from before the scene loads, so every timer and animation of the scene
    // lives on it from its first millisecond and no real time leaks in.
    m_clock = new VirtualClock(m_view.get());
    m_clock->install();
    keepQmlAnimationsTicking();

    m_view->setSource(QUrl(QStringLiteral("qrc:/resources/main.qml")));
    m_view->show();
    if (!QTest::qWaitForWindowExposed(m_view.get()))
        qWarning("the scene window was not exposed");
    m_clock->catchUp();
}

QPointingDevice *Scene::touchScreen()
{
    // Registered once for the whole run, as a real screen's device is.
    static QPointingDevice *const device = QTest::createTouchDevice(QInputDevice::DeviceType::TouchScreen);
    return device;
}

void Scene::keepQmlAnimationsTicking()
{
    // While only pauses run (every QML Timer is one), Qt waits for them on a real-time timer.
    // QML animations and timers also share a second animation timer that signs off when it
    // has nothing to run and signs on again one queued call later. An endless animation keeps
    // both on this clock, so a timer started from the test fires at its exact millisecond.
    QQmlComponent ticker(m_view->engine());
    ticker.setData("import QtQuick\nQtObject { id: holder; property real t; property NumberAnimation ticking:"
                   " NumberAnimation { target: holder; property: 't'; from: 0; to: 1; duration: 1000;"
                   " loops: Animation.Infinite; running: true } }\n",
        QUrl());
    QObject *object = ticker.create();
    if (!object) {
        qWarning("%s", qPrintable(ticker.errorString()));
        return;
    }
    object->setParent(m_view.get());
}

QObject *Scene::byId(const QString &id) const
{
    QQmlContext *context = qmlContext(root());
    return context ? context->objectForName(id) : nullptr;
}

QVariant Scene::evaluate(const QString &script)
{
    QQmlExpression expression(qmlContext(root()), root(), script);
    const QVariant result = expression.evaluate();
    if (expression.hasError())
        qWarning("%s", qPrintable(expression.error().toString()));
    return result;
}

int Scene::monkeysUp() const
{
    int up = 0;
    for (int number = 1; number <= 8; ++number)
        up += monkeyUp(number) ? 1 : 0;
    return up;
}

QQuickItem *Scene::itemIn(const QString &scopeId, const QString &id) const
{
    QObject *scope = byId(scopeId);
    if (!scope)
        return nullptr;
    const QList<QQuickItem *> descendants = scope->findChildren<QQuickItem *>();
    for (QQuickItem *item : descendants) {
        QQmlContext *context = qmlContext(item);
        if (context && context->nameForObject(item) == id)
            return item;
    }
    return nullptr;
}

bool Scene::waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qSleep(5);
    }
    return true;
}

bool Scene::readyToPlay()
{
    if (!waitForProbe())
        return false;
    m_calls.clear();
    return true;
}

void Scene::playOutWithScore(int score)
{
    evaluate(QStringLiteral("Game.newGame()"));
    root()->setProperty("score", score);
    advance(4500);
}

bool Scene::waitForProbe()
{
    return waitFor([this] { return !overlayShown() || overlayText().startsWith(QLatin1String("Network")); });
}

QString Scene::scoreDatabaseFile() const
{
    return m_view->engine()->offlineStorageDatabaseFilePath(QStringLiteral("TamboroScores"))
        + QStringLiteral(".sqlite");
}

QVariantList Scene::sql(const QString &statement)
{
    const QString quoted = QString::fromUtf8(QJsonDocument(QJsonArray { statement }).toJson(QJsonDocument::Compact));
    return evaluate(QStringLiteral("(function() { var rows = [];"
                                   " Game.scoresDatabase().transaction(function(tx) {"
                                   "  var result = tx.executeSql(%1);"
                                   "  for (var i = 0; i < result.rows.length; ++i) rows.push(result.rows.item(i));"
                                   " }); return rows; })()")
                        .arg(quoted.chopped(1).mid(1)))
        .toList();
}

void Scene::saveScores(const QList<int> &scores)
{
    for (int score : scores)
        evaluate(QStringLiteral("gameArea.score = %1; Game.saveHighScore()").arg(score));
}

void Scene::insertScores(const QList<int> &scores, int gridSize)
{
    sql(QStringLiteral("CREATE TABLE IF NOT EXISTS Scores(name TEXT, score NUMBER, gridSize NUMBER)"));
    for (int score : scores)
        sql(QStringLiteral("INSERT INTO Scores VALUES('', %1, %2)").arg(score).arg(gridSize));
}

namespace {
MessageCatcher *catcher = nullptr;
}

MessageCatcher::MessageCatcher()
{
    catcher = this;
    m_previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type == QtWarningMsg)
            catcher->warnings += message;
        else if (type == QtCriticalMsg || type == QtFatalMsg)
            catcher->worse += message;
    });
}

void MessageCatcher::stop()
{
    if (!m_catching)
        return;
    m_catching = false;
    qInstallMessageHandler(m_previous);
    catcher = nullptr;
}

bool Scene::showScreen(const QString &state, const QString &script)
{
    if (!waitForProbe())
        return false;
    evaluate(QStringLiteral("item1.visible = false"));
    if (!script.isEmpty())
        evaluate(script);
    goTo(state);
    m_calls.clear();
    return true;
}

bool waitForFreePort(int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, LocalService::compiledInPort()))
            return true;
        if (waited.elapsed() > timeoutMs)
            return false;
        QTest::qWait(200);
    }
}

std::unique_ptr<LocalService> startService(const QStringList &arguments)
{
    for (int attempt = 0; attempt < 20 && waitForFreePort(); ++attempt) {
        auto service = std::make_unique<LocalService>(arguments);
        if (service->isRunning())
            return service;
    }
    return nullptr;
}

namespace {

qint64 statusBytes(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    // Files under /proc claim to be empty, so the whole text is read at once.
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return -1;
}

} // namespace

qint64 residentBytes()
{
    // Memory freed but still held by the allocator is handed back first: what is left is
    // what the process keeps.
    malloc_trim(0);
    return statusBytes("VmRSS:");
}

qint64 peakResidentBytes()
{
    return statusBytes("VmHWM:");
}

void resetPeakResident()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

// Helpers of the high-score tests.

QString listingOf(QList<int> scores)
{
    std::sort(scores.begin(), scores.end(), std::greater<int>());
    QString listing;
    for (int i = 0; i < scores.size() && i < 10; ++i)
        listing += QStringLiteral("%1. %2 points.\n").arg(i + 1).arg(scores[i]);
    return listing;
}

QString listedScores(Scene &scene)
{
    scene.evaluate(QStringLiteral("Game.getScores()"));
    return scene.property(QStringLiteral("highScoreView"), "highscores").toString();
}

QStringList overlaysAfter(Scene &scene, const QList<int> &scores)
{
    QStringList overlays;
    for (int score : scores) {
        scene.playOutWithScore(score);
        overlays += scene.property(QStringLiteral("gameView"), "state").toString();
    }
    return overlays;
}
