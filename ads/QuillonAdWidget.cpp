// SPDX-License-Identifier: GPL-3.0-or-later
#include "QuillonAdWidget.h"

#include <QBuffer>
#include <QEvent>
#include <QFontMetrics>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QMovie>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QtMath>

namespace {

// Longer ad texts are cut here and marked with "...", so the line fits under a banner.
constexpr int MaxTextLength = 30;
// Height in pixels the text line's font is shrunk to.
constexpr int MaxTextHeight = 15;

// Frames are shown no faster than the screen refreshes; a screen that does not say is
// taken to refresh 60 times a second.
constexpr qreal FallbackRefreshRate = 60;

int shortestFrameDelayMs(const QScreen *screen)
{
    const qreal rate = screen && screen->refreshRate() > 1 ? screen->refreshRate() : FallbackRefreshRate;
    return qCeil(1000 / rate);
}

QString shortened(const QString &text)
{
    if (text.size() > MaxTextLength)
        return text.left(MaxTextLength) + QStringLiteral("...");
    return text;
}

// Readers go first: the movie reads from the buffer, the buffer from the bytes.
void releaseImage(QMovie *movie, QBuffer *buffer, std::unique_ptr<QByteArray> bytes)
{
    delete movie;
    delete buffer;
    bytes.reset();
}

} // namespace

