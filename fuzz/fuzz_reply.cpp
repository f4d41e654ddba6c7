// Feeds arbitrary bytes to the reply parser as a reply chunk, and to the link's check for
// control bytes in a reply's body. Errors the parser reports (a value that is not a
// number) are expected; anything else that goes wrong is found by the sanitizers or the
// checks below.

#include "link/replyparser.h"
#include "link/wireformat.h"
#include "platform/codepage.h"
#include "platform/decimalseparator.h"
#include "platform/errors.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The first byte picks the decimal separator, the rest is the reply.
    if (size == 0)
        return 0;
    setDecimalSeparator(platform::codePageChar(data[0]));
    const QByteArrayView reply(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    ReplyRecord record;
    record.IPerror = QStringLiteral("earlier");
    record.CardBalance = 7;
    int pumps = 0;
    ReplyHooks hooks;
    hooks.pump = [&] { ++pumps; };
    QStringList shown;
    hooks.showItems = [&](const QStringList &items) { shown = items; };
    bool failed = false;
    bool read = false;
    try {
        read = parseReply(reply, record, hooks);
    } catch (const KioskError &) {
        failed = true;
    }
    if (pumps != 1)
        std::abort();
    // The items shown are the items the grammar gives for the body.
    const QString text = wire::decodeDecimalPoints(wire::renderBytes(wire::replyBody(reply)),
                                                   platform::codePageChar(data[0]));
    if (shown != wire::splitItems(text))
        std::abort();
    // A reply is read exactly when it holds items.
    if (!failed && read == shown.isEmpty())
        std::abort();
    // An error text changes only to a non-empty value.
    if (record.IPerror.isEmpty())
        std::abort();
    // The link reads a reply only when its body holds no control byte: the one found is
    // a control byte of the body, and a body without one renders byte for byte, so that
    // no byte ever becomes digits of a value.
    const QByteArrayView body = wire::replyBody(reply);
    const qsizetype at = wire::firstControlByte(reply);
    if (at >= 0) {
        const auto byte = static_cast<unsigned char>(reply[at]);
        if (at < wire::headerBytes || at >= wire::headerBytes + body.size() ||
            (byte >= 0x20 && byte != 0x7F))
            std::abort();
    } else if (wire::renderBytes(body) != platform::fromCodePage(body)) {
        std::abort();
    }
    return 0;
}
