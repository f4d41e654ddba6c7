#pragma once

#include "link/replyrecord.h"

#include <QByteArrayView>
#include <QStringList>
#include <functional>

// Where a parse shows its progress; each may be left empty.
struct ReplyHooks
{
    // The reply's second byte minus its length (-2 for a well-framed reply).
    std::function<void(int)> showLength;
    // Runs once per reply, after the connection is closed and before the body is read.
    std::function<void()> pump;
    // The reply's items, one per line in the link test window.
    std::function<void(const QStringList &)> showItems;
};

// Parses one whole reply (header, body, CR LF) into the record. Numbers and prices are
// zeroed first; then the result code comes from the first item's value and again from a
// RangeOK item, and each named field changes only when its item has a non-empty value.
// False when the body holds no items (nothing but the zeroing is done). A value that is
// not a number throws ConversionError; fields set before that keep their new values.
bool parseReply(QByteArrayView reply, ReplyRecord &record, const ReplyHooks &hooks = {});
