// SPDX-License-Identifier: GPL-3.0-or-later
#include "LocalService.h"
#include "ChildProcess.h"
#include "tamboro_config.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <memory>

LocalService::LocalService(const QStringList &extraArguments)
    : m_port(compiledInPort())
{
    const QStringList arguments { QStringLiteral(TAMBORO_SOURCE_DIR "/tests/tools/adnet_faults.py"),
        QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--data"), dataDir(), QStringLiteral("--log"),
        logFile(), QStringLiteral("--quiet") };
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    endWithThisProcess(m_process);
    m_process.start(QStringLiteral("/usr/bin/python3"), arguments + extraArguments);
    m_process.waitForStarted(5000);
    // The service prints one line once it listens, with the port it took ("--port 0" picks one).
    while (m_process.state() == QProcess::Running && !m_process.canReadLine())
        m_process.waitForReadyRead(100);
    const QByteArray listening = m_process.readLine().trimmed();
    if (listening.startsWith("listening "))
        m_port = quint16(listening.mid(listening.lastIndexOf(':') + 1).toUInt());
}

LocalService::~LocalService()
{
    m_process.terminate();
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
}

bool LocalService::control(const QUrlQuery &switches)
{
    QNetworkAccessManager manager;
    QUrl url(baseUrl() + QStringLiteral("/_control"));
    url.setQuery(switches);
    // A loaded machine may leave the service unscheduled for seconds, and a connection may
    // drop before any reply; setting the same switches again does no harm.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(url)));
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        loop.exec();
        if (reply->isFinished() && reply->error() == QNetworkReply::NoError)
            return true;
        qWarning("the local service did not take its switches: %s", qPrintable(reply->errorString()));
    }
    return false;
}

QList<QJsonObject> LocalService::requests(const QString &path) const
{
    QList<QJsonObject> result;
    QFile file(logFile());
    const QByteArray log = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    for (const QByteArray &line : log.split('\n')) {
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        const QString entryPath = entry.value(QStringLiteral("path")).toString();
        if (!entry.isEmpty() && entryPath != QLatin1String("/_control") && (path.isEmpty() || entryPath == path))
            result.append(entry);
    }
    return result;
}

QStringList LocalService::paths(int from, const QString &userAgent) const
{
    QStringList result;
    for (const QJsonObject &entry : requests().mid(from)) {
        if (userAgent.isEmpty() || entry[u"headers"][u"User-Agent"].toString() == userAgent)
            result.append(entry.value(QStringLiteral("path")).toString());
    }
    return result;
}

QList<QByteArray> LocalService::bodies(const QString &path) const
{
    QList<QByteArray> result;
    for (const QJsonObject &entry : requests(path))
        result.append(entry.value(QStringLiteral("body")).toString().toLatin1());
    return result;
}

QByteArray LocalService::asLogged(const QByteArray &body)
{
    QList<QByteArray> pieces = body.split('&');
    for (QByteArray &piece : pieces) {
        if (piece.startsWith("password="))
            piece = "password=sha256:" + QCryptographicHash::hash(piece.mid(9), QCryptographicHash::Sha256).toHex();
    }
    return pieces.join('&');
}

QByteArray LocalService::staticFile(const QString &name)
{
    QFile file(QStringLiteral(TAMBORO_SOURCE_DIR "/tools/static/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

quint16 LocalService::compiledInPort()
{
    return quint16(QUrl(QStringLiteral("http://" TAMBORO_AD_HOST)).port(80));
}
