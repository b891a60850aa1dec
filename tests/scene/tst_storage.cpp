// SPDX-License-Identifier: GPL-3.0-or-later
#include "IsolatedHome.h"
#include "LocalService.h"
#include "SceneFixture.h"
#include "ScoreStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <functional>

#include <sched.h>
#include <sys/mount.h>

#include <memory>

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
        : m_folder(folder)
    {
        QDir().mkpath(folder);
        m_mounted
            = ownMounts && ::mount("tamboro-test", QFile::encodeName(folder).constData(), "tmpfs", 0, "size=256k") == 0;
    }
    ~SmallDisk()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_folder).constData(), MNT_DETACH);
    }
    bool isMounted() const { return m_mounted; }
    bool fill()
    {
        QFile filler(fillerPath());
        if (!filler.open(QIODevice::WriteOnly))
            return false;
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size() && filler.flush()) { }
        return true;
    }
    void empty() { QFile::remove(fillerPath()); }

private:
    QString fillerPath() const { return m_folder + QStringLiteral("/filler"); }

    QString m_folder;
    bool m_mounted = false;
};

// Another program with the database open in a transaction: "exclusive" keeps everyone out,
// "immediate" lets others read but not write, "shared" has read and so holds up the commit
// of anyone's write. It lets go when the object goes, or when this process dies and its
// standard input closes; asked to, it lets go as soon as someone's write waits for it (a
// write has begun when its journal is there).
class Holder {
public:
    Holder(const QString &file, const QString &kind)
    {
        const QString script
            = QStringLiteral("import os, sqlite3, sys, time\n"
                             "db = sqlite3.connect(sys.argv[1], isolation_level=None, timeout=0)\n"
                             "db.execute('BEGIN EXCLUSIVE' if sys.argv[2] == 'exclusive' else 'BEGIN IMMEDIATE'"
                             " if sys.argv[2] == 'immediate' else 'BEGIN')\n"
                             "db.execute('SELECT count(*) FROM Scores').fetchall()\n"
                             "print('held', flush=True)\n"
                             "if sys.stdin.readline():\n"
                             "    print('watching', flush=True)\n"
                             "    while not os.path.exists(sys.argv[1] + '-journal'):\n"
                             "        time.sleep(0.001)\n"
                             "    db.execute('COMMIT')\n"
                             "sys.stdin.read()\n");
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

// The scores in the file, best first, as another program reads them: quoted name and score.
QStringList storedRows(const QString &file)
{
    QStringList rows;
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reader"));
        other.setDatabaseName(file);
        if (!other.open())
            return { other.lastError().text() };
        QSqlQuery query(QStringLiteral("SELECT quote(name), score FROM Scores ORDER BY score DESC"), other);
        while (query.next())
            rows += query.value(0).toString() + QLatin1Char(' ') + query.value(1).toString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reader"));
    return rows;
}

QStringList rowsOf(const QList<int> &scores)
{
    QStringList rows;
    for (int score : scores)
        rows += QStringLiteral("'' %1").arg(score);
    return rows;
}

QString listingOf(QList<int> scores)
{
    std::sort(scores.begin(), scores.end(), std::greater<int>());
    QString listing;
    for (int i = 0; i < scores.size() && i < 10; ++i)
        listing += QStringLiteral("%1. %2 points.\n").arg(i + 1).arg(scores[i]);
    return listing;
}

QByteArray contentsOf(const QString &file)
{
    QFile in(file);
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

void writeFile(const QString &file, const QByteArray &contents)
{
    QFile out(file);
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        out.write(contents);
}

const QByteArray garbage = QByteArray("no database here \x01\xff\x7f").repeated(800);

bool setImmutable(const QString &path, bool on)
{
    QProcess chattr;
    chattr.start(QStringLiteral("chattr"), { on ? QStringLiteral("+i") : QStringLiteral("-i"), path });
    return chattr.waitForFinished(5000) && chattr.exitStatus() == QProcess::NormalExit && chattr.exitCode() == 0;
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
        const QString settings = QFileInfo(storedFile).path() + QLatin1Char('/')
            + QFileInfo(storedFile).completeBaseName() + QStringLiteral(".ini");
        const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        if (damage == QLatin1String("garbage")) {
            writeFile(storedFile, garbage);
        } else if (damage == QLatin1String("truncated")) {
            QFile::resize(storedFile, 1500);
        } else if (damage == QLatin1String("immutable")) {
            // Root writes through file modes, so the file is made immutable instead.
            return setImmutable(storedFile, true) ? storedFile : QString();
        } else if (damage == QLatin1String("folder")) {
            QFile::remove(storedFile);
            QDir().mkpath(storedFile + QStringLiteral("/inside"));
        } else if (damage == QLatin1String("data folder")) {
            QDir(data).removeRecursively();
            writeFile(data, garbage);
            return data;
        } else if (damage == QLatin1String("settings gone")) {
            QFile::remove(settings);
            return settings;
        } else if (damage == QLatin1String("settings garbled")) {
            writeFile(settings, garbage);
            return settings;
        }
        return storedFile;
    }

    // A scene ready to play with the overlay taken away, as a working connection would, so
    // the start screen answers presses; its database file goes when the row ends.
    bool ready(Scene &scene)
    {
        storedFile = scene.scoreDatabaseFile();
        return scene.readyToPlay() && scene.evaluate(QStringLiteral("item1.visible = false; true")).toBool();
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
        QDir(data.filePath()).removeRecursively();
        QFile::remove(data.filePath());
        const QStringList moved = data.dir().entryList({ data.fileName() + QStringLiteral(".damaged-*") });
        for (const QString &name : moved) {
            QDir(data.dir().filePath(name)).removeRecursively();
            QFile::remove(data.dir().filePath(name));
        }
    }

    void damagedStoreIsMovedAsideAtStartAndTheNextScoreKept_data()
    {
        // What is damaged; whether the ten scores of the first run are still listed.
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("intact");
        QTest::newRow("garbage in the database") << "garbage" << false;
        QTest::newRow("truncated database") << "truncated" << false;
        QTest::newRow("folder in the database's place") << "folder" << false;
        QTest::newRow("table the game cannot read") << "columns" << false;
        QTest::newRow("file named as the data folder") << "data folder" << false;
        QTest::newRow("settings file gone") << "settings gone" << true;
        QTest::newRow("settings file garbled") << "settings garbled" << true;
    }

    // A store damaged while the game was not running: the game plays, the next qualifying
    // score is listed and still there after a restart, and what was damaged is kept beside.
    void damagedStoreIsMovedAsideAtStartAndTheNextScoreKept()
    {
        QFETCH(QString, damage);
        QFETCH(bool, intact);
        const QList<int> firstRun { 100, 90, 80, 70, 60, 50, 40, 30, 20, 10 };
        QString damaged;
        {
            Scene scene;
            storedFile = scene.scoreDatabaseFile();
            scene.saveScores(firstRun);
            damaged = damageStore(scene, damage);
        }
        const QByteArray before = contentsOf(damaged);
        const QString listing = listingOf(intact ? firstRun + QList<int> { 95 } : QList<int> { 95 });

        MessageCatcher log;
        for (const bool restarted : { false, true }) {
            Scene scene;
            QVERIFY(scene.readyToPlay());
            if (!restarted) {
                scene.playOutWithScore(95);
                QCOMPARE(scene.property("gameView", "state").toString(), QStringLiteral("gameOver"));
            }
            scene.evaluate(QStringLiteral("Game.getScores()"));
            QCOMPARE(scene.property("highScoreView", "highscores").toString(), listing);
            forgetConnection();
        }
        log.stop();
        QVERIFY2(!log.warnings.filter(QFileInfo(damaged).fileName()).isEmpty(), qPrintable(log.warnings.join('\n')));

        const QFileInfo place(damaged);
        const QStringList kept = place.dir().entryList(
            { place.fileName() + QStringLiteral(".damaged-*") }, QDir::AllEntries | QDir::System | QDir::Hidden);
        if (damage == QLatin1String("settings gone")) {
            QCOMPARE(kept, QStringList());
            return;
        }
        QCOMPARE(kept.size(), 1);
        const QString aside = place.dir().filePath(kept.first());
        if (damage == QLatin1String("folder"))
            QVERIFY(QFileInfo::exists(aside + QStringLiteral("/inside")));
        else
            QCOMPARE(contentsOf(aside), before);
    }

    void damagedDatabaseLeavesTheGameRunning_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("qualifies");
        QTest::newRow("garbage") << "garbage" << false;
        QTest::newRow("truncated") << "truncated" << false;
        QTest::newRow("read-only (immutable file)") << "immutable" << true;
        QTest::newRow("directory in its place") << "folder" << false;
        QTest::newRow("wrong columns") << "columns" << false;
    }

    void damagedDatabaseLeavesTheGameRunning()
    {
        QFETCH(QString, damage);
        QFETCH(bool, qualifies);
        Scene scene;
        QVERIFY(ready(scene));
        const QString file = storedFile;
        // A database with twelve good rows first, so a damaged copy has real pages to lose.
        scene.saveScores({ 40, 7, 120, 95, 3, 61, 95, 18, 250, 2, 33, 70 });
        QVERIFY(QFileInfo(file).size() > 1024);
        if (damageStore(scene, damage).isEmpty())
            QSKIP("chattr +i is not available on this file system");

        MessageCatcher log;
        scene.playOutWithScore(9);
        QCOMPARE(scene.property("gameArea", "lives").toInt(), 0);
        QVERIFY(!scene.property("gameTimer", "running").toBool());
        const QString overlay = scene.property("gameView", "state").toString();
        // An unreadable store cannot admit the score, but the game still ends on its overlay.
        QCOMPARE(overlay, qualifies ? QStringLiteral("gameOver") : QStringLiteral("gameOver1"));

        scene.evaluate(
            QStringLiteral("highScoreView.highscores = 'kept'; Game.getScores(); Game.uploadScore('ann', 'pw')"));
        // A file that can still be read lists its scores; otherwise the listing stays as it was.
        QVERIFY(scene.property("highScoreView", "highscores")
                    .toString()
                    .startsWith(qualifies ? QStringLiteral("1. 250 points.\n") : QStringLiteral("kept")));

        // The scene goes on: the start screen navigates and a new game spawns monkeys.
        const QList<std::pair<QString, QString>> hops { { "button3", "info" }, { "button2", "highscore" },
            { "button1", "game" } };
        for (const auto &[button, state] : hops) {
            scene.goTo(QString());
            scene.tap(scene.itemIn(QStringLiteral("mainView"), button));
            scene.advance(state == QLatin1String("game") ? 1001 : 310);
            QCOMPARE(scene.property("gameArea", "state").toString(), state);
        }
        QVERIFY(scene
                    .evaluate(QStringLiteral("[1, 2, 3, 4, 5, 6, 7, 8].some(function(n) {"
                                             " return gameView['hole' + n].hasMonkey; })"))
                    .toBool());
        scene.advance(4500);

        log.stop();
        QVERIFY2(log.worse.isEmpty(), qPrintable(log.worse.join('\n')));
        QVERIFY2(!log.warnings.filter(QStringLiteral("High score")).isEmpty(), qPrintable(log.warnings.join('\n')));

        // A good database again: the next game is saved and listed.
        if (damage == QLatin1String("immutable"))
            QVERIFY(setImmutable(file, false));
        forgetConnection();
        if (damage == QLatin1String("folder"))
            QVERIFY(QDir(file).removeRecursively());
        else
            QVERIFY(QFile::remove(file));
        scene.goTo(QString());
        scene.playOutWithScore(9);
        QCOMPARE(scene.property("gameView", "state").toString(), QStringLiteral("gameOver"));
        scene.evaluate(QStringLiteral("Game.getScores()"));
        // The score the read-only file could not take was kept and is written now too.
        QCOMPARE(scene.property("highScoreView", "highscores").toString(),
            qualifies ? QStringLiteral("1. 9 points.\n2. 9 points.\n") : QStringLiteral("1. 9 points.\n"));
    }

    void qualifyingScoreWaitsUntilTheDatabaseTakesIt_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<QList<int>>("earlier");
        QTest::addColumn<bool>("writtenAtGameOver");
        // Before the first score not even the table can be made, so the check that admits a
        // score cannot run: a full disk must still not say no.
        QTest::newRow("full disk before the first score, written by the next listing")
            << "full" << QList<int>() << false;
        QTest::newRow("full disk, written by the next listing") << "full" << QList<int> { 40, 7 } << false;
        QTest::newRow("held exclusively, written at the next game over") << "exclusive" << QList<int> { 40, 7 } << true;
        QTest::newRow("held for writing, written by the next listing") << "immediate" << QList<int> { 40, 7 } << false;
        QTest::newRow("read by another program, written at the next game over")
            << "shared" << QList<int> { 40, 7 } << true;
    }

