#include "GameProcess.h"
#include "IsolatedHome.h"
#include "LocalService.h"

#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <signal.h>
#include <unistd.h>

namespace {

const QString AdPath = QStringLiteral("/simpleM2M/clientRequestAd");
// The ad reply waits this long, so the game's weight before it can be taken.
const QString AdDelay = QStringLiteral("ad_delay_ms=1500");
// What one reply may cost the game: processor time and memory kept.
constexpr qint64 MostTicks = 100;
#ifdef __SANITIZE_ADDRESS__
// AddressSanitizer holds freed memory back in quarantine, so what stays resident is its own.
constexpr qint64 MostKeptBytes = 512 * 1024 * 1024;
#else
constexpr qint64 MostKeptBytes = 50 * 1024 * 1024;
#endif

QList<QByteArray> statFields(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    // The fields after the name; field 3 of the file is the first.
    return stat.readAll().split(')').last().trimmed().split(' ');
}

// Processor time the process has used, in clock ticks (utime and stime, fields 14 and 15).
qint64 cpuTicks(qint64 pid)
{
    const QList<QByteArray> fields = statFields(pid);
    return fields.size() < 13 ? -1 : fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

// Resident memory in bytes (rss, field 24, in pages).
qint64 residentBytes(qint64 pid)
{
    const QList<QByteArray> fields = statFields(pid);
    return fields.size() < 22 ? -1 : fields.value(21).toLongLong() * sysconf(_SC_PAGESIZE);
}

} // namespace

// The real game started against the worst replies the local ad network can give: each costs
// it under a second of processor time and leaves its memory where it was; it keeps running,
// idle, until it is told to stop, and nothing crashes on the way.
class GameHostileTest : public QObject {
    Q_OBJECT

private slots:
    void gameOutlivesAHostileNetwork_data()
    {
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<QString>("lastPath");
        for (const char *mode : { "hang", "oversized", "nested", "entities", "reset", "attributes", "cutoff",
                 "dtdattributes", "entitytext", "longid", "commented" })
            QTest::newRow(mode) << QStringList { QStringLiteral("ad=%1").arg(QLatin1String(mode)) } << AdPath;
        QTest::newRow("badimage") << QStringList { "ad=badimage" } << "/ads/broken.png";
        QTest::newRow("hugeimage") << QStringList { "ad=hugeimage" } << "/ads/huge.gif";
        // The probe answers late, so the game shows the ad dialog as soon as the ad is held.
        QTest::newRow("giant logo and picture shown")
            << QStringList { "ad=giantpicture", "logo=giant", "probe_delay_ms=2000" } << "/ads/giant.gif";
    }

    void gameOutlivesAHostileNetwork()
    {
        QFETCH(QStringList, settings);
        QFETCH(QString, lastPath);
        QStringList arguments;
        for (const QString &setting : settings + QStringList { AdDelay })
            arguments << QStringLiteral("--set") << setting;
        LocalService service(arguments);
        QVERIFY(service.isRunning());
        QTemporaryDir home;
        QVERIFY(home.isValid());

        QProcess game;
        QVERIFY(startGame(game, home));

        const bool asked = QTest::qWaitFor([&] { return !service.requests(AdPath).isEmpty(); }, 30000);
        QTest::qWait(700);
        const qint64 residentBefore = residentBytes(game.processId());
        const qint64 ticksBefore = cpuTicks(game.processId());
        const bool reached = QTest::qWaitFor([&] { return !service.requests(lastPath).isEmpty(); }, 30000);
        // Time for the reply to be read, refused or left hanging, and a dialog to come up.
        QTest::qWait(1500);
        const qint64 replyTicks = cpuTicks(game.processId()) - ticksBefore;
        const qint64 kept = residentBytes(game.processId()) - residentBefore;
        QTest::qWait(500);
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
        qInfo("%-30s reply %lld ticks, memory kept %+lld KiB, idle %lld ticks", QTest::currentDataTag(), replyTicks,
            kept / 1024, used);

        QVERIFY(asked);
        QVERIFY(reached);
        QVERIFY2(running, errors.constData());
        QVERIFY2(replyTicks >= 0 && replyTicks < MostTicks, qPrintable(QString::number(replyTicks)));
        QVERIFY2(residentBefore > 0 && kept < MostKeptBytes, qPrintable(QString::number(kept)));
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
