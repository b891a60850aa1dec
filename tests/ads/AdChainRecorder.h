#pragma once

#include "QuillonAdModule.h"

#include <QDesktopServices>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QStringList>
#include <QTest>
#include <QUrl>

// Writes down every signal of one module together with the flags a receiver sees at that
// moment, so a test can check the order of signals against busy and adReady.
class AdChainRecorder {
public:
    explicit AdChainRecorder(QuillonAdModule *module)
        : m_module(module)
    {
        QObject::connect(module, &QuillonAdModule::startReloadAd, &m_context, [this] { note("startReloadAd"); });
        QObject::connect(module, &QuillonAdModule::adDataReady, &m_context, [this] { note("adDataReady"); });
        QObject::connect(module, &QuillonAdModule::adDataCorrupted, &m_context, [this] { note("adDataCorrupted"); });
        QObject::connect(module, &QuillonAdModule::networkError, &m_context, [this](const QString &text) {
            lastError = text;
            note("networkError");
        });
    }

    // "name busy=0|1 ready=0|1" for every signal so far.
    QStringList events;
    QString lastError;

    int endings() const
    {
        int count = 0;
        for (const QString &event : events) {
            if (!event.startsWith(QLatin1String("startReloadAd")))
                ++count;
        }
        return count;
    }

    // Waits for the chain in flight to end with one of its three final signals.
    bool waitForEnd(int timeoutMs = 15000)
    {
        const int before = endings();
        return QTest::qWaitFor([&] { return endings() > before; }, timeoutMs);
    }

    QStringList names() const
    {
        QStringList result;
        for (const QString &event : events)
            result += event.section(QLatin1Char(' '), 0, 0);
        return result;
    }

private:
    void note(const char *name)
    {
        events += QStringLiteral("%1 busy=%2 ready=%3")
                      .arg(QLatin1String(name))
                      .arg(int(m_module->isBusy()))
                      .arg(int(m_module->isAdReady()));
    }

    QuillonAdModule *m_module;
    QObject m_context;
};

// Every URL handed to the platform's browser, whatever its scheme.
class OpenedUrls : public QObject {
    Q_OBJECT

public:
    OpenedUrls()
    {
        for (const char *scheme : { "http", "https", "file", "javascript", "ftp" })
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
    }
    ~OpenedUrls() override
    {
        for (const char *scheme : { "http", "https", "file", "javascript", "ftp" })
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }

    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls += url; }
};

// The query as a server splits and decodes it: '&' between pairs, '+' as a space, then
// percent escapes as UTF-8.
inline QList<QPair<QString, QString>> serverQueryPairs(const QString &rawQuery)
{
    auto decode = [](QString part) {
        part.replace(QLatin1Char('+'), QLatin1Char(' '));
        return QUrl::fromPercentEncoding(part.toLatin1());
    };
    QList<QPair<QString, QString>> pairs;
    const QStringList parts = rawQuery.split(QLatin1Char('&'), Qt::SkipEmptyParts);
    for (const QString &part : parts)
        pairs += qMakePair(decode(part.section(QLatin1Char('='), 0, 0)), decode(part.section(QLatin1Char('='), 1)));
    return pairs;
}

inline QStringList loggedPaths(const QList<QJsonObject> &requests)
{
    QStringList paths;
    for (const QJsonObject &request : requests)
        paths += request.value(QStringLiteral("path")).toString();
    return paths;
}
