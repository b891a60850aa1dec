// SPDX-License-Identifier: GPL-3.0-or-later
#include "QuillonAdDialog.h"

#include "QuillonAdWidget.h"
#include "SafeLink.h"

#include <QBuffer>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int TickMs = 1000;
constexpr int RowSpacing = 10;

const QColor Black(0, 0, 0, 255);
const QColor White(255, 255, 255, 255);

// A widget between two stretches, so it sits in the middle of its row.
QHBoxLayout *centredRow(QWidget *widget)
{
    auto *row = new QHBoxLayout;
    row->addStretch(0);
    row->addWidget(widget);
    row->addStretch(0);
    return row;
}

// A window manager's frame is known only once a window is shown; this much room is kept
// for borders and a title bar, as Qt itself assumes when it places a dialog.
const QSize FrameAllowance(10, 40);

} // namespace

QuillonAdDialog::QuillonAdDialog(const QByteArray &logoData, const QByteArray &imageData, const QString &adUrl,
    const QString &adText, bool showAdText, const QString &leftButtonText, const QString &rightButtonText,
    bool skipOnLeft, int countdownSeconds, const QString &skipInText, QWidget *parent)
    : QDialog(parent)
    , skipInText(skipInText)
    , leftButtonText(leftButtonText)
    , rightButtonText(rightButtonText)
    , skipOnLeft(skipOnLeft)
    , adUrl(adUrl)
    , logoData(logoData)
{
    adWidget = new QuillonAdWidget(this, imageData, adUrl, showAdText, adText);
    connect(adWidget, &QuillonAdWidget::adLinkActivated, this, &QuillonAdDialog::linkClickedHandler);

    // These fall-backs are deliberately untranslated: they only cover a caller that forgot a caption.
    if (leftButtonText.isEmpty() || rightButtonText.isEmpty()) {
        this->leftButtonText = QStringLiteral("Skip");
        this->rightButtonText = QStringLiteral("Click");
        this->skipOnLeft = true;
    }

    secondsLeft = countdownSeconds > 0 ? countdownSeconds : -1;

    applyPalette();
    setLayout(buildLayout());
    keepFixedSize();
    unscaledFont = font();
    unscaledMargins = layout()->contentsMargins();
    fitPicturesToScreen();
    startCountdown();

    adWidget->setFocus(Qt::OtherFocusReason);
}

QuillonAdDialog::~QuillonAdDialog() = default;

void QuillonAdDialog::applyPalette()
{
    const QBrush black(Black, Qt::SolidPattern);
    const QBrush white(White, Qt::SolidPattern);
    QPalette palette;
    palette.setBrush(QPalette::Active, QPalette::Base, black);
    palette.setBrush(QPalette::Inactive, QPalette::Base, black);
    palette.setBrush(QPalette::Disabled, QPalette::Base, white);
    for (const auto group : { QPalette::Active, QPalette::Inactive, QPalette::Disabled })
        palette.setBrush(group, QPalette::Window, white);
    setPalette(palette);
}

QLayout *QuillonAdDialog::buildLayout()
{
    auto *logoLabel = new QLabel(this);
    logoLabel->setObjectName(QStringLiteral("label"));
    logoLabel->setAlignment(Qt::AlignCenter);
    QHBoxLayout *logoRow = centredRow(logoLabel);

    QHBoxLayout *bannerRow = centredRow(adWidget);

    skipLabel = new QLabel(this);
    skipLabel->setObjectName(QStringLiteral("labelSkip"));
    skipLabel->setAlignment(Qt::AlignCenter);
    QPalette skipPalette;
    const QBrush black(Black, Qt::SolidPattern);
    skipPalette.setBrush(QPalette::Active, QPalette::WindowText, black);
    skipPalette.setBrush(QPalette::Inactive, QPalette::WindowText, black);
    skipLabel->setPalette(skipPalette);
    skipLabel->setText(countdownText());
    QHBoxLayout *countdownRow = centredRow(skipLabel);

    auto *mainLayout = new QVBoxLayout;
    mainLayout->addLayout(logoRow);
    mainLayout->addSpacing(RowSpacing);
    mainLayout->addLayout(bannerRow);
    mainLayout->addSpacing(RowSpacing);
    mainLayout->addLayout(countdownRow);
    mainLayout->addLayout(buttonRow());
    return mainLayout;
}

