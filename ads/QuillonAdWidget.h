#pragma once

#include <QByteArray>
#include <QFrame>
#include <QString>
#include <QUrl>

#include <memory>

class QBuffer;
class QLabel;
class QMovie;

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

    bool eventFilter(QObject *watched, QEvent *event) override;

signals:
    void adLinkActivated(const QUrl &adUrl);

private slots:
    void onMovieFinished();

private:
    void fitTextFont(int maxHeight);
    void playImage(const QByteArray &bytes);

    QLabel *imageLabel = nullptr;
    QLabel *textLabel = nullptr;
    QMovie *movie = nullptr;
    QUrl adUrl;
    QString adText;
    // Read by imageBuffer, which is read by movie: released only after both are gone.
    std::unique_ptr<QByteArray> imageData;
    QBuffer *imageBuffer = nullptr;
};
