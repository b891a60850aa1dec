#include "ChildProcess.h"
#include "IsolatedHome.h"
#include "LocalService.h"

#include <QFile>
#include <QTcpServer>
#include <QTextStream>

#include <csignal>
#include <cstdio>

namespace {

// A process that has ended but is not yet reaped by its new parent holds nothing any more.
bool isAlive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2, 1) != "Z";
}

bool portIsFree()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, LocalService::compiledInPort());
}

// Run as a child of the test: starts what it is told, prints its process id and waits to
// be killed.
int holdChild(const QString &what)
{
    std::unique_ptr<LocalService> service;
    QProcess sleeper;
    qint64 pid = 0;
    if (what == QLatin1String("service")) {
        service = std::make_unique<LocalService>();
        pid = service->isRunning() ? service->processId() : 0;
    } else {
        endWithThisProcess(sleeper);
        sleeper.start(QStringLiteral("sleep"), { QStringLiteral("600") });
        pid = sleeper.waitForStarted() ? sleeper.processId() : 0;
    }
    std::printf("%lld\n", static_cast<long long>(pid));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

} // namespace

class ServiceEndsTest : public QObject {
    Q_OBJECT

private slots:
    void childEndsWhenTheTestIsKilled_data()
    {
        QTest::addColumn<QString>("what");
        QTest::newRow("local service on the test port") << "service";
        QTest::newRow("any child started by a test") << "sleeper";
    }

    void childEndsWhenTheTestIsKilled()
    {
        QFETCH(QString, what);
        const bool service = what == QLatin1String("service");
        if (service)
            QTRY_VERIFY_WITH_TIMEOUT(portIsFree(), 5000);
        QProcess holder;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TAMBORO_HOLD_CHILD"), what);
        holder.setProcessEnvironment(environment);
        holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        endWithThisProcess(holder);
        holder.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(holder.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine(), 10000);
        const qint64 child = holder.readLine().trimmed().toLongLong();
        QVERIFY(child > 0);
        QVERIFY(isAlive(child));
        if (service)
            QVERIFY(!portIsFree());

        ::kill(pid_t(holder.processId()), SIGKILL);
        QVERIFY(holder.waitForFinished(5000));
        // The kernel may close a killed process's sockets a moment after it has ended.
        QTRY_VERIFY_WITH_TIMEOUT(!isAlive(child) && (!service || portIsFree()), 5000);
    }
};

int main(int argc, char *argv[])
{
    IsolatedHome home;
    QApplication app(argc, argv);
    const QString hold = qEnvironmentVariable("TAMBORO_HOLD_CHILD");
    if (!hold.isEmpty())
        return holdChild(hold);
    ServiceEndsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_service_ends.moc"
