// SPDX-License-Identifier: GPL-3.0-or-later
#include "QuillonAdModule.h"
#include "QuillonAdDialog.h"
#include "QuillonAdWidget.h"
#include "ReplyGuards.h"
#include "SafeLink.h"
#include "ServiceAddress.h"
#include "tamboro_config.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QDomDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QTimer>

namespace {

const QUrl RequestBaseUrl(QStringLiteral("http://" TAMBORO_AD_HOST "/simpleM2M/clientRequestAd"));
const QUrl LogoUrl(QStringLiteral("http://" TAMBORO_AD_HOST "/quillon_logo.png"));
const QString SettingsOrganisation = QStringLiteral("Quillon");
const QString ClientIdKey = QStringLiteral("cid");
// The ad client's version, sent twice in the "v" value.
const QString ClientVersion = QStringLiteral("1.5.2");
const QString UserAgent = QStringLiteral("Mozilla/5.0 (X11; U; Linux armv7l; fi-FI; rv:1.9.2a1pre) "
                                         "Gecko/20090928 Firefox/3.5 Maemo Browser 1.4.1.15 RX-51 N900");

// Longer intervals are taken as a mistake; a day is the longest reload the network expects.
constexpr unsigned MaxReloadSeconds = 86400;

// A picture is a few kilobytes, so anything this big is a broken or hostile server and is
// not buffered.
constexpr qint64 MaxPictureBytes = 8 * MiB;

// The query keys of the nine parameter slots; slot 0 ("po") goes before the client id,
// the others after it.
const char *const SlotKeys[QuillonAdModule::ParameterCount] = { "po", "eid", "a", "g", "mn", "k", "c", "l", "lg" };

// QUrlQuery leaves '+' literal, which servers read as a space; every reserved character
// is escaped so each value arrives exactly as it was set. ',' may stay: it separates the
// keywords and means nothing to the query syntax.
QString encodedPair(const char *key, const QString &value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(QString::fromLatin1(key)) + '='
        + QUrl::toPercentEncoding(value, QByteArrayLiteral(",")));
}

} // namespace

QuillonAdModule::QuillonAdModule(QObject *parent, const QString &appId, unsigned reloadSeconds)
    : QObject(parent)
    , appId(appId)
    , sdkVersion(ClientVersion)
{
    parameters[0] = DefaultPortalNumber;
    loadClientId();
    userAgent = UserAgent;
    if (reloadSeconds <= MaxReloadSeconds)
        this->reloadSeconds = int(reloadSeconds);

    reloadTimer = new QTimer(this);
    if (this->reloadSeconds != 0) {
        reloadTimer->setInterval(this->reloadSeconds * 1000);
        reloadTimer->setSingleShot(true);
    }
    connect(reloadTimer, &QTimer::timeout, this, &QuillonAdModule::requestAd);
}

QuillonAdModule::~QuillonAdModule()
{
    // The manager takes a reply in flight down with it; its last signals must not reach a
    // module that is half gone.
    if (currentReply)
        currentReply->disconnect(this);
}

int QuillonAdModule::setParameter(unsigned index, const QString &value)
{
    if (busy)
        return ErrorBusy;
    if (value.length() > MaxParameterLength)
        return ErrorValueTooLong;
    if (index < unsigned(ParameterCount))
        parameters[index] = value;
    return ResultOk;
}

int QuillonAdModule::requestAd()
{
    if (appId.isEmpty())
        return ErrorNoApplicationId;
    // The module holds one reply at a time, so a logo download in flight also counts.
    if (busy)
        return ErrorBusy;

    if (!logoLoaded) {
        stage = StageLogo;
        busy = true;
        startRequest(serviceUrl(LogoUrl));
        return ResultOk;
    }

    adReady = false;
    stage = StageAdXml;
    busy = true;
    emit startReloadAd();
    reloadTimer->stop();
    buildRequestUrl();
    adUrl.clear();
    adText.clear();
    adImageUrl.clear();
    startRequest(requestUrl);
    return ResultOk;
}

