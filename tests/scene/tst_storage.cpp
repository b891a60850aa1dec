#include "IsolatedHome.h"
#include "SceneFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QQmlEngine>
#include <QSqlDatabase>

namespace {

QStringList warnings;
QStringList worse;

void collectMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtWarningMsg)
        warnings += message;
    else if (type == QtCriticalMsg || type == QtFatalMsg)
        worse += message;
}

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

    QString databaseFile(Scene &scene)
    {
        return scene.view().engine()->offlineStorageDatabaseFilePath(QStringLiteral("TamboroScores"))
            + QStringLiteral(".sqlite");
    }

    // The storage keeps its SQLite connection for the whole process; it is dropped so the
    // next operation opens whatever is on disk now, as a fresh start of the game would.
    void forgetConnection(Scene &) { forgetConnection(); }
    void forgetConnection()
    {
        if (!storedFile.isEmpty())
            QSqlDatabase::removeDatabase(QFileInfo(storedFile).completeBaseName());
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

    void init()
    {
        warnings.clear();
        worse.clear();
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
        // The overlay is taken away, as a working connection would, so the start screen
        // answers presses.
        QVERIFY(scene.readyToPlay());
        scene.evaluate(QStringLiteral("item1.visible = false"));
        const QString file = databaseFile(scene);
        // A database with twelve good rows first, so a damaged copy has real pages to lose.
        for (int score : { 40, 7, 120, 95, 3, 61, 95, 18, 250, 2, 33, 70 })
            scene.evaluate(QStringLiteral("gameArea.score = %1; Game.saveHighScore()").arg(score));
        forgetConnection(scene);
        QVERIFY(QFileInfo(file).size() > 1024);
        storedFile = file;

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
            forgetConnection(scene);
        }

        qInstallMessageHandler(collectMessages);
        scene.playOutWithScore(9);
        QCOMPARE(scene.property("gameArea", "lives").toInt(), 0);
        QVERIFY(!scene.property("gameTimer", "running").toBool());
        const QString overlay = scene.property("gameView", "state").toString();
        // An unreadable store cannot admit the score, but the game still ends on its overlay.
        QCOMPARE(overlay, qualifies ? QStringLiteral("gameOver") : QStringLiteral("gameOver1"));

        scene.evaluate(QStringLiteral("highScoreView.highscores = 'kept'"));
        scene.evaluate(QStringLiteral("Game.getScores()"));
        scene.evaluate(QStringLiteral("Game.uploadScore('ann', 'pw')"));
        // A file that can still be read lists its scores; otherwise the listing stays as it was.
        QVERIFY(scene.property("highScoreView", "highscores")
                    .toString()
                    .startsWith(qualifies ? QStringLiteral("1. 250 points.\n") : QStringLiteral("kept")));

        // The scene goes on: the start screen navigates and a new game spawns monkeys.
        scene.evaluate(QStringLiteral("Game.setState('')"));
        scene.advance(310);
        scene.tap(scene.itemIn(QStringLiteral("mainView"), QStringLiteral("button3")));
        scene.advance(310);
        QCOMPARE(scene.property("gameArea", "state").toString(), QStringLiteral("info"));
        scene.evaluate(QStringLiteral("Game.setState('')"));
        scene.advance(310);
        scene.tap(scene.itemIn(QStringLiteral("mainView"), QStringLiteral("button2")));
        scene.advance(310);
        QCOMPARE(scene.property("gameArea", "state").toString(), QStringLiteral("highscore"));
        scene.evaluate(QStringLiteral("Game.setState('')"));
        scene.advance(310);
        scene.tap(scene.itemIn(QStringLiteral("mainView"), QStringLiteral("button1")));
        scene.advance(1001);
        QCOMPARE(scene.property("gameArea", "state").toString(), QStringLiteral("game"));
        bool monkeyUp = false;
        for (int hole = 1; hole <= 8; ++hole)
            monkeyUp |= scene.itemIn(QStringLiteral("gameView"), QStringLiteral("hole%1").arg(hole))
                            ->property("hasMonkey")
                            .toBool();
        QVERIFY(monkeyUp);
        scene.advance(4500);

        qInstallMessageHandler(nullptr);
        QVERIFY2(worse.isEmpty(), qPrintable(worse.join('\n')));
        QVERIFY2(!warnings.filter(QStringLiteral("Error")).isEmpty(), qPrintable(warnings.join('\n')));

        // A good database again: the next game is saved and listed.
        if (damage == QLatin1String("immutable"))
            QVERIFY(setImmutable(file, false));
        forgetConnection(scene);
        if (damage == QLatin1String("directory"))
            QVERIFY(QDir(file).removeRecursively());
        else
            QVERIFY(QFile::remove(file));
        scene.evaluate(QStringLiteral("Game.setState('')"));
        scene.advance(310);
        scene.playOutWithScore(9);
        QCOMPARE(scene.property("gameView", "state").toString(), QStringLiteral("gameOver"));
        scene.evaluate(QStringLiteral("Game.getScores()"));
        QCOMPARE(scene.property("highScoreView", "highscores").toString(), QStringLiteral("1. 9 points.\n"));
        forgetConnection(scene);
    }
};

TAMBORO_TEST_MAIN(StorageTest)
#include "tst_storage.moc"
