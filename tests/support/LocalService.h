#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrlQuery>

// The bundled local ad network and score board (tools/adnet.py), started for one test on
// the port compiled into the game and stopped when the object goes.
class LocalService {
public:
    explicit LocalService(const QStringList &extraArguments = {});
    ~LocalService();

    bool isRunning() const;
    quint16 port() const { return m_port; }
    qint64 processId() const { return m_process.processId(); }
    QString baseUrl() const;

    // Sets run-time switches through the service's control endpoint; returns false when it
    // did not answer.
    bool control(const QUrlQuery &switches);

    // Every request the service has seen, oldest first, as the JSON objects of its log,
    // leaving out the test's own control requests.
    QList<QJsonObject> requests() const;
    QList<QJsonObject> requests(const QString &path) const;

    QString dataDir() const { return m_dir.filePath(QStringLiteral("data")); }
    QString logFile() const { return m_dir.filePath(QStringLiteral("requests.log")); }

    static quint16 compiledInPort();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};
