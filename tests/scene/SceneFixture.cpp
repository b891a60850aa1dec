#include "SceneFixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlExpression>
#include <QTest>

VirtualClock::VirtualClock(QObject *parent)
    : QAnimationDriver(parent)
{
    m_keepTicking.setStartValue(0.0);
    m_keepTicking.setEndValue(1.0);
    m_keepTicking.setDuration(1000);
    m_keepTicking.setLoopCount(-1);
}

void VirtualClock::advance(int milliseconds)
{
    // Animations and timers that were (re)started register through queued calls, so each
    // step lets the event loop run before time moves on.
    for (int i = 0; i < milliseconds; ++i) {
        QCoreApplication::processEvents();
        ++m_elapsed;
        advance();
    }
    QCoreApplication::processEvents();
}

void VirtualClock::start()
{
    m_startedAt = m_elapsed;
    QAnimationDriver::start();
}

void VirtualClock::startTicking()
{
    m_keepTicking.start();
}

void VirtualClock::advance()
{
    advanceAnimation();
}

CallRecorder::CallRecorder(const QString &name, QStringList *log, QObject *parent)
    : QObject(parent)
    , m_name(name)
    , m_log(log)
{
}

void CallRecorder::minimize()
{
    m_log->append(m_name + QStringLiteral(".minimize"));
}

void CallRecorder::close()
{
    m_log->append(m_name + QStringLiteral(".close"));
}

void CallRecorder::start()
{
    m_log->append(m_name + QStringLiteral(".start"));
    if (onStart)
        onStart();
}

Scene::Scene()
    : m_view(std::make_unique<QQuickView>())
{
    m_appData = new CallRecorder(QStringLiteral("appData"), &m_calls, m_view.get());
    m_advertisement = new CallRecorder(QStringLiteral("advertisement"), &m_calls, m_view.get());
    m_view->rootContext()->setContextProperty(QStringLiteral("appData"), m_appData);
    m_view->rootContext()->setContextProperty(QStringLiteral("advertisement"), m_advertisement);

    m_view->setSource(QUrl(QStringLiteral("qrc:/resources/main.qml")));
    m_view->show();
    if (!QTest::qWaitForWindowExposed(m_view.get()))
        qWarning("the scene window was not exposed");

    // Installed last so that nothing the window sets up takes time back from the test.
    m_clock = new VirtualClock(m_view.get());
    m_clock->install();
    m_clock->startTicking();
}

Scene::~Scene()
{
    m_clock->uninstall();
}

QQuickItem *Scene::root() const
{
    return m_view->rootObject();
}

QObject *Scene::byId(const QString &id) const
{
    QQmlContext *context = qmlContext(root());
    return context ? context->objectForName(id) : nullptr;
}

QQuickItem *Scene::itemById(const QString &id) const
{
    return qobject_cast<QQuickItem *>(byId(id));
}

QVariant Scene::property(const QString &id, const char *name) const
{
    QObject *object = byId(id);
    return object ? object->property(name) : QVariant();
}

QVariant Scene::evaluate(const QString &script)
{
    QQmlExpression expression(qmlContext(root()), root(), script);
    const QVariant result = expression.evaluate();
    if (expression.hasError())
        qWarning("%s", qPrintable(expression.error().toString()));
    return result;
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

QPoint Scene::windowPoint(QQuickItem *item, QPointF local) const
{
    return item->mapToScene(local).toPoint();
}

void Scene::tap(QQuickItem *item)
{
    tap(item, QPointF(item->width() / 2, item->height() / 2));
}

void Scene::tap(QQuickItem *item, QPointF local)
{
    QTest::mouseClick(m_view.get(), Qt::LeftButton, {}, windowPoint(item, local));
}

void Scene::press(QQuickItem *item)
{
    QTest::mousePress(m_view.get(), Qt::LeftButton, {}, windowPoint(item, QPointF(item->width() / 2, item->height() / 2)));
}

void Scene::release(QQuickItem *item)
{
    QTest::mouseRelease(m_view.get(), Qt::LeftButton, {}, windowPoint(item, QPointF(item->width() / 2, item->height() / 2)));
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

void Scene::moveTo(QQuickItem *item, QPointF local)
{
    QTest::mouseMove(m_view.get(), windowPoint(item, local));
}

void Scene::release(QQuickItem *item, QPointF local)
{
    moveTo(item, local);
    QTest::mouseRelease(m_view.get(), Qt::LeftButton, {}, windowPoint(item, local));
}
