// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFrame>
#include <QSize>
#include <QString>
#include <QUrl>

#include <memory>

class QBuffer;
class QLabel;
class QMovie;
class QTimer;

// The size of a picture no larger than room, keeping its aspect; a picture that fits, or
// has no size, stays as it is.
QSize fittedPictureSize(const QSize &size, const QSize &room);

// The ad banner: plays the ad's image (still or animated, format taken from the bytes) with an
// optional one-line text below it, and reports taps and the select/Enter keys as
// adLinkActivated. It never opens anything itself.
class QuillonAdWidget : public QFrame {
    Q_OBJECT

public:
    QuillonAdWidget(
        QWidget *parent, const QByteArray &imageData, const QString &adUrl, bool showAdText, const QString &adText);
    ~QuillonAdWidget() override;

    void updateAd(const QByteArray &imageData, const QString &adUrl, const QString &adText);

    // The picture is never shown larger than this (at first the screen's available size);
    // a larger one is scaled down to fit, keeping its aspect.
    void setPictureRoom(const QSize &room);
    // The picture is shown at exactly this size, larger or smaller than the file's.
    void setPictureSize(const QSize &size);
    // The picture as the file gives it, and as it is shown; invalid without a picture.
    QSize naturalPictureSize() const { return naturalSize; }
    QSize shownPictureSize() const;
    // How long an animation is held before its next frame, or -1 when it is not held.
    int frameHoldMs() const;

    bool eventFilter(QObject *watched, QEvent *event) override;

signals:
    void adLinkActivated(const QUrl &adUrl);

private slots:
    void onMovieFinished();

private:
    void fitTextFont(int maxHeight);
    void playImage(const QByteArray &bytes);
    void replaceImage(const QByteArray &bytes);
    void paceFrames();

    QLabel *imageLabel = nullptr;
    QLabel *textLabel = nullptr;
    QMovie *movie = nullptr;
    QUrl adUrl;
    QString adText;
    // Read by imageBuffer, which is read by movie: released only after both are gone.
    std::unique_ptr<QByteArray> imageData;
    QBuffer *imageBuffer = nullptr;
    QSize pictureRoom;
    bool exactPictureSize = false;
    QSize naturalSize;
    // Holds an animation whose frames come faster than the screen shows them.
    QTimer *framePacer = nullptr;
    QElapsedTimer sinceResumed;
};