void QuillonAdModule::buildRequestUrl()
{
    QStringList pairs { encodedPair("aid", appId),
        encodedPair("v", QStringLiteral("Sm2m-%1-QT_%2").arg(ClientVersion, sdkVersion)),
        encodedPair("o", QStringLiteral("true")) };
    if (!parameters[0].isEmpty())
        pairs += encodedPair(SlotKeys[0], parameters[0]);
    if (!clientId.isEmpty())
        pairs += encodedPair("cid", clientId);
    for (int slot = 1; slot < ParameterCount; ++slot) {
        if (!parameters[slot].isEmpty())
            pairs += encodedPair(SlotKeys[slot], parameters[slot]);
    }
    pairs += encodedPair("time", QString::number(quint64(QDateTime::currentSecsSinceEpoch())));

    requestUrl = serviceUrl(RequestBaseUrl);
    requestUrl.setQuery(pairs.join(QLatin1Char('&')), QUrl::StrictMode);
}

void QuillonAdModule::startRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setRawHeader(QByteArrayLiteral("User-Agent"), userAgent.toLatin1());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    currentReply = networkManager.get(request);
    connect(currentReply, &QNetworkReply::finished, this, &QuillonAdModule::httpFinished);
    connect(currentReply, &QNetworkReply::readyRead, this, &QuillonAdModule::httpReadyRead);
}

qint64 QuillonAdModule::bodyLimit() const
{
    return stage == StageAdXml ? MaxAdXmlBytes : MaxPictureBytes;
}

void QuillonAdModule::httpReadyRead()
{
    if (!currentReply)
        return;
    const qint64 limit = bodyLimit();
    const qint64 announced = currentReply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    if (currentReply->bytesAvailable() <= limit && announced <= limit)
        return;

    QString what;
    switch (stage) {
    case StageLogo:
        what = QStringLiteral("The ad network's logo");
        break;
    case StageAdXml:
        what = QStringLiteral("The ad reply");
        break;
    default:
        what = QStringLiteral("The ad image");
        break;
    }
    // Aborting makes the reply finish at once; that finish is this chain's end, not a
    // second one.
    currentReply->disconnect(this);
    currentReply->abort();
    failChain(QStringLiteral("%1 is larger than %2 MiB; the download was stopped.").arg(what).arg(limit / MiB));
}

void QuillonAdModule::httpFinished()
{
    if (!currentReply)
        return;
    if (currentReply->error() != QNetworkReply::NoError) {
        failChain(currentReply->errorString());
        return;
    }

    const QByteArray body = currentReply->readAll();
    switch (stage) {
    case StageLogo:
        logoData.append(body);
        break;
    case StageAdImage:
        imageData.clear();
        imageData = body;
        break;
    case StageAdXml:
        if (!parseAdReply(body)) {
            emit adDataCorrupted();
            busy = false;
            releaseReply();
            return;
        }
        break;
    default:
        break;
    }
    releaseReply();

    switch (stage) {
    case StageLogo:
        busy = false;
        logoLoaded = true;
        stage = StageAdXml;
        requestAd();
        break;
    case StageAdXml:
        stage = StageAdImage;
        requestAdImage();
        break;
    case StageAdImage:
        adReady = true;
        busy = false;
        emit adDataReady();
        startReloadTimer();
        break;
    default:
        break;
    }
}

void QuillonAdModule::requestAdImage()
{
    const QUrl imageUrl(adImageUrl);
    if (!isWebLink(imageUrl)) {
        failChain(QStringLiteral("The ad image address \"%1\" is not an http or https address; nothing was fetched.")
                      .arg(adImageUrl));
        return;
    }
    startRequest(imageUrl);
}