QSize fittedPictureSize(const QSize &size, const QSize &room)
{
    if (!size.isValid() || (size.width() <= room.width() && size.height() <= room.height()))
        return size;
    return size.scaled(room.expandedTo(QSize(1, 1)), Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

QuillonAdWidget::QuillonAdWidget(
    QWidget *parent, const QByteArray &imageData, const QString &adUrl, bool showAdText, const QString &adText)
    : QFrame(parent)
    , adUrl(adUrl)
    , adText(shortened(adText))
{
    installEventFilter(this);
    setFrameStyle(QFrame::Box | QFrame::Plain);
    // A screen reader names the banner, which has the focus when the dialog opens.
    setAccessibleName(tr("Ad"));
    setAccessibleDescription(this->adText);
    setLineWidth(1);

    imageLabel = new QLabel(this);
    imageLabel->setObjectName(QStringLiteral("lblAdImageCtrl"));
    imageLabel->setAlignment(Qt::AlignCenter);
    imageLabel->setFocusPolicy(Qt::NoFocus);

    if (const QScreen *shown = screen())
        pictureRoom = shown->availableSize() - QSize(2 * frameWidth(), 2 * frameWidth());

    if (!imageData.isEmpty())
        playImage(imageData);

    if (showAdText) {
        textLabel = new QLabel(this);
        textLabel->setObjectName(QStringLiteral("lblAdTextCtrl"));
        textLabel->setFocusPolicy(Qt::NoFocus);
        // The text comes from the network: shown as it is, never interpreted as markup.
        textLabel->setTextFormat(Qt::PlainText);
        textLabel->setText(this->adText);
        textLabel->setAlignment(Qt::AlignCenter);
        fitTextFont(MaxTextHeight);
    }

    auto *layout = new QVBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(imageLabel);
    if (textLabel)
        layout->addWidget(textLabel, 0, Qt::AlignCenter);
    setLayout(layout);
}

QuillonAdWidget::~QuillonAdWidget()
{
    releaseImage(movie, imageBuffer, std::move(imageData));
}

void QuillonAdWidget::updateAd(const QByteArray &imageData, const QString &adUrl, const QString &adText)
{
    this->adText = shortened(adText);
    if (textLabel)
        textLabel->setText(this->adText);

    this->adUrl.clear();
    this->adUrl.setUrl(adUrl);

    replaceImage(imageData);
}

void QuillonAdWidget::replaceImage(const QByteArray &bytes)
{
    QMovie *oldMovie = movie;
    QBuffer *oldBuffer = imageBuffer;
    std::unique_ptr<QByteArray> oldBytes = std::move(imageData);
    playImage(bytes);
    releaseImage(oldMovie, oldBuffer, std::move(oldBytes));
}

void QuillonAdWidget::playImage(const QByteArray &bytes)
{
    auto newBytes = std::make_unique<QByteArray>(bytes);
    auto *newBuffer = new QBuffer(newBytes.get(), this);
    newBuffer->open(QIODevice::ReadOnly);
    auto *newMovie = new QMovie(newBuffer, QByteArray(), this);
    imageLabel->setMovie(newMovie);

    if (framePacer)
        framePacer->stop();
    imageData = std::move(newBytes);
    imageBuffer = newBuffer;
    movie = newMovie;
    // Only the header is read here; the frames are decoded at the size they are shown.
    QBuffer header(imageData.get());
    header.open(QIODevice::ReadOnly);
    QImageReader reader(&header);
    naturalSize = reader.size();
    QSize shown = pictureRoom.isEmpty() ? naturalSize : fittedPictureSize(naturalSize, pictureRoom);
    if (exactPictureSize && naturalSize.isValid())
        shown = pictureRoom;
    if (shown != naturalSize)
        movie->setScaledSize(shown);
    connect(movie, &QMovie::finished, this, &QuillonAdWidget::onMovieFinished);
    if (reader.supportsAnimation())
        connect(movie, &QMovie::frameChanged, this, &QuillonAdWidget::paceFrames);
    sinceResumed.start();
    movie->start();
}

void QuillonAdWidget::setPictureRoom(const QSize &room)
{
    pictureRoom = room;
    exactPictureSize = false;
    const QSize shown = shownPictureSize();
    // A movie keeps the size of the frame it has shown; a new one starts at the new size.
    if (!shown.isValid() || (shown.width() <= room.width() && shown.height() <= room.height()))
        return;
    replaceImage(QByteArray(*imageData));
    // Before the banner is first shown, size changes are not passed on by themselves.
    layout()->invalidate();
    updateGeometry();
}

void QuillonAdWidget::setPictureSize(const QSize &size)
{
    const QSize shown = shownPictureSize();
    if (!shown.isValid() || !size.isValid() || size == shown)
        return;
    pictureRoom = size;
    exactPictureSize = true;
    replaceImage(QByteArray(*imageData));
    layout()->invalidate();
    updateGeometry();
}

QSize QuillonAdWidget::shownPictureSize() const
{
    if (!movie || !naturalSize.isValid())
        return QSize();
    return movie->scaledSize().isValid() ? movie->scaledSize() : naturalSize;
}

int QuillonAdWidget::frameHoldMs() const
{
    return framePacer && framePacer->isActive() ? framePacer->interval() : -1;
}

// A movie counts the time a frame took to decode against that frame's delay, so a large
// animation whose frames decode slower than they ask to wait shows them back to back and
// keeps the game's one thread busy. Such an animation waits at least one screen refresh
// between frames, and at least as long as the last frame took, so it leaves the thread at
// least half free.
void QuillonAdWidget::paceFrames()
{
    const int shortest = shortestFrameDelayMs(screen());
    if (movie->state() != QMovie::Running || movie->nextFrameDelay() >= shortest)
        return;
    if (!framePacer) {
        framePacer = new QTimer(this);
        framePacer->setSingleShot(true);
        connect(framePacer, &QTimer::timeout, this, [this] {
            sinceResumed.start();
            movie->setPaused(false);
        });
    }
    movie->setPaused(true);
    framePacer->start(qMax<qint64>(shortest, sinceResumed.elapsed()));
}

// The last frame stays on the label when a movie ends; nothing else is due.
void QuillonAdWidget::onMovieFinished()
{
}

void QuillonAdWidget::fitTextFont(int maxHeight)
{
    static const QString sample = QStringLiteral("Test Text");
    QFont font = textLabel->font();
    // A font sized in pixels reports point size -1, so it is shrunk by its pixel size instead.
    const bool byPixels = font.pointSize() <= 0;
    const auto size = [&font, byPixels] { return byPixels ? font.pixelSize() : font.pointSize(); };

    // Stops at size 1 or at the first size the font does not take, so no font loops forever.
    while (QFontMetrics(font).boundingRect(sample).height() > maxHeight && size() > 1) {
        const int before = size();
        if (byPixels)
            font.setPixelSize(before - 1);
        else
            font.setPointSize(before - 1);
        if (size() == before)
            break;
    }
    textLabel->setFont(font);
}

bool QuillonAdWidget::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != this)
        return QFrame::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::MouseButtonRelease:
        emit adLinkActivated(adUrl);
        return false;
    case QEvent::KeyPress: {
        // Return is left to the dialog's default button; only the select key and Enter open the ad.
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Select || key == Qt::Key_Enter)
            emit adLinkActivated(adUrl);
        return false;
    }
    default:
        return QFrame::eventFilter(watched, event);
    }
}
