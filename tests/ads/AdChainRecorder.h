// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ChildProcess.h"
#include "LocalService.h"
#include "QuillonAdModule.h"
#include "QuillonAdWidget.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QMovie>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>

inline const QString AdPath = LocalService::AdPath;
inline const QString LogoPath = LocalService::LogoPath;
inline const QString ModuleUserAgent = QStringLiteral("Mozilla/5.0 (X11; U; Linux armv7l; fi-FI; rv:1.9.2a1pre) "
                                                      "Gecko/20090928 Firefox/3.5 Maemo Browser 1.4.1.15 RX-51 N900");

// Where the module keeps the client id of one application.
inline QSettings clientSettings(const QString &appId = QStringLiteral("Kelto_Tamboro_Qt"))
{
    return QSettings(QStringLiteral("Quillon"), appId);
}
inline QString storedClientId(const QString &appId = QStringLiteral("Kelto_Tamboro_Qt"))
{
    return clientSettings(appId).value(QStringLiteral("cid")).toString();
}

// A file of the test's own data folder.
inline QByteArray testData(const QString &name)
{
    QFile file(QFINDTESTDATA(QStringLiteral("data/") + name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Lets an animation play a few frames and returns what went wrong with its pacing, or "" when
// after every frame the movie waits a screen refresh itself, or the banner holds it that long
// and as long as the frame took since its resume (timed inside the banner's own span).
inline QString framePacingFault(const QuillonAdWidget &banner, QMovie *movie, int framesToCheck = 3)
{
    const qreal refreshRate = banner.screen() ? banner.screen()->refreshRate() : 0;
    const int shortestMs = refreshRate > 1 ? int(1000 / refreshRate) : 16;
    QObject context;
    QElapsedTimer sinceResumed;
    qint64 took = 0;
    int checked = 0;
    QString fault;
    QObject::connect(movie, &QMovie::stateChanged, &context, [&](QMovie::MovieState state) {
        if (state == QMovie::Running)
            sinceResumed.start();
    });
    QObject::connect(
        movie, &QMovie::updated, &context, [&] { took = sinceResumed.isValid() ? sinceResumed.elapsed() : 0; });
    QObject::connect(movie, &QMovie::frameChanged, &context, [&] {
        const bool waitsItself = movie->state() == QMovie::Running && movie->nextFrameDelay() >= shortestMs;
        const bool held
            = movie->state() == QMovie::Paused && banner.frameHoldMs() >= std::max<qint64>(shortestMs, took);
        if (!waitsItself && !held && fault.isEmpty())
            fault = QStringLiteral("frame %1 took %2 ms; then the movie waited %3 ms, held %4 ms")
                        .arg(checked)
                        .arg(took)
                        .arg(movie->nextFrameDelay())
                        .arg(banner.frameHoldMs());
        sinceResumed.invalidate();
        ++checked;
    });
    if (!QTest::qWaitFor([&] { return checked >= framesToCheck; }, 60000))
        return QStringLiteral("only %1 frames in a minute").arg(checked);
    return fault;
}

// Every signal of one module, with the busy and ready flags a receiver sees at that moment.
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

    QStringList events; // "name busy=0|1 ready=0|1"
    QString lastError;

    int endings() const { return int(events.size() - events.filter(QStringLiteral("startReloadAd ")).size()); }

    // Waits for the chain in flight to end with one of its three final signals.
    bool waitForEnd(int timeoutMs = 15000)
    {
        const int before = endings();
        return QTest::qWaitFor([&] { return endings() > before; }, timeoutMs);
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

// How many of a dialog's buttons reach past the screen it shows on.
inline int buttonsOffScreen(const QDialog &dialog)
{
    const QRect screen = dialog.screen()->availableGeometry();
    const QList<QPushButton *> buttons = dialog.findChildren<QPushButton *>();
    return int(std::count_if(buttons.cbegin(), buttons.cend(), [&](const QPushButton *each) {
        return !screen.contains(QRect(each->mapToGlobal(QPoint(0, 0)), each->size()));
    }));
}

// Answers each modal ad dialog as the player would once it has been up holdMs: presses the
// button named `answer`, closes the window for "close", leaves it to its countdown for "".
// Counts them and every button that reached past its screen.
class DialogAnswerer {
public:
    explicit DialogAnswerer(const QString &answer = QStringLiteral("btnLeft"))
        : answer(answer)
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { look(); });
        m_timer.start(30);
    }

    QString answer;
    int holdMs = 0;
    int shown = 0;
    int offScreen = 0;
    QString pressed;
    std::function<void()> onShown;

    // True when start() returned without a dialog and without an event loop of its own.
    bool showsNothing(const std::function<void()> &start)
    {
        const int before = shown;
        QObject context;
        bool waited = false;
        QTimer::singleShot(0, &context, [&] { waited = true; });
        start();
        return !waited && shown == before && !QApplication::activeModalWidget();
    }

private:
    void look()
    {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog || dialog == m_answered)
            return;
        if (dialog != m_seen) {
            m_seen = dialog;
            m_since.start();
            ++shown;
            offScreen += buttonsOffScreen(*dialog);
            if (onShown)
                onShown();
        }
        if (answer.isEmpty() || m_since.elapsed() < holdMs)
            return;
        m_answered = dialog;
        if (answer == QLatin1String("close")) {
            dialog->close();
        } else if (auto *button = dialog->findChild<QPushButton *>(answer)) {
            pressed = button->text();
            button->click();
        }
    }

    QTimer m_timer;
    QPointer<QDialog> m_answered;
    QPointer<QDialog> m_seen;
    QElapsedTimer m_since;
};

// Every URL handed to the platform's browser, whatever its scheme.
class OpenedUrls : public QObject {
    Q_OBJECT

public:
    OpenedUrls() { handleSchemes(true); }
    ~OpenedUrls() override { handleSchemes(false); }

    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls += url; }

private:
    void handleSchemes(bool handled)
    {
        for (const QString scheme : { "http", "https", "file", "javascript", "ftp", "myapp" })
            handled ? QDesktopServices::setUrlHandler(scheme, this, "open") : QDesktopServices::unsetUrlHandler(scheme);
    }
};