    // The overlay says the score is on the list, so it must get there: kept while the
    // database will not take it, listed meanwhile, written once it does.
    void qualifyingScoreWaitsUntilTheDatabaseTakesIt()
    {
        QFETCH(QString, obstacle);
        QFETCH(QList<int>, earlier);
        QFETCH(bool, writtenAtGameOver);
        Scene scene;
        QVERIFY(ready(scene));
        const QString file = storedFile;
        std::unique_ptr<SmallDisk> disk;
        if (obstacle == QLatin1String("full")) {
            disk = std::make_unique<SmallDisk>(QFileInfo(file).absolutePath());
            if (!disk->isMounted())
                QSKIP("no small file system can be mounted here (needs root and a mount namespace)");
        }
        // The list seen before the trouble began; before the first score there is not even a table.
        if (!earlier.isEmpty()) {
            scene.saveScores(earlier);
            scene.evaluate(QStringLiteral("Game.getScores()"));
        }

        std::unique_ptr<Holder> holder;
        if (disk) {
            QVERIFY(disk->fill());
        } else {
            holder = std::make_unique<Holder>(file, obstacle);
            QVERIFY(holder->isHeld());
        }
        MessageCatcher log;
        // Two games while it is held: the second must not push the first's score out.
        for (int score : { 9, 5 }) {
            scene.playOutWithScore(score);
            QCOMPARE(scene.property("gameView", "state").toString(), QStringLiteral("gameOver"));
        }
        scene.evaluate(QStringLiteral("Game.getScores()"));
        log.stop();
        QCOMPARE(scene.property("highScoreView", "highscores").toString(), listingOf(earlier + QList<int> { 9, 5 }));
        QVERIFY2(log.worse.isEmpty(), qPrintable(log.worse.join('\n')));
        // Waiting for the other program would freeze the game for seconds: the storage's
        // own wait is turned off during play.
        const QVariantList timeout = scene.sql(QStringLiteral("PRAGMA busy_timeout"));
        QCOMPARE(timeout.value(0).toMap().value(QStringLiteral("timeout")).toInt(), 0);

        if (disk)
            disk->empty();
        else
            holder->release();
        if (writtenAtGameOver) {
            scene.playOutWithScore(3);
            QCOMPARE(scene.property("gameView", "state").toString(), QStringLiteral("gameOver"));
        } else {
            scene.evaluate(QStringLiteral("Game.getScores()"));
        }

        // Read as another program would: each score once, with the empty name a database of
        // this game has always held.
        QList<int> expected = earlier + QList<int> { 9, 5 };
        if (writtenAtGameOver)
            expected += 3;
        std::sort(expected.begin(), expected.end(), std::greater<int>());
        QCOMPARE(storedRows(file), rowsOf(expected));
    }

