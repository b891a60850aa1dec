// Feeds arbitrary bytes to the ad module's reply parser, as the ad network's answer to an
// ad request would arrive.
#include "QuillonAdModule.h"

#include <QApplication>
#include <QTemporaryDir>

#include <cstdint>

namespace {

class ReplyParser : public QuillonAdModule {
public:
    ReplyParser()
        : QuillonAdModule(nullptr, QStringLiteral("Fuzz_App"), 0)
    {
    }

    bool parse(const QByteArray &body) { return parseAdReply(body); }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The parser stores the client ids it reads; keep them away from a player's settings.
    static QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit());
    static QApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static ReplyParser parser;
    parser.parse(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    return 0;
}
