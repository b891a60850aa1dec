// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QPixmap>
#include <QString>
#include <QUrl>

class QHBoxLayout;
class QLabel;
class QTimer;
class QuillonAdWidget;

// The interstitial: logo, banner, a "Skip in N" countdown and two buttons. Accepted means the
// player opened the ad; Rejected means it was skipped, timed out or dismissed. One showing only.
class QuillonAdDialog : public QDialog {
    Q_OBJECT

public:
    QuillonAdDialog(const QByteArray &logoData, const QByteArray &imageData, const QString &adUrl,
        const QString &adText, bool showAdText, const QString &leftButtonText, const QString &rightButtonText,
        bool skipOnLeft, int countdownSeconds, const QString &skipInText, QWidget *parent);
    ~QuillonAdDialog() override;

    // Draws the dialog this many times its own size, text, spacing and pictures alike, as
    // the scene it is shown over is drawn; it still never grows past the screen.
    void setScale(qreal scale);

private slots:
    void onClickPressed();
    void onSkipPressed();
    void linkClickedHandler(const QUrl &url);
    void onTimeOut();

private:
    void applyPalette();
    QLayout *buildLayout();
    void keepFixedSize();
    void applyScale();
    void fitPicturesToScreen();
    QHBoxLayout *buttonRow();
    void startCountdown();
    void stopCountdown();
    QString countdownText() const;
    void openAd(const QUrl &url);

    QPixmap logo;
    QuillonAdWidget *adWidget = nullptr;
    QLabel *skipLabel = nullptr;
    QTimer *countdownTimer = nullptr;
    qint32 secondsLeft = -1;
    QString skipInText;
    QString leftButtonText;
    QString rightButtonText;
    bool skipOnLeft = true;
    QUrl adUrl;

    QByteArray logoData;
    qreal scale = 1;
    QFont unscaledFont;
    QMargins unscaledMargins;
};
