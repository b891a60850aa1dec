// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QUrl>

// Ad links come from the network over plain HTTP, so only web pages are handed to the platform:
// a file:, javascript: or custom-handler link would run something on the player's device.
inline bool isWebLink(const QUrl &url)
{
    const QString scheme = url.scheme();
    const bool web = scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) == 0
        || scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    return web && url.isValid() && !url.host().isEmpty();
}
