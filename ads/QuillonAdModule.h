// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkReply;
class QTimer;
class QWidget;
class QuillonAdWidget;

// The client of the ad network: fetches the network's logo once, then an ad description
// and its picture, one download after the other, and shows the held ad in the
// interstitial dialog or hands it to a banner.
class QuillonAdModule : public QObject {
    Q_OBJECT

public:
    enum RequestStage { StageNone = -1, StageLogo = 0, StageAdXml = 1, StageAdImage = 2 };

    enum Result {
        ResultOk = 1,
        ErrorBusy = -1,
        ErrorValueTooLong = -2,
        ErrorNoApplicationId = -3,
        ErrorNoAd = -4,
        ErrorNoWidget = -5,
    };

    static constexpr int ParameterCount = 9;
    static constexpr int MaxParameterLength = 256;
    // What slot 0 holds until it is set: the game's portal.
    static inline const QString DefaultPortalNumber = QStringLiteral("551");

    QuillonAdModule(QObject *parent, const QString &appId, unsigned reloadSeconds);
    ~QuillonAdModule() override;

    int setParameter(unsigned index, const QString &value);
    int showAdDialog(QWidget *parent, int countdownSeconds, const QString &skipInText, const QString &leftButtonText,
        const QString &rightButtonText, bool skipOnLeft, bool showAdText);
    int clickAd();
    QuillonAdWidget *createAdWidget(QWidget *parent, bool showAdText);
    int updateAdWidget(QuillonAdWidget *widget);

    // What the module holds, for owners that want more than the signals tell.
    bool isBusy() const { return busy; }
    bool isAdReady() const { return adReady; }
    int requestStage() const { return stage; }
    QUrl lastRequestUrl() const { return requestUrl; }
    QString currentAdText() const { return adText; }
    QString currentAdUrl() const { return adUrl; }
    QString currentAdImageUrl() const { return adImageUrl; }
    QString currentClientId() const { return clientId; }
    QByteArray currentLogoData() const { return logoData; }
    QByteArray currentImageData() const { return imageData; }

signals:
    void startReloadAd();
    void networkError(QString networkError);
    void adDataReady();
    void adDataCorrupted();

public slots:
    int requestAd();

private slots:
    void httpFinished();
    void httpReadyRead();
    void linkClickedHandler(QUrl url);

protected:
    // Reads one ad reply into the ad fields and the client id; false when it is not a
    // well-formed ad document. Reachable from a subclass so a test can feed it replies.
    bool parseAdReply(const QByteArray &body);

private:
    void startRequest(const QUrl &url);
    void requestAdImage();
    void buildRequestUrl();
    void loadClientId();
    void saveClientId() const;
    void releaseReply();
    void failChain(const QString &text);
    void startReloadTimer();
    qint64 bodyLimit() const;

    bool logoLoaded = false;
    int stage = StageNone;
    QUrl requestUrl;
    QNetworkAccessManager networkManager;
    QNetworkReply *currentReply = nullptr;
    bool adReady = false;
    bool busy = false;
    QTimer *reloadTimer = nullptr;
    QString parameters[ParameterCount];
    int reloadSeconds = 120;
    QByteArray logoData;
    QByteArray imageData;
    QString adText;
    QString adUrl;
    QString adImageUrl;
    QString appId;
    QString sdkVersion;
    QString clientId;
    QString userAgent;
};
