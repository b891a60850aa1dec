// SPDX-License-Identifier: GPL-3.0-or-later
#include "ScoreStore.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>

#include <algorithm>

namespace {

// What the scene passes to openDatabaseSync; the engine writes the same into the settings
// file of a database it creates, and opens an existing one only if the version matches.
const QString databaseName = QStringLiteral("TamboroScores");
const QString databaseVersion = QStringLiteral("1.0");
const QString databaseDescription = QStringLiteral("Local Tamboro High Scores");
constexpr int databaseEstimatedSize = 100;

// SQLite's answers for a file that is no database, or one whose pages do not hold together.
constexpr int sqliteCorrupt = 11;
constexpr int sqliteNotADatabase = 26;

bool isOnDisk(const QFileInfo &file)
{
    return file.exists() || file.isSymLink();
}

// Renames every path that is there to "<path>.damaged-<time>", all with the same ending so
// a database and the files that belong to it stay together. Returns the new names, or an
// empty list when a rename failed (what was renamed by then stays renamed).
QStringList moveAside(const QStringList &paths)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString ending = QStringLiteral(".damaged-") + stamp;
    const auto taken = [&paths](const QString &candidate) {
        return std::any_of(paths.begin(), paths.end(),
            [&candidate](const QString &path) { return isOnDisk(QFileInfo(path + candidate)); });
    };
    for (int number = 1; taken(ending); ++number)
        ending = QStringLiteral(".damaged-%1-%2").arg(stamp).arg(number);

    QStringList moved;
    for (const QString &path : paths) {
        if (!isOnDisk(QFileInfo(path)))
            continue;
        if (!QDir().rename(path, path + ending)) {
            qWarning("%s is damaged but could not be moved aside", qPrintable(path));
            return {};
        }
        moved += path + ending;
    }
    return moved;
}

// The first folder of the path, from the root down, that is a link to something missing: a
// disk not mounted now, whose scores come back with it. Empty when there is none.
QString linkToMissing(const QString &databases)
{
    QString path = QDir::cleanPath(QFileInfo(databases).absoluteFilePath());
    QString missing;
    for (; !path.isEmpty() && path != QLatin1String("/"); path = QFileInfo(path).path()) {
        const QFileInfo info(path);
        if (info.isSymLink() && !info.exists())
            missing = path;
    }
    return missing;
}

// A file that is not a folder where one of the folders of the path should be is moved aside,
// from the application's own data folder down. Folders above it are the desktop's.
bool clearFolders(const QString &databases)
{
    const QString top = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QStringList chain { databases };
    while (chain.first() != top && chain.first().startsWith(top + QLatin1Char('/')))
        chain.prepend(QFileInfo(chain.first()).path());
    for (const QString &folder : std::as_const(chain)) {
        const QFileInfo info(folder);
        if (!isOnDisk(info) || info.isDir())
            continue;
        const QStringList moved = moveAside({ folder });
        if (!moved.isEmpty())
            qWarning("%s stood where the high scores' folder should be; it was moved to %s", qPrintable(folder),
                qPrintable(moved.first()));
    }
    if (QDir().mkpath(databases))
        return true;
    qWarning("The high scores' folder %s cannot be made", qPrintable(databases));
    return false;
}

int sqliteCode(const QSqlError &error)
{
    // The primary code sits in the low byte of an extended one.
    return error.nativeErrorCode().toInt() & 0xff;
}

