// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrlQuery>

// The local ad network and score board with the tests' fault modes (tests/tools/adnet_faults.py,
// which serves what the bundled tools/adnet.py does), started for one test on the port
// compiled into the game and stopped when the object goes.
class LocalService {
public:
    // Arguments given are added to the service's own; "--port 0" starts it on a free port.
    explicit LocalService(const QStringList &extraArguments = {});
    ~LocalService();

    bool isRunning() const { return m_process.state() == QProcess::Running; }
    quint16 port() const { return m_port; }
    qint64 processId() const { return m_process.processId(); }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }

    // Sets run-time switches through the service's control endpoint; returns false when it
    // did not answer.
    bool control(const QUrlQuery &switches);
    // Puts every switch back to normal, then sets the given ones ("ad=hang&slow=logo").
    bool reset(const QString &switches = {}) { return control(QUrlQuery(QStringLiteral("reset=1&") + switches)); }

    // Every request the service has seen, oldest first, as the JSON objects of its log,
    // leaving out the test's own control requests; with a path, only the requests to it.
    QList<QJsonObject> requests(const QString &path = {}) const;
    // The paths of the requests from the given one on; with a User-Agent, only of those
    // that sent it, as other programs on this machine may probe the port.
    QStringList paths(int from = 0, const QString &userAgent = {}) const;
    // The raw bodies of the requests to a path, oldest first, as the log keeps them.
    QList<QByteArray> bodies(const QString &path) const;
    // A form body as the log keeps it: a password's value, as sent, replaced by its SHA-256.
    static QByteArray asLogged(const QByteArray &body);

    QString dataDir() const { return m_dir.filePath(QStringLiteral("data")); }
    QString logFile() const { return m_dir.filePath(QStringLiteral("requests.log")); }

    static quint16 compiledInPort();
    // A file the service serves from tools/static, empty when there is none.
    static QByteArray staticFile(const QString &name);

    static inline const QString AdPath = QStringLiteral("/simpleM2M/clientRequestAd");
    static inline const QString LogoPath = QStringLiteral("/quillon_logo.png");
    // How the game's ad request starts, every value in order and as sent; the time follows.
    static inline const QString GameAdQueryStart
        = QStringLiteral("aid=Kelto_Tamboro_Qt&v=Sm2m-1.5.2-QT_1.5.2&o=true&po=551&k=games,arcade,action,boxing,jungle,"
                         "ape,monkey,touch,move,sports,adventure,classic,fun,free&c=Games&time=");

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};
