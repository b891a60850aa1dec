// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary bytes to the ad banner as its image, as the ad network's image download
// would, and lets the movie decode every frame it finds.
#include "QuillonAdWidget.h"

#include <QApplication>
#include <QMovie>

#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QuillonAdWidget banner(nullptr, bytes, QStringLiteral("http://ads.example/landing"), false, QString());
    // A frame count taken from the data could be huge; a real banner would play them over
    // time, so a bounded number shows whether decoding holds up.
    if (QMovie *movie = banner.findChild<QMovie *>()) {
        for (int frame = 0; frame < 64 && movie->jumpToNextFrame(); ++frame) { }
    }
    banner.updateAd(bytes, QString(), QString());
    return 0;
}