// Why the file cannot serve as the score database, or the empty string when it can, or when
// that cannot be told now (a database held by another program is not damaged).
QString damageOf(const QString &file)
{
    const QFileInfo info(file);
    if (!info.isFile())
        return QStringLiteral("it is no file");
    const QString connection = QStringLiteral("tamboro-score-check");
    QString damage;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        database.setDatabaseName(file);
        // Read-only and without waiting: the check changes nothing and never stalls the start.
        database.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=0"));
        if (database.open()) {
            QSqlQuery check(database);
            const auto damaged = [&check] {
                const int code = sqliteCode(check.lastError());
                return code == sqliteCorrupt || code == sqliteNotADatabase;
            };
            if (!check.exec(QStringLiteral("PRAGMA quick_check"))) {
                if (damaged())
                    damage = check.lastError().text();
            } else if (check.next() && check.value(0).toString() != QLatin1String("ok")) {
                damage = check.value(0).toString();
            } else if (check.exec(
                           QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'Scores'"))
                && check.next() && !check.exec(QStringLiteral("SELECT name, score, gridSize FROM Scores LIMIT 0"))) {
                // A table of the right name that the game's queries cannot read.
                damage = check.lastError().text();
            }
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return damage;
}

bool hasGoodSettings(const QString &file)
{
    if (!QFileInfo(file).isFile())
        return false;
    const QSettings settings(file, QSettings::IniFormat);
    return settings.status() == QSettings::NoError
        && settings.value(QStringLiteral("Version")).toString() == databaseVersion;
}

bool writeSettings(const QString &file)
{
    QSettings settings(file, QSettings::IniFormat);
    settings.setValue(QStringLiteral("Name"), databaseName);
    settings.setValue(QStringLiteral("Version"), databaseVersion);
    settings.setValue(QStringLiteral("Description"), databaseDescription);
    settings.setValue(QStringLiteral("EstimatedSize"), databaseEstimatedSize);
    settings.setValue(QStringLiteral("Driver"), QStringLiteral("QSQLITE"));
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return true;
    qWarning("The high scores' settings file %s cannot be written", qPrintable(file));
    return false;
}

} // namespace

void prepareScoreStore(const QQmlEngine &engine)
{
    // The engine names its connection to the database as it names the file.
    const QString id
        = QString::fromLatin1(QCryptographicHash::hash(databaseName.toUtf8(), QCryptographicHash::Md5).toHex());
    if (QSqlDatabase::contains(id))
        return;
    const QString base = engine.offlineStorageDatabaseFilePath(databaseName);
    const QString away = linkToMissing(QFileInfo(base).path());
    if (!away.isEmpty()) {
        qWarning("The high scores are not there now: %s leads to %s, which is missing (a disk not mounted?). "
                 "Nothing is changed; scores made meanwhile are kept until it is back.",
            qPrintable(away), qPrintable(QFileInfo(away).symLinkTarget()));
        return;
    }
    if (!clearFolders(QFileInfo(base).path()))
        return;

    const QString file = base + QStringLiteral(".sqlite");
    const QString settings = base + QStringLiteral(".ini");
    if (!isOnDisk(QFileInfo(file))) {
        // Settings left without their database would refuse the one the engine is about to make.
        if (isOnDisk(QFileInfo(settings))) {
            const QStringList moved = moveAside({ settings });
            if (!moved.isEmpty())
                qWarning("The high scores' settings file %s had no database beside it; it was moved to %s",
                    qPrintable(settings), qPrintable(moved.first()));
        }
        return;
    }
    const QString damage = damageOf(file);
    if (!damage.isEmpty()) {
        const QStringList moved = moveAside({ file, file + QStringLiteral("-journal"), file + QStringLiteral("-wal"),
            file + QStringLiteral("-shm"), settings });
        if (!moved.isEmpty())
            qWarning("The high-score database %s cannot be read (%s); it was moved to %s and a new one begun",
                qPrintable(file), qPrintable(damage), qPrintable(moved.first()));
        return;
    }
    if (hasGoodSettings(settings))
        return;
    const QStringList moved = moveAside({ settings });
    if (isOnDisk(QFileInfo(settings)) || !writeSettings(settings))
        return;
    if (moved.isEmpty())
        qWarning("The high-score database's settings file %s was missing; it was written anew", qPrintable(settings));
    else
        qWarning("The high-score database's settings file %s could not be read; it was moved to %s and written anew",
            qPrintable(settings), qPrintable(moved.first()));
}

void writeWaitingScoresAtQuit(QQuickView &view)
{
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &view, [&view] {
        QQuickItem *scene = view.rootObject();
        if (scene && !QMetaObject::invokeMethod(scene, "writeWaitingScoresAtQuit"))
            qWarning("The scene cannot write its waiting high scores as the game quits");
    });
}
