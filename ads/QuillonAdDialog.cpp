// SPDX-License-Identifier: GPL-3.0-or-later
#include "QuillonAdDialog.h"

#include "QuillonAdWidget.h"
#include "SafeLink.h"

#include <QBuffer>
#include <QDesktopServices>
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
    fitPicturesToScreen(logoData);
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

// The dialog never grows past the available room of the screen it shows on. When the logo
// and the picture do not fit beside the countdown and the buttons, both are scaled down by
// one factor, each also to the screen's width, keeping their aspect; pictures that fit are
// shown as they come. Only the headers are read until the sizes are known, so a picture of
// a few kilobytes and thousands of pixels is never decoded at full size here.
void QuillonAdDialog::fitPicturesToScreen(const QByteArray &logoData)
{
    auto *logoLabel = findChild<QLabel *>(QStringLiteral("label"));
    auto *imageLabel = adWidget->findChild<QLabel *>(QStringLiteral("lblAdImageCtrl"));
    QBuffer logoBytes;
    logoBytes.setData(logoData);
    logoBytes.open(QIODevice::ReadOnly);
    QImageReader logoReader(&logoBytes);
    const QSize logoSize = logoReader.size();
    const QSize pictureSize = adWidget->naturalPictureSize();
    const QSize room = screen() ? screen()->availableSize() - FrameAllowance : QSize();

    layout()->activate();
    const QSize hint = sizeHint();
    const QMargins margins = layout()->contentsMargins();
    const int others = hint.height() - logoLabel->sizeHint().height() - imageLabel->sizeHint().height();
    const int pictures = qMax(0, logoSize.height()) + qMax(0, pictureSize.height());
    const qreal factor = room.isValid() && pictures > 0 && others + pictures > room.height()
        ? qMax(0, room.height() - others) / qreal(pictures)
        : 1.0;
    const int width = room.isValid() ? room.width() - margins.left() - margins.right() : QWIDGETSIZE_MAX;
    const auto box = [factor](int width, const QSize &size) { return QSize(width, int(size.height() * factor)); };

    const QSize logoShown = fittedPictureSize(logoSize, box(width, logoSize));
    if (logoShown == logoSize) {
        logo.loadFromData(logoData);
    } else {
        logoReader.setScaledSize(logoShown);
        logo = QPixmap::fromImage(logoReader.read());
    }
    logoLabel->setPixmap(logo);
    const int bannerFrame = adWidget->sizeHint().width() - imageLabel->sizeHint().width();
    if (pictureSize.isValid())
        adWidget->setPictureRoom(fittedPictureSize(pictureSize, box(width - bannerFrame, pictureSize)));
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
