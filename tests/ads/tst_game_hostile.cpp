#include "GameProcess.h"
#include "IsolatedHome.h"
#include "LocalService.h"

#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <signal.h>

namespace {

// Processor time the process has used, in clock ticks, from /proc.
qint64 cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
    // utime and stime are fields 14 and 15; the split starts at field 3.
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

} // namespace

// The real game started against the worst replies the local ad network can give: it keeps
// running, idle, until it is told to stop, and nothing crashes on the way.
class GameHostileTest : public QObject {
    Q_OBJECT

private slots:
    void gameOutlivesAHostileNetwork_data()
    {
        QTest::addColumn<QString>("switches");
        QTest::addColumn<QString>("lastPath");
        for (const char *mode : { "hang", "oversized", "nested", "entities", "reset", "attributes", "cutoff" })
            QTest::newRow(mode) << QStringLiteral("ad=%1").arg(QLatin1String(mode)) << "/simpleM2M/clientRequestAd";
        QTest::newRow("badimage") << "ad=badimage"
                                  << "/ads/broken.png";
        QTest::newRow("hugeimage") << "ad=hugeimage"
                                   << "/ads/huge.gif";
    }

    void gameOutlivesAHostileNetwork()
    {
        QFETCH(QString, switches);
        QFETCH(QString, lastPath);
        LocalService service({ QStringLiteral("--set"), switches });
        QVERIFY(service.isRunning());
        QTemporaryDir home;
        QVERIFY(home.isValid());

        QProcess game;
        QVERIFY(startGame(game, home));

        const bool reached = QTest::qWaitFor([&] { return !service.requests(lastPath).isEmpty(); }, 30000);
        // Time for the reply to be read, refused or left hanging.
        QTest::qWait(2000);
        const bool running = game.state() == QProcess::Running;
        // Running means waiting in the event loop, not spinning over a reply.
        const qint64 before = cpuTicks(game.processId());
        QTest::qWait(1000);
        const qint64 used = cpuTicks(game.processId()) - before;
        if (running)
            ::kill(pid_t(game.processId()), SIGTERM);
        if (!game.waitForFinished(10000)) {
            game.kill();
            game.waitForFinished(2000);
        }
        const QByteArray errors = game.readAllStandardError();

        QVERIFY(reached);
        QVERIFY2(running, errors.constData());
        QVERIFY2(used >= 0 && used < 50, qPrintable(QString::number(used)));
        // The game has no handler of its own for SIGTERM, so it ends by that signal and no other.
        QCOMPARE(game.exitStatus(), QProcess::CrashExit);
        QCOMPARE(game.exitCode(), int(SIGTERM));
        for (const char *report : { "AddressSanitizer", "runtime error:", "LeakSanitizer" })
            QVERIFY2(!errors.contains(report), errors.constData());
    }
};

TAMBORO_TEST_MAIN(GameHostileTest)
#include "tst_game_hostile.moc"
