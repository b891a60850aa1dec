// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QUrl>

// The compiled-in addresses of the ad network, the score board and the store as this run
// uses them. A build whose services are the bundled local one (on 127.0.0.1) may be handed
// at start the port the player's own service listens on, in the environment variable
// TAMBORO_LOCAL_SERVICE_PORT: the launcher does so when the compiled-in port belongs to
// another user's program or to another game's service. A compiled-in address on that port
// of 127.0.0.1 or localhost then names the handed port instead. A build pointed at real
// hosts ignores the variable, and so does any address elsewhere.

constexpr char LocalServicePortVariable[] = "TAMBORO_LOCAL_SERVICE_PORT";

// The address as this run uses it; a URL of another scheme, host or port is returned as it is.
QUrl serviceUrl(const QUrl &compiled);

// The same for a host[:port] as the build's host settings give it.
QString serviceHost(const QString &compiled);
