// SPDX-License-Identifier: GPL-3.0-or-later
#include "ChildProcess.h"
#include "IsolatedHome.h"
#include "LocalService.h"

#include <QTcpServer>

#include <csignal>
#include <cstdio>

namespace {

bool portIsFree()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, LocalService::compiledInPort());
}

// Run as a child of the test: starts the local service or any other child, prints its
// process id and waits to be killed.
int holdChild(const QString &child)
{
    const bool service = child == QLatin1String("service");
    LocalService *local = service ? new LocalService : nullptr;
    QProcess sleeper;
    if (!service) {
        endWithThisProcess(sleeper);
        sleeper.start(QStringLiteral("sleep"), { QStringLiteral("600") });
        sleeper.waitForStarted();
    }
    std::printf("%lld\n", static_cast<long long>(service ? local->processId() : sleeper.processId()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

} // namespace

class ServiceEndsTest : public QObject {
    Q_OBJECT

private slots:
    void childEndsWhenTheTestIsKilled_data()
    {
        QTest::addColumn<QString>("child");
        QTest::newRow("local service on the test port") << QStringLiteral("service");
        QTest::newRow("any child started by a test") << QStringLiteral("sleeper");
    }

    void childEndsWhenTheTestIsKilled()
    {
        QFETCH(QString, child);
        const bool service = child == QLatin1String("service");
        if (service)
            QTRY_VERIFY_WITH_TIMEOUT(portIsFree(), 30000);
        QProcess holder;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TAMBORO_HOLD_CHILD"), child);
        holder.setProcessEnvironment(environment);
        holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        endWithThisProcess(holder);
        holder.start(QCoreApplication::applicationFilePath(), {});
        QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine(), 30000);
        const qint64 pid = holder.readLine().trimmed().toLongLong();
        QVERIFY(pid > 0 && isAlive(pid));
        QCOMPARE(portIsFree(), !service);

        ::kill(pid_t(holder.processId()), SIGKILL);
        QVERIFY(holder.waitForFinished(30000));
        // The kernel may close a killed process's sockets a moment after it has ended.
        QTRY_VERIFY_WITH_TIMEOUT(!isAlive(pid) && (!service || portIsFree()), 30000);
    }
};

int main(int argc, char *argv[])
{
    IsolatedHome home;
    QApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("TAMBORO_HOLD_CHILD"))
        return holdChild(qEnvironmentVariable("TAMBORO_HOLD_CHILD"));
    ServiceEndsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_service_ends.moc"
