// SPDX-License-Identifier: GPL-3.0-or-later
#include "ServiceAddress.h"
#include "tamboro_config.h"

#include <QByteArray>
#include <QtGlobal>

#include <utility>

namespace {

// Empty in a build pointed at real hosts.
const QByteArray CompiledLocalPort = QByteArrayLiteral(TAMBORO_LOCAL_SERVICE_PORT);

bool isLoopbackName(const QString &host)
{
    return host == QLatin1String("127.0.0.1") || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0;
}

// The port handed over for this run, 0 when the compiled-in one stands. Only plain digits
// naming a port are taken; anything else is a mistake, said once, and changes nothing.
int handedOverPort()
{
    const QByteArray value = qgetenv(LocalServicePortVariable);
    if (CompiledLocalPort.isEmpty() || value.isEmpty())
        return 0;
    bool digits = value.size() <= 5;
    for (const char c : value)
        digits = digits && c >= '0' && c <= '9';
    const int port = digits ? value.toInt() : 0;
    if (port >= 1 && port <= 65535)
        return port;
    static bool said = false;
    if (!std::exchange(said, true))
        qWarning("%s=%s names no port; the compiled-in port %s is used", LocalServicePortVariable, value.constData(),
            CompiledLocalPort.constData());
    return 0;
}

} // namespace

QUrl serviceUrl(const QUrl &compiled)
{
    const int port = handedOverPort();
    if (port == 0 || compiled.scheme() != QLatin1String("http") || !isLoopbackName(compiled.host())
        || compiled.port(80) != CompiledLocalPort.toInt())
        return compiled;
    QUrl handed(compiled);
    handed.setPort(port);
    return handed;
}

QString serviceHost(const QString &compiled)
{
    const QUrl given(QStringLiteral("http://") + compiled);
    const QUrl handed = serviceUrl(given);
    return handed == given ? compiled : handed.authority();
}