bool QuillonAdModule::parseAdReply(const QByteArray &body)
{
    if (hasTooManyAttributes(body) || isTooBigToBuild(body))
        return false;
    QDomDocument document(QStringLiteral("qn_dom_document"));
    if (!document.setContent(body, true))
        return false;

    for (QDomElement child = document.documentElement().firstChildElement(); !child.isNull();
         child = child.nextSiblingElement()) {
        const QString name = child.tagName();
        if (name.compare(QLatin1String("client"), Qt::CaseInsensitive) == 0) {
            const QString id = child.attribute(QStringLiteral("Id"));
            // An id longer than any request parameter may be would make every later request
            // too long for the network; the one held stays.
            if (id != clientId && id.size() <= MaxParameterLength) {
                clientId = id;
                saveClientId();
            }
        } else if (name.compare(QLatin1String("ad"), Qt::CaseInsensitive) == 0) {
            for (QDomElement field = child.firstChildElement(); !field.isNull(); field = field.nextSiblingElement()) {
                QString *target = nullptr;
                const QString fieldName = field.tagName();
                if (fieldName.compare(QLatin1String("text"), Qt::CaseInsensitive) == 0)
                    target = &adText;
                else if (fieldName.compare(QLatin1String("url"), Qt::CaseInsensitive) == 0)
                    target = &adUrl;
                else if (fieldName.compare(QLatin1String("image"), Qt::CaseInsensitive) == 0)
                    target = &adImageUrl;
                if (!target)
                    continue;
                target->clear();
                const QString text = field.text();
                if (!text.isEmpty())
                    *target = text;
            }
        }
    }
    return true;
}

void QuillonAdModule::failChain(const QString &text)
{
    emit networkError(text);
    busy = false;
    releaseReply();
}

void QuillonAdModule::releaseReply()
{
    if (!currentReply)
        return;
    currentReply->deleteLater();
    currentReply = nullptr;
}

void QuillonAdModule::startReloadTimer()
{
    if (reloadSeconds != 0)
        reloadTimer->start();
}

void QuillonAdModule::loadClientId()
{
    clientId = QSettings(SettingsOrganisation, appId).value(ClientIdKey).toString();
    // An over-long id stored by an earlier version is not sent; the network assigns a new one.
    if (clientId.size() > MaxParameterLength)
        clientId.clear();
}

void QuillonAdModule::saveClientId() const
{
    QSettings(SettingsOrganisation, appId).setValue(ClientIdKey, clientId);
}

int QuillonAdModule::showAdDialog(QWidget *parent, int countdownSeconds, const QString &skipInText,
    const QString &leftButtonText, const QString &rightButtonText, bool skipOnLeft, bool showAdText)
{
    if (busy)
        return ErrorBusy;
    if (!adReady)
        return ErrorNoAd;
    reloadTimer->stop();

    QuillonAdDialog dialog(logoData, imageData, adUrl, adText, showAdText, leftButtonText, rightButtonText, skipOnLeft,
        countdownSeconds, skipInText, parent);
    dialog.setModal(true);
    if (dialog.exec() != 0)
        requestAd();
    else
        startReloadTimer();
    return ResultOk;
}

void QuillonAdModule::linkClickedHandler(QUrl url)
{
    reloadTimer->stop();
    // The link comes from the network; only a web page may be handed to the platform.
    if (isWebLink(url))
        QDesktopServices::openUrl(url);
    requestAd();
}

int QuillonAdModule::clickAd()
{
    if (!adReady || adUrl.isEmpty())
        return ErrorNoAd;
    linkClickedHandler(QUrl(adUrl));
    return ResultOk;
}

QuillonAdWidget *QuillonAdModule::createAdWidget(QWidget *parent, bool showAdText)
{
    auto *widget = new QuillonAdWidget(parent, QByteArray(), QString(), showAdText, QString());
    connect(widget, &QuillonAdWidget::adLinkActivated, this, &QuillonAdModule::linkClickedHandler);
    return widget;
}

int QuillonAdModule::updateAdWidget(QuillonAdWidget *widget)
{
    if (busy)
        return ErrorBusy;
    if (!adReady)
        return ErrorNoAd;
    if (!widget)
        return ErrorNoWidget;
    widget->updateAd(imageData, adUrl, adText);
    return ResultOk;
}
