// SPDX-License-Identifier: GPL-3.0-or-later
#include "AppData.h"
#include "ChildProcess.h"
#include "IsolatedHome.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QTimer>

class AppDataTest : public QObject {
    Q_OBJECT

public slots:
    // What the desktop receives on the test's private session bus.
    void exitAppView(const QDBusMessage &message) { m_received.append(message); }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsSet("TAMBORO_TEST_NO_BUS"))
            return;
        endWithThisProcess(m_bus);
        m_bus.start(QStringLiteral("dbus-daemon"),
            { QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address") });
        QVERIFY(m_bus.waitForStarted());
        QTRY_VERIFY(m_bus.canReadLine());
        const QByteArray address = m_bus.readLine().trimmed();
        QVERIFY(!address.isEmpty());
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    }

    void cleanupTestCase()
    {
        m_bus.terminate();
        m_bus.waitForFinished();
    }

    void minimizeBroadcastsExitAppViewTwiceOrIsSilentWithoutBus()
    {
        AppData appData;
        if (qEnvironmentVariableIsSet("TAMBORO_TEST_NO_BUS")) {
            // Waiting for a bus that is not there would end in the test's time-out.
            appData.minimize();
            appData.minimize();
            QVERIFY(!QDBusConnection::sessionBus().isConnected());
            return;
        }
        QDBusConnection listenerBus = QDBusConnection::connectToBus(
            QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")), QStringLiteral("listener"));
        QVERIFY(listenerBus.isConnected());
        QVERIFY(listenerBus.connect(QString(), QStringLiteral("/"), QStringLiteral("com.nokia.hildon_desktop"),
            QStringLiteral("exit_app_view"), this, SLOT(exitAppView(QDBusMessage))));
        appData.minimize();

        QTRY_COMPARE(m_received.size(), 2);
        QTest::qWait(200);
        QCOMPARE(m_received.size(), 2);
        // Only a signal on that path, interface and name reaches the listener.
        for (const QDBusMessage &message : std::as_const(m_received)) {
            QVERIFY(message.arguments().isEmpty());
            QVERIFY(message.service() != QStringLiteral("org.freedesktop.DBus"));
        }
        QDBusConnection::disconnectFromBus(QStringLiteral("listener"));
    }

    void closeEndsTheLoopWithStatusZero()
    {
        AppData appData;
        bool stillRunning = false;
        QTimer::singleShot(0, &appData, [&] {
            appData.close();
            // close() only asks the loop to end; the handler that called it finishes first.
            stillRunning = true;
        });
        QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(stillRunning);
    }

private:
    QProcess m_bus;
    QList<QDBusMessage> m_received;
};

TAMBORO_TEST_MAIN(AppDataTest)
#include "tst_appdata.moc"
