// SPDX-License-Identifier: GPL-3.0-or-later
#include "IsolatedHome.h"
#include "LocalService.h"
#include "QuitSignals.h"
#include "SceneFixture.h"
#include "ScoreStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <memory>

#include <csignal>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

// Mounts made by this test live in a mount namespace of its own, so they end with the
// process however it ends. Threads share their file system view, so this runs before main.
const bool ownMounts
    = [] { return ::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0; }();

// The folder of the game's databases on a file system of its own, 256 KiB small, which a
// filler file can fill to the last byte.
class SmallDisk {
public:
    explicit SmallDisk(const QString &folder)
        : m_folder(QFile::encodeName(folder))
        , m_filler(folder + QStringLiteral("/filler"))
        , m_mounted(QDir().mkpath(folder) && ownMounts
              && ::mount("tamboro-test", m_folder.constData(), "tmpfs", 0, "size=256k") == 0)
    {
    }
    ~SmallDisk()
    {
        if (m_mounted)
            ::umount2(m_folder.constData(), MNT_DETACH);
    }
    bool isMounted() const { return m_mounted; }
    bool fill()
    {
        QFile filler(m_filler);
        const bool opened = filler.open(QIODevice::WriteOnly);
        while (opened && filler.write(QByteArray(4096, 'f')) == 4096 && filler.flush()) { }
        return opened;
    }
    void empty() { QFile::remove(m_filler); }

private:
    const QByteArray m_folder;
    const QString m_filler;
    const bool m_mounted;
};

// Another program with the database open in a transaction: "exclusive" keeps everyone out,
// "immediate" lets others read but not write, "deferred" has read and so holds up the commit
// of anyone's write. It lets go when the object goes, or when this process dies and its
// standard input closes; asked to, it lets go as soon as someone's write waits for it (a
// write has begun when its journal is there).
class Holder {
public:
    Holder(const QString &file, const QString &kind)
    {
        const QString script = QStringLiteral(
            "import os, sqlite3, sys, time\ndb = sqlite3.connect(sys.argv[1], isolation_level=None, timeout=0)\n"
            "db.execute('BEGIN ' + sys.argv[2])\ndb.execute('SELECT count(*) FROM Scores').fetchall()\n"
            "print('held', flush=True)\nif sys.stdin.readline():\n    print('watching', flush=True)\n"
            "    while not os.path.exists(sys.argv[1] + '-journal'):\n        time.sleep(0.001)\n"
            "    db.execute('COMMIT')\nsys.stdin.read()\n");
        m_process.start(QStringLiteral("/usr/bin/python3"), { QStringLiteral("-c"), script, file, kind });
        m_held = nextLine() == "held";
    }
    ~Holder() { release(); }
    bool isHeld() const { return m_held; }
    bool letGoOnceWritten()
    {
        m_process.write("watch\n");
        return nextLine() == "watching";
    }
    void release()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }

private:
    // A line may come in more than one piece.
    QByteArray nextLine()
    {
        while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) { }
        return m_process.readLine().trimmed();
    }

    QProcess m_process;
    bool m_held = false;
};

// The scores of this board in the file, best first, as another program reads them. Only rows
// with the empty name a database of this game has always held count.
QList<int> storedScores(const QString &file)
{
    QList<int> scores;
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reader"));
        other.setDatabaseName(file);
        other.open();
        QSqlQuery query(
            QStringLiteral("SELECT score FROM Scores WHERE name = '' AND gridSize = 8 ORDER BY score DESC"), other);
        while (query.next())
            scores += query.value(0).toInt();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reader"));
    return scores;
}

QByteArray contentsOf(const QString &file)
{
    QFile in(file);
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

bool writeFile(const QString &file, const QByteArray &contents)
{
    QFile out(file);
    return out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(contents) == contents.size();
}

const QList<int> firstRun { 100, 90, 80, 70, 60, 50, 40, 30, 20, 10 };

const QByteArray garbage = QByteArray("no database here \x01\xff\x7f").repeated(800);

bool setImmutable(const QString &path, bool on)
{
    return QProcess::execute(QStringLiteral("chattr"), { on ? QStringLiteral("+i") : QStringLiteral("-i"), path }) == 0;
}

} // namespace

// The high-score database is a file in the player's home that anything may have damaged;
// the game must go on without it and use a good one again once it is back.
class StorageTest : public QObject {
    Q_OBJECT

private:
    QString storedFile;

