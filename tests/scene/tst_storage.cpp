// SPDX-License-Identifier: GPL-3.0-or-later
#include "IsolatedHome.h"
#include "SceneFixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>

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
// standard input closes.
class Holder {
public:
    Holder(const QString &file, const QString &kind)
    {
        const QString script
            = QStringLiteral("import sqlite3, sys\n"
                             "db = sqlite3.connect(sys.argv[1], isolation_level=None, timeout=0)\n"
                             "db.execute('BEGIN EXCLUSIVE' if sys.argv[2] == 'exclusive' else 'BEGIN IMMEDIATE'"
                             " if sys.argv[2] == 'immediate' else 'BEGIN')\n"
                             "db.execute('SELECT count(*) FROM Scores').fetchall()\n"
                             "print('held', flush=True)\n"
                             "sys.stdin.read()\n");
        m_process.start(QStringLiteral("/usr/bin/python3"), { QStringLiteral("-c"), script, file, kind });
        m_process.waitForReadyRead(10000);
        m_held = m_process.readLine().trimmed() == "held";
    }
    ~Holder() { release(); }
    bool isHeld() const { return m_held; }
    void release()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }

private:
    QProcess m_process;
    bool m_held = false;
};

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

    // A scene ready to play with the overlay taken away, as a working connection would, so
    // the start screen answers presses; its database file goes when the row ends.
    bool ready(Scene &scene)
    {
        storedFile = scene.scoreDatabaseFile();
        return scene.readyToPlay() && scene.evaluate(QStringLiteral("item1.visible = false; true")).toBool();
    }

private slots:
    // A row that failed half way must not leave its damage to the next one.
    void cleanup()
    {
        if (storedFile.isEmpty())
            return;
        setImmutable(storedFile, false);
        forgetConnection();
        QDir(storedFile).removeRecursively();
        QFile::remove(storedFile);
    }

    void damagedDatabaseLeavesTheGameRunning_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("qualifies");
        QTest::newRow("garbage") << "garbage" << false;
        QTest::newRow("truncated") << "truncated" << false;
        // Root writes through file modes, so the file is made immutable instead.
        QTest::newRow("read-only (immutable file)") << "immutable" << true;
        QTest::newRow("directory in its place") << "directory" << false;
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
        forgetConnection();
        QVERIFY(QFileInfo(file).size() > 1024);

        if (damage == QLatin1String("garbage")) {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
            out.write(QByteArray("no database here \x01\xff\x7f").repeated(800));
        } else if (damage == QLatin1String("truncated")) {
            QVERIFY(QFile::resize(file, 1500));
        } else if (damage == QLatin1String("immutable")) {
            if (!setImmutable(file, true))
                QSKIP("chattr +i is not available on this file system");
        } else if (damage == QLatin1String("directory")) {
            QVERIFY(QFile::remove(file));
            QVERIFY(QDir().mkpath(file));
        } else {
            scene.evaluate(QStringLiteral("Game.scoresDatabase().transaction(function(tx) {"
                                          " tx.executeSql('DROP TABLE Scores');"
                                          " tx.executeSql('CREATE TABLE Scores(id INTEGER, points TEXT)'); })"));
            forgetConnection();
        }

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
        if (damage == QLatin1String("directory"))
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
        QTest::addColumn<bool>("writtenAtGameOver");
        QTest::newRow("full disk, written by the next listing") << "full" << false;
        QTest::newRow("held exclusively, written at the next game over") << "exclusive" << true;
        QTest::newRow("held for writing, written by the next listing") << "immediate" << false;
        QTest::newRow("read by another program, written at the next game over") << "shared" << true;
    }

    // The overlay says the score is on the list, so it must get there: kept while the
    // database will not take it, listed meanwhile, written once it does.
    void qualifyingScoreWaitsUntilTheDatabaseTakesIt()
    {
        QFETCH(QString, obstacle);
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
        scene.saveScores({ 40, 7 });
        scene.evaluate(QStringLiteral("Game.getScores()"));
        const QString listing = QStringLiteral("1. 40 points.\n2. 9 points.\n3. 7 points.\n4. 5 points.\n");

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
        QElapsedTimer listingTime;
        listingTime.start();
        scene.evaluate(QStringLiteral("Game.getScores()"));
        const qint64 listingMs = listingTime.elapsed();
        log.stop();
        qInfo("%s: listing took %lld ms; %s", qPrintable(obstacle), listingMs, qPrintable(log.warnings.join(" / ")));
        // Waiting for the other program would freeze the game for seconds.
        QVERIFY2(listingMs < 250, qPrintable(QString::number(listingMs)));
        QCOMPARE(scene.property("highScoreView", "highscores").toString(), listing);
        QVERIFY2(log.worse.isEmpty(), qPrintable(log.worse.join('\n')));

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
        QStringList rows;
        {
            QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reader"));
            other.setDatabaseName(file);
            QVERIFY(other.open());
            QSqlQuery query(QStringLiteral("SELECT quote(name), score FROM Scores ORDER BY score DESC"), other);
            while (query.next())
                rows += query.value(0).toString() + QLatin1Char(' ') + query.value(1).toString();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("reader"));
        QStringList expected { QStringLiteral("'' 40"), QStringLiteral("'' 9"), QStringLiteral("'' 7"),
            QStringLiteral("'' 5") };
        if (writtenAtGameOver)
            expected += QStringLiteral("'' 3");
        QCOMPARE(rows, expected);
    }
};

TAMBORO_TEST_MAIN(StorageTest)
#include "tst_storage.moc"
