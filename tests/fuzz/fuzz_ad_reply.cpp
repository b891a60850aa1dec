// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary bytes, as the ad network's answer to an ad request would arrive, to the
// checks a reply passes before it is read, and builds the document of every reply they
// let through: a reply they pass must build in bounded time and memory.
#include "ReplyGuards.h"

#include <QDomDocument>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    if (hasTooManyAttributes(body) || isTooBigToBuild(body))
        return 0;
    QDomDocument document;
    document.setContent(body, true);
    return 0;
}
