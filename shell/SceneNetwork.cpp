// SPDX-License-Identifier: GPL-3.0-or-later
#include "SceneNetwork.h"
#include "ServiceAddress.h"
#include "tamboro_config.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlNetworkAccessManagerFactory>
#include <QVariantMap>

namespace {

// Enough for any page the scene looks at; the scene itself stops reading at its first bytes.
constexpr qint64 UNREAD_REPLY_BYTES = 64 * 1024;

bool sameOrigin(const QUrl &from, const QUrl &to)
{
    return from.scheme() == to.scheme() && from.host().compare(to.host(), Qt::CaseInsensitive) == 0
        && from.port(80) == to.port(80);
}

class SceneNetworkAccessManager : public QNetworkAccessManager {
public:
    using QNetworkAccessManager::QNetworkAccessManager;

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request, QIODevice *data) override
    {
        // The scene's XMLHttpRequest asks for redirects to be left to it and then follows
        // them anywhere; every redirect is put to the check below instead.
        QNetworkRequest checked(request);
        checked.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
        QNetworkReply *reply = QNetworkAccessManager::createRequest(operation, checked, data);
        // Set once the request is out: a limit set on the new reply is lost on a request with
        // a body (the upload), measured reading 2 to 6 MiB ahead of the scene.
        connect(reply, &QNetworkReply::requestSent, reply, [reply] { reply->setReadBufferSize(UNREAD_REPLY_BYTES); });
        // A refused redirect ends the request as a network failure does. By now the reply
        // already carries the target as its address, so the check is against the first one.
        connect(reply, &QNetworkReply::redirected, reply, [reply, origin = request.url()](const QUrl &target) {
            if (sameOrigin(origin, origin.resolved(target)))
                emit reply->redirectAllowed();
            else
                reply->abort();
        });
        return reply;
    }
};

class SceneNetworkFactory : public QQmlNetworkAccessManagerFactory {
public:
    // The engine may ask from its loader threads; nothing here is shared between managers.
    QNetworkAccessManager *create(QObject *parent) override { return new SceneNetworkAccessManager(parent); }
};

} // namespace

void guardSceneNetwork(QQmlEngine &engine)
{
    // Engines do not own their factory; one for every engine of the process is enough.
    static SceneNetworkFactory factory;
    engine.setNetworkAccessManagerFactory(&factory);
    engine.rootContext()->setContextProperty(QStringLiteral("serviceAddresses"),
        QVariantMap { { QStringLiteral("adWebHost"), serviceHost(QStringLiteral(TAMBORO_AD_WEB_HOST)) },
            { QStringLiteral("scoreHost"), serviceHost(QStringLiteral(TAMBORO_SCORE_HOST)) },
            { QStringLiteral("storeUrl"), serviceUrl(QUrl(QStringLiteral(TAMBORO_STORE_URL))).toString() } });
}
