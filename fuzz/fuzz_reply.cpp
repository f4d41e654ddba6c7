// Feeds arbitrary bytes to the reply parser as a reply chunk. Errors the parser reports
// (a value that is not a number) are expected; anything else that goes wrong is found by
// the sanitizers or the checks below.

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
    return 0;
}