// The dialog is as large as its content and no larger: no maximise button, no resizing
// (its window announces equal least and most sizes). A shell that gives the window some
// other size all the same (a kiosk fills the screen) finds the content centred in it.
// On Wayland the frame is Qt's own, which offers maximise whatever the flags say, and a
// window that is maximised yet keeps its size breaks the protocol: the compositor ends
// the whole game. There the dialog has no frame; Escape and its buttons close it.
void QuillonAdDialog::keepFixedSize()
{
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    setWindowFlag(Qt::WindowMinimizeButtonHint, false);
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        setWindowFlag(Qt::FramelessWindowHint);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    layout()->setAlignment(Qt::AlignCenter);
}

void QuillonAdDialog::setScale(qreal scale)
{
    if (scale <= 0 || qFuzzyCompare(scale, this->scale))
        return;
    this->scale = scale;
    applyScale();
    fitPicturesToScreen();
    // The window takes its new size now, before the platform maps it.
    layout()->activate();
}

void QuillonAdDialog::applyScale()
{
    QFont scaled = unscaledFont;
    if (unscaledFont.pointSizeF() > 0)
        scaled.setPointSizeF(unscaledFont.pointSizeF() * scale);
    else
        scaled.setPixelSize(qMax(1, qRound(unscaledFont.pixelSize() * scale)));
    setFont(scaled);

    const auto times = [this](int pixels) { return qRound(pixels * scale); };
    layout()->setContentsMargins(times(unscaledMargins.left()), times(unscaledMargins.top()),
        times(unscaledMargins.right()), times(unscaledMargins.bottom()));
    const QList<QLayout *> layouts = findChildren<QLayout *>();
    for (QLayout *box : layouts) {
        for (int i = 0; i < box->count(); ++i) {
            QSpacerItem *spacer = box->itemAt(i)->spacerItem();
            if (!spacer || spacer->sizeHint().isNull())
                continue;
            if (spacer->sizePolicy().horizontalPolicy() == QSizePolicy::Fixed)
                spacer->changeSize(times(RowSpacing), 0, QSizePolicy::Fixed, QSizePolicy::Minimum);
            else
                spacer->changeSize(0, times(RowSpacing), QSizePolicy::Minimum, QSizePolicy::Fixed);
        }
    }
    // A style gives a push button a least width of its own, which would keep a dialog drawn
    // smaller than 1:1 wider than its pictures; the two buttons share the pictures' width.
    const QSizePolicy::Policy buttonWidth = scale < 1 ? QSizePolicy::Ignored : QSizePolicy::Minimum;
    for (QPushButton *button : findChildren<QPushButton *>())
        button->setSizePolicy(buttonWidth, button->sizePolicy().verticalPolicy());
    layout()->invalidate();
}