    // Scores waiting for the database hold their places: they count against a new score, and
    // the best of them is the one uploaded, whatever order they came in.
    void waitingScoresHoldTheirPlaces()
    {
        const auto service = startService();
        QVERIFY(service);
        Scene scene;
        QVERIFY(ready(scene));
        scene.saveScores({ 40, 40, 40, 40, 40, 40, 40, 40 });
        // Reading goes on, so the check that admits a score runs; writing waits.
        Holder holder(storedFile, QStringLiteral("immediate"));
        QVERIFY(holder.isHeld());
        const QList<std::pair<int, QString>> games { { 45, "gameOver" }, { 60, "gameOver" }, { 40, "gameOver1" } };
        for (const auto &[score, overlay] : games) {
            scene.playOutWithScore(score);
            QCOMPARE(scene.property("gameView", "state").toString(), overlay);
        }
        scene.evaluate(QStringLiteral("Game.uploadScore('ann', 'pw')"));
        QVERIFY(scene.waitForUploaded());
        const QList<QJsonObject> uploads = service->requests(QStringLiteral("/scores/upload.php"));
        QCOMPARE(uploads.size(), 1);
        QCOMPARE(uploads.first().value(QStringLiteral("form")).toObject().value(QStringLiteral("score")).toString(),
            QStringLiteral("60"));
    }

