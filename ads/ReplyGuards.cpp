// SPDX-License-Identifier: GPL-3.0-or-later
#include "ReplyGuards.h"

#include <QByteArrayView>
#include <QXmlStreamReader>

namespace {

// QDomDocument in Qt 6.4 is quadratic in the nesting depth and in the attributes of one
// element, and overflows the stack on very deep nesting (measured: 100,000 levels took
// 150 s, 150,000 crashed, 90,000 attributes on one element took minutes). A real ad reply
// is three levels deep with one attribute, so anything far beyond is refused before the
// document is built.
constexpr int MaxAdXmlDepth = 64;
constexpr int MaxAttributesPerElement = 64;

} // namespace

// Counts the '=' of each real start tag on the raw bytes, outside quoted values, so a tag
// with thousands of attributes is caught before any parser spends quadratic time on it.
// Comments, CDATA sections, processing instructions and declarations are passed over
// whole: what they hold is text, not attributes.
bool hasTooManyAttributes(const QByteArray &body)
{
    const auto past = [&body](qsizetype from, const char *end) {
        const qsizetype at = body.indexOf(end, from);
        return at < 0 ? body.size() : at + qsizetype(qstrlen(end));
    };
    qsizetype i = 0;
    while ((i = body.indexOf('<', i)) >= 0) {
        const QByteArrayView markup = QByteArrayView(body).sliced(i);
        if (markup.startsWith("<!--")) {
            i = past(i + 4, "-->");
        } else if (markup.startsWith("<![CDATA[")) {
            i = past(i + 9, "]]>");
        } else if (markup.startsWith("<?")) {
            i = past(i + 2, "?>");
        } else if (markup.startsWith("</") || markup.startsWith("<!")) {
            i = past(i + 2, ">");
        } else {
            char quote = 0;
            int attributes = 0;
            for (++i; i < body.size(); ++i) {
                const char c = body.at(i);
                if (quote) {
                    if (c == quote)
                        quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '=') {
                    if (++attributes > MaxAttributesPerElement)
                        return true;
                } else if (c == '>') {
                    break;
                }
            }
        }
    }
    return false;
}

// A real ad reply has no document type declaration. One in a reply can only serve to
// multiply it: default attributes added to every element, entities expanded thousands of
// times (measured: 975 KB grew past the memory of the machine). It is refused before a
// document is built, and so is a reply whose text, attribute values included, would come
// out larger than the reply itself may be, however it got there; deep nesting likewise.
bool isTooBigToBuild(const QByteArray &body)
{
    QXmlStreamReader reader(body);
    int depth = 0;
    qint64 text = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
            return true;
        case QXmlStreamReader::StartElement: {
            if (++depth > MaxAdXmlDepth)
                return true;
            const QXmlStreamAttributes attributes = reader.attributes();
            for (const QXmlStreamAttribute &attribute : attributes)
                text += attribute.value().size();
            break;
        }
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        case QXmlStreamReader::Characters:
            text += reader.text().size();
            break;
        default:
            break;
        }
        if (text > MaxAdXmlBytes)
            return true;
    }
    return false;
}
