// SPDX-License-Identifier: GPL-3.0-or-later
#include "ChildProcess.h"
#include "IsolatedHome.h"
#include "LocalService.h"

#include <QTcpServer>

#include <csignal>
#include <cstdio>
#include <memory>

static bool portIsFree()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, LocalService::compiledInPort());
}

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
        holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        endWithThisProcess(holder);
        holder.start(QCoreApplication::applicationFilePath(), { QStringLiteral("-hold"), child });
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
    if (argc != 3 || qstrcmp(argv[1], "-hold") != 0) {
        ServiceEndsTest test;
        return QTest::qExec(&test, argc, argv);
    }
    // Run by the test as the holder: starts the local service or any other child, prints its
    // process id and waits to be killed.
    const bool service = qstrcmp(argv[2], "service") == 0;
    const std::unique_ptr<LocalService> local(service ? new LocalService : nullptr);
    QProcess sleeper;
    endWithThisProcess(sleeper);
    if (!service) {
        sleeper.start(QStringLiteral("sleep"), { QStringLiteral("600") });
        sleeper.waitForStarted();
    }
    std::printf("%lld\n", static_cast<long long>(service ? local->processId() : sleeper.processId()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

#include "tst_service_ends.moc"