    void waitingScoresAreWrittenAsTheGameQuits_data()
    {
        QTest::addColumn<bool>("letsGo");
        QTest::newRow("another program reading lets go once the game writes") << true;
        QTest::newRow("another program holds it past the wait") << false;
    }

    // Every score the list showed is in the database after the game quits, if the program
    // holding it lets go within the wait; otherwise the game still ends, and says what it lost.
    void waitingScoresAreWrittenAsTheGameQuits()
    {
        QFETCH(bool, letsGo);
        Scene scene;
        QVERIFY(ready(scene));
        scene.saveScores({ 40 });
        scene.evaluate(QStringLiteral("Game.getScores()"));
        Holder holder(storedFile, letsGo ? QStringLiteral("shared") : QStringLiteral("exclusive"));
        QVERIFY(holder.isHeld());
        for (int score : { 9, 5 }) {
            scene.playOutWithScore(score);
            QCOMPARE(scene.property("gameView", "state").toString(), QStringLiteral("gameOver"));
        }
        scene.evaluate(QStringLiteral("Game.getScores()"));
        QCOMPARE(scene.property("highScoreView", "highscores").toString(), listingOf({ 40, 9, 5 }));

        if (letsGo)
            QVERIFY(holder.letGoOnceWritten());
        writeWaitingScoresAtQuit(scene.view());
        MessageCatcher log;
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        QCoreApplication::exec();
        log.stop();
        holder.release();
        QCOMPARE(storedRows(storedFile), rowsOf(letsGo ? QList<int> { 40, 9, 5 } : QList<int> { 40 }));
        QCOMPARE(log.warnings.filter(QStringLiteral("2 high score(s) lost")).size(), letsGo ? 0 : 1);
    }
};

TAMBORO_TEST_MAIN(StorageTest)
#include "tst_storage.moc"