    // The storage keeps its SQLite connection for the whole process; it is dropped so the
    // next operation opens whatever is on disk now, as a fresh start of the game would.
    void forgetConnection()
    {
        if (!storedFile.isEmpty())
            QSqlDatabase::removeDatabase(QFileInfo(storedFile).completeBaseName());
    }

    // Damages the store of a scene that has saved scores, as a crash, another program or the
    // player might, and drops the storage's connection so the next operation meets the damage.
    // Returns the path of what was damaged; empty when this machine cannot do it.
    QString damageStore(Scene &scene, const QString &damage)
    {
        if (damage == QLatin1String("columns")) {
            scene.sql(QStringLiteral("DROP TABLE Scores"));
            scene.sql(QStringLiteral("CREATE TABLE Scores(id INTEGER, points TEXT)"));
        }
        forgetConnection();
        const QFileInfo file(storedFile);
        const QString damaged = damage.startsWith(QLatin1String("settings"))
            ? file.path() + QLatin1Char('/') + file.completeBaseName() + QStringLiteral(".ini")
            : damage == QLatin1String("data folder") ? QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
                                                     : storedFile;
        if (damage == QLatin1String("garbage") || damage == QLatin1String("settings garbled"))
            writeFile(damaged, garbage);
        else if (damage == QLatin1String("truncated"))
            QFile::resize(damaged, 1500);
        else if (damage == QLatin1String("folder"))
            QFile::remove(damaged) && QDir().mkpath(damaged + QStringLiteral("/inside"));
        else if (damage == QLatin1String("data folder"))
            QDir(damaged).removeRecursively() && writeFile(damaged, garbage);
        else if (damage == QLatin1String("settings gone"))
            QFile::remove(damaged);
        // Root writes through file modes, so the file is made immutable instead.
        return damage != QLatin1String("immutable") || setImmutable(damaged, true) ? damaged : QString();
    }

private slots:
    // A row that failed half way must not leave its damage, or what was moved aside, to the
    // next one.
    void cleanup()
    {
        if (storedFile.isEmpty())
            return;
        setImmutable(storedFile, false);
        forgetConnection();
        const QFileInfo data(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
        const QStringList left = data.dir().entryList(
            { data.fileName(), data.fileName() + ".damaged-*" }, QDir::AllEntries | QDir::System | QDir::Hidden);
        for (const QString &name : left) {
            QDir(data.dir().filePath(name)).removeRecursively();
            QFile::remove(data.dir().filePath(name));
        }
    }

    void damagedStoreLeavesTheGameRunningAndIsMovedAsideAtStart_data()
    {
        // What is damaged; whether while the game runs or between two runs; whether the
        // scores stored before can still be read.
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("whileRunning");
        QTest::addColumn<bool>("readable");
        for (const char *damage : { "garbage", "truncated", "folder", "columns" }) {
            QTest::addRow("%s, while running", damage) << damage << true << false;
            QTest::addRow("%s, between runs", damage) << damage << false << false;
        }
        QTest::newRow("immutable, while running") << "immutable" << true << true;
        QTest::newRow("data folder, between runs") << "data folder" << false << false;
        QTest::newRow("settings gone, between runs") << "settings gone" << false << true;
        QTest::newRow("settings garbled, between runs") << "settings garbled" << false << true;
    }

    // While the game runs it plays, ends on its overlay and navigates without its store, and
    // uses a good one again once it is back. The next start moves what was damaged aside, as
    // it was, and says so; the next qualifying score is listed, and still there after a restart.
    void damagedStoreLeavesTheGameRunningAndIsMovedAsideAtStart()
    {
        QFETCH(QString, damage);
        QFETCH(bool, whileRunning);
        QFETCH(bool, readable);
        auto scene = std::make_unique<Scene>();
        storedFile = scene->scoreDatabaseFile();
        QVERIFY(scene->showScreen(QString()));
        scene->saveScores(firstRun);
        // Real pages for a damaged copy to lose.
        QVERIFY(QFileInfo(storedFile).size() > 1024);
        const QString damaged = damageStore(*scene, damage);
        if (damaged.isEmpty())
            QSKIP("chattr +i is not available on this file system");
        const QByteArray before = contentsOf(damaged);
        MessageCatcher log;
        if (whileRunning) {
            // An unreadable store cannot admit the score, but the game still ends on its overlay.
            QCOMPARE(overlaysAfter(*scene, { 95 }), QStringList { readable ? "gameOver" : "gameOver1" });
            QCOMPARE(scene->values(QStringLiteral("gameArea.lives, gameTimer.running")), QStringLiteral("0,false"));
            scene->evaluate(QStringLiteral("highScoreView.highscores = 'kept'; Game.uploadScore('ann', 'pw')"));
            // A file that can still be read lists its scores; otherwise the listing stays as it was.
            QVERIFY(listedScores(*scene).startsWith(readable ? QStringLiteral("1. 100 points.\n") : "kept"));
            for (const QString hop :
                { "mainView/button3 info", "mainView/button2 highscore", "mainView/button1 game" }) {
                scene->goTo(QString());
                scene->tap(controlAt(*scene, hop.section(QLatin1Char(' '), 0, 0)));
                scene->advance(hop.endsWith(QLatin1String("game")) ? 1001 : 310);
                QCOMPARE(scene->property("gameArea", "state").toString(), hop.section(QLatin1Char(' '), 1));
            }
            QVERIFY(scene->monkeysUp() > 0);
            scene->advance(4500);
            QVERIFY2(!log.warnings.filter(QStringLiteral("High score")).isEmpty(), qPrintable(log.warnings.join('\n')));

            QVERIFY(damage != QLatin1String("immutable") || setImmutable(storedFile, false));
            forgetConnection();
            QVERIFY(QFile::remove(storedFile) || QDir(storedFile).removeRecursively());
            scene->goTo(QString());
            QCOMPARE(overlaysAfter(*scene, { 95 }), QStringList { "gameOver" });
            // The score the read-only file could not take was kept and is written now too.
            QCOMPARE(listedScores(*scene), readable ? listingOf({ 95, 95 }) : listingOf({ 95 }));
        } else {
            scene.reset();
            for (const bool restarted : { false, true }) {
                Scene again;
                QVERIFY(again.readyToPlay());
                if (!restarted)
                    QCOMPARE(overlaysAfter(again, { 95 }), QStringList { "gameOver" });
                QCOMPARE(listedScores(again), listingOf(readable ? firstRun + QList<int> { 95 } : QList<int> { 95 }));
                forgetConnection();
            }
            QVERIFY2(
                !log.warnings.filter(QFileInfo(damaged).fileName()).isEmpty(), qPrintable(log.warnings.join('\n')));
            const QFileInfo place(damaged);
            const QStringList kept = place.dir().entryList(
                { place.fileName() + QStringLiteral(".damaged-*") }, QDir::AllEntries | QDir::System | QDir::Hidden);
            QCOMPARE(kept.size(), damage == QLatin1String("settings gone") ? 0 : 1);
            for (const QString &aside : kept) {
                QCOMPARE(contentsOf(place.dir().filePath(aside)), before);
                QCOMPARE(QFileInfo::exists(place.dir().filePath(aside) + "/inside"), damage == QLatin1String("folder"));
            }
        }
        log.stop();
        QVERIFY2(log.worse.isEmpty(), qPrintable(log.worse.join('\n')));
    }

    void waitingScoreIsWrittenOnce_data()
    {
        QTest::addColumn<int>("failing");
        QTest::newRow("the write fails") << 1;
        QTest::newRow("its check fails") << 2;
    }

    // A score is written and then looked for, each in a transaction of its own. Whichever of
    // the two meets a database busy for a moment, the score waits and the next operation
    // leaves it in the database once.
    void waitingScoreIsWrittenOnce()
    {
        QFETCH(int, failing);
        Scene scene;
        storedFile = scene.scoreDatabaseFile();
        QVERIFY(scene.showScreen(QString()));
        scene.saveScores({ 50 });
        MessageCatcher log;
        scene.evaluate(QStringLiteral("(function() { var real = Game.scoresTransaction; var calls = 0;"
                                      " Game.scoresTransaction = function(work, wait) {"
                                      "   if (++calls === %1) throw new Error('database is locked');"
                                      "   real(work, wait);"
                                      " };"
                                      " gameArea.score = 70; Game.saveHighScore();"
                                      " Game.scoresTransaction = real; })()")
                           .arg(failing));
        QCOMPARE(log.warnings.filter(QStringLiteral("kept until the database takes it")).size(), 1);
        QCOMPARE(listedScores(scene), listingOf({ 70, 50 }));
        QCOMPARE(storedScores(storedFile), (QList<int> { 70, 50 }));
        QCOMPARE(listedScores(scene), listingOf({ 70, 50 }));
    }

    // A database another program holds as the game starts is not damaged: it stays where it
    // is, with its scores, and nothing is said of damage.
    void databaseHeldAsTheGameStartsIsLeftAlone()
    {
        {
            Scene scene;
            storedFile = scene.scoreDatabaseFile();
            QVERIFY(scene.showScreen(QString()));
            scene.saveScores(firstRun);
        }
        forgetConnection();
        Holder holder(storedFile, QStringLiteral("exclusive"));
        QVERIFY(holder.isHeld());
        MessageCatcher log;
        {
            Scene again;
            holder.release();
            QCOMPARE(listedScores(again), listingOf(firstRun));
        }
        log.stop();
        QVERIFY2(log.warnings.filter(QStringLiteral("moved")).isEmpty(), qPrintable(log.warnings.join('\n')));
        const QFileInfo place(storedFile);
        QCOMPARE(
            place.dir().entryList({ QStringLiteral("*.damaged-*") }, QDir::AllEntries | QDir::System), QStringList());
    }

    void storeOnADiskNotThereNowIsLeftAlone_data()
    {
        QTest::addColumn<QString>("linked");
        QTest::newRow("the data folder") << QString();
        QTest::newRow("a folder inside it") << QStringLiteral("/QML");
    }

    // A data folder, or a folder of its path, that leads to a disk not mounted now is no
    // damage: the link is left as it is and nothing is made in its place. The scores made
    // meanwhile are listed, and written once the disk is back.
    void storeOnADiskNotThereNowIsLeftAlone()
    {
        QFETCH(QString, linked);
        const QString link = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + linked;
        QTemporaryDir disk;
        const QString target = disk.filePath(QStringLiteral("tamboro"));
        QVERIFY(QDir().mkpath(QFileInfo(link).path()) && QFile::link(target, link));
        MessageCatcher log;
        {
            Scene scene;
            storedFile = scene.scoreDatabaseFile();
            QVERIFY(scene.readyToPlay());
            QCOMPARE(overlaysAfter(scene, { 95 }), QStringList { "gameOver" });
            QCOMPARE(listedScores(scene), listingOf({ 95 }));
            QCOMPARE(QFileInfo(link).symLinkTarget(), target);
            QVERIFY(!QFileInfo::exists(target));
            const QFileInfo place(link);
            QCOMPARE(place.dir().entryList(
                         { place.fileName() + QStringLiteral(".damaged-*") }, QDir::AllEntries | QDir::System),
                QStringList());

            QVERIFY(QDir().mkpath(target));
            QCOMPARE(listedScores(scene), listingOf({ 95 }));
        }
        log.stop();
        QVERIFY2(
            !log.warnings.filter(QStringLiteral("are not there now")).isEmpty(), qPrintable(log.warnings.join('\n')));
        QCOMPARE(storedScores(storedFile), QList<int> { 95 });
    }

    void qualifyingScoreWaitsUntilTheDatabaseTakesIt_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<QList<int>>("earlier");
        QTest::addColumn<QString>("writtenBy");
        const QList<int> earlier(8, 40);
        // Before the first score not even the table can be made, so the check that admits a
        // score cannot run: a full disk must still not say no.
        QTest::newRow("full disk before the first score, written by the next listing")
            << "full" << QList<int>() << "listing";
        QTest::newRow("full disk, written by the next listing") << "full" << earlier << "listing";
        QTest::newRow("held exclusively, written at the next game over") << "exclusive" << earlier << "game over";
        QTest::newRow("held for writing, written by the next listing") << "immediate" << earlier << "listing";
        QTest::newRow("read by another program, written at the next game over") << "deferred" << earlier << "game over";
        QTest::newRow("read by another program that lets go once the game writes, written at quit")
            << "deferred" << earlier << "quit";
        QTest::newRow("read by another program that lets go once the game writes, written as SIGTERM ends the game")
            << "deferred" << earlier << "SIGTERM";
        QTest::newRow("held past the wait at quit, lost") << "exclusive" << earlier << "nobody";
    }