// The pictures are drawn at the dialog's scale, and the dialog never grows past the
// available room of the screen it shows on. When the logo and the picture do not fit beside
// the countdown and the buttons, both are scaled down by one factor, each also to the
// screen's width, keeping their aspect. Only the headers are read until the sizes are known,
// so a picture of a few kilobytes and thousands of pixels is never decoded at full size
// here; the logo is decoded at the screen's own pixels, so it stays sharp on a dense screen.
void QuillonAdDialog::fitPicturesToScreen()
{
    auto *logoLabel = findChild<QLabel *>(QStringLiteral("label"));
    auto *imageLabel = adWidget->findChild<QLabel *>(QStringLiteral("lblAdImageCtrl"));
    QBuffer logoBytes;
    logoBytes.setData(logoData);
    logoBytes.open(QIODevice::ReadOnly);
    QImageReader logoReader(&logoBytes);
    const QSize logoSize = logoReader.size();
    const QSize pictureSize = adWidget->naturalPictureSize();
    const QSize logoWanted = logoSize.isValid() ? (QSizeF(logoSize) * scale).toSize() : logoSize;
    const QSize pictureWanted = pictureSize.isValid() ? (QSizeF(pictureSize) * scale).toSize() : pictureSize;
    const QSize room = screen() ? screen()->availableSize() - FrameAllowance : QSize();

    layout()->activate();
    const QSize hint = sizeHint();
    const QMargins margins = layout()->contentsMargins();
    const int others = hint.height() - logoLabel->sizeHint().height() - imageLabel->sizeHint().height();
    const int pictures = qMax(0, logoWanted.height()) + qMax(0, pictureWanted.height());
    const qreal factor = room.isValid() && pictures > 0 && others + pictures > room.height()
        ? qMax(0, room.height() - others) / qreal(pictures)
        : 1.0;
    const int width = room.isValid() ? room.width() - margins.left() - margins.right() : QWIDGETSIZE_MAX;
    const auto box = [factor](int width, const QSize &size) { return QSize(width, int(size.height() * factor)); };

    const QSize logoShown = fittedPictureSize(logoWanted, box(width, logoWanted));
    const qreal pixelRatio = devicePixelRatioF();
    if (logoShown == logoSize && qFuzzyCompare(pixelRatio, 1.0)) {
        logo.loadFromData(logoData);
    } else if (logoShown.isValid()) {
        logoReader.setScaledSize((QSizeF(logoShown) * pixelRatio).toSize());
        logo = QPixmap::fromImage(logoReader.read());
        logo.setDevicePixelRatio(pixelRatio);
    }
    logoLabel->setPixmap(logo);
    const int bannerFrame = adWidget->sizeHint().width() - imageLabel->sizeHint().width();
    if (pictureSize.isValid()) {
        const QSize shown = fittedPictureSize(pictureWanted, box(width - bannerFrame, pictureWanted));
        if (shown == pictureSize)
            adWidget->setPictureRoom(shown);
        else
            adWidget->setPictureSize(shown);
    }
    layout()->invalidate();
}

// The texts stay where they were given; only the wiring follows skipOnLeft, so a caller that
// wants skipping on the right passes its caption as the right text.
QHBoxLayout *QuillonAdDialog::buttonRow()
{
    auto *left = new QPushButton(leftButtonText, this);
    left->setObjectName(QStringLiteral("btnLeft"));
    auto *right = new QPushButton(rightButtonText, this);
    right->setObjectName(QStringLiteral("btnRight"));

    QPushButton *skip = skipOnLeft ? left : right;
    QPushButton *open = skipOnLeft ? right : left;
    connect(skip, &QPushButton::clicked, this, &QuillonAdDialog::onSkipPressed);
    connect(open, &QPushButton::clicked, this, &QuillonAdDialog::onClickPressed);

    auto *row = new QHBoxLayout;
    row->addWidget(left);
    row->addSpacing(RowSpacing);
    row->addWidget(right);
    return row;
}

void QuillonAdDialog::startCountdown()
{
    if (secondsLeft <= 0)
        return;
    countdownTimer = new QTimer(this);
    countdownTimer->setInterval(TickMs);
    countdownTimer->setSingleShot(true);
    connect(countdownTimer, &QTimer::timeout, this, &QuillonAdDialog::onTimeOut);
    // Escape or closing the window ends the dialog too; no tick may follow any ending.
    connect(this, &QDialog::finished, countdownTimer, &QTimer::stop);
    countdownTimer->start();
}

void QuillonAdDialog::stopCountdown()
{
    if (countdownTimer && countdownTimer->isActive())
        countdownTimer->stop();
}

QString QuillonAdDialog::countdownText() const
{
    if (secondsLeft <= 0)
        return QString();
    return QStringLiteral("<b>%1 %2</b>").arg(skipInText, QString::number(secondsLeft));
}

void QuillonAdDialog::openAd(const QUrl &url)
{
    stopCountdown();
    // Only web links leave the game; anything else still counts as opened, so a fresh ad follows.
    if (isWebLink(url))
        QDesktopServices::openUrl(url);
    accept();
}

void QuillonAdDialog::onClickPressed()
{
    openAd(adUrl);
}

void QuillonAdDialog::onSkipPressed()
{
    stopCountdown();
    reject();
}

void QuillonAdDialog::linkClickedHandler(const QUrl &url)
{
    openAd(url);
}

void QuillonAdDialog::onTimeOut()
{
    --secondsLeft;
    if (secondsLeft <= 0) {
        reject();
        return;
    }
    skipLabel->setText(countdownText());
    countdownTimer->start();
}