    // The overlay says the score is on the list, so it must get there: kept while the
    // database will not take it, listed meanwhile, written once it does. As the game quits
    // it waits a little for the database, and says what it lost if that was not enough.
    // Waiting scores hold their places: they count against a new score, and the best of
    // them is the one uploaded, whatever order they came in.
    void qualifyingScoreWaitsUntilTheDatabaseTakesIt()
    {
        QFETCH(QString, obstacle);
        QFETCH(QList<int>, earlier);
        QFETCH(QString, writtenBy);
        const auto service = startService();
        QVERIFY(service);
        Scene scene;
        storedFile = scene.scoreDatabaseFile();
        QVERIFY(scene.showScreen(QString()));
        const auto disk = obstacle == QLatin1String("full")
            ? std::make_unique<SmallDisk>(QFileInfo(storedFile).absolutePath())
            : nullptr;
        if (disk && !disk->isMounted())
            QSKIP("no small file system can be mounted here (needs root and a mount namespace)");
        // The list seen before the trouble began; before the first score there is not even a
        // table. A bigger board's ten best do not count against this board's scores.
        if (!earlier.isEmpty()) {
            scene.saveScores(earlier);
            scene.insertScores(QList<int>(10, 99), 10);
            listedScores(scene);
        }

        const auto holder = disk ? nullptr : std::make_unique<Holder>(storedFile, obstacle);
        QVERIFY(disk ? disk->fill() : holder->isHeld());
        // Where the stored scores can be read, the ten at least as good as the last game's
        // include the two waiting, one of them a tie, and keep it out.
        const bool checkRuns = obstacle != QLatin1String("exclusive") && !earlier.isEmpty();
        const QList<int> kept = checkRuns ? QList<int> { 40, 60 } : QList<int> { 40, 60, 40 };
        MessageCatcher log;
        QCOMPARE(overlaysAfter(scene, { 40, 60, 40 }),
            (QStringList { "gameOver", "gameOver", checkRuns ? "gameOver1" : "gameOver" }));
        QCOMPARE(listedScores(scene), listingOf(earlier + kept));
        if (checkRuns) {
            scene.evaluate(QStringLiteral("Game.uploadScore('ann', 'pw')"));
            QVERIFY(scene.waitForUploaded());
            QCOMPARE(service->bodies(QStringLiteral("/scores/upload.php")),
                QList<QByteArray> {
                    LocalService::asLogged("name=&score=60&gridSize=8&game=tamboro&username=ann&password=pw") });
        }
        // Waiting for the other program would freeze the game for seconds: the storage's
        // own wait is turned off during play.
        QCOMPARE(scene.sql(QStringLiteral("PRAGMA busy_timeout")).value(0).toMap().value("timeout").toInt(), 0);

        QList<int> expected = writtenBy == QLatin1String("nobody") ? earlier : earlier + kept;
        const bool signalled = writtenBy == QLatin1String("SIGTERM");
        if (writtenBy == QLatin1String("quit") || signalled)
            QVERIFY(holder->letGoOnceWritten());
        if (writtenBy == QLatin1String("quit") || writtenBy == QLatin1String("nobody") || signalled) {
            writeWaitingScoresAtQuit(scene.view());
            if (signalled) {
                // Told as a logout or kill tells it: the game quits as its own Exit does.
                QVERIFY(quitOnTerminationSignals());
                ::kill(::getpid(), SIGTERM);
                QTimer::singleShot(30000, qApp, [] { QCoreApplication::exit(1); });
            } else {
                QTimer::singleShot(0, qApp, &QCoreApplication::quit);
            }
            QCOMPARE(QCoreApplication::exec(), 0);
        } else {
            disk ? disk->empty() : holder->release();
        }
        if (writtenBy == QLatin1String("game over")) {
            QCOMPARE(overlaysAfter(scene, { 50 }), QStringList { QStringLiteral("gameOver") });
            expected += 50;
        } else if (writtenBy == QLatin1String("listing")) {
            listedScores(scene);
        }
        log.stop();
        if (holder)
            holder->release();
        QVERIFY2(log.worse.isEmpty(), qPrintable(log.worse.join('\n')));
        QCOMPARE(log.warnings.filter(QStringLiteral("%1 high score(s) lost").arg(kept.size())).size(),
            writtenBy == QLatin1String("nobody") ? 1 : 0);
        // Read as another program would: each score once.
        std::sort(expected.begin(), expected.end(), std::greater<int>());
        QCOMPARE(storedScores(storedFile), expected);
    }
};

TAMBORO_TEST_MAIN(StorageTest)
#include "tst_storage.moc"
