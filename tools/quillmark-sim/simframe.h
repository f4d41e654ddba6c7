#pragma once

#include "tools/quillmark-sim/simrequest.h"

#include <QByteArray>

// The frame both directions use: 0x00, length byte L (bytes from the start to the end of
// the body), 0x00, 0x04, the body, CR LF. Bodies are "name=value&" items.
namespace simframe {

// Longest request frame the server reads before it gives up on a connection: L is one
// byte, so a sound request has at most 255 + 2 bytes.
constexpr int maxRequestBytes = 512;

// Where the request frame in buffer ends (index just past its CR LF), or -1 while none
// is complete. The header is skipped so that a length byte of 13 cannot pass for CR.
qsizetype frameEnd(const QByteArray &buffer);

// Reads a complete frame (CR LF included) into a ledger entry. False, with the reason,
// when the header, the length byte or the body's items are not what a kiosk sends; the
// entry then still carries whatever items could be read.
bool parseRequest(const QByteArray &frame, SimRequest *request, QString *problem);

// Frames a reply body. A body longer than 251 bytes gets the length byte 255: the byte
// cannot hold more, and the kiosk does not check it.
QByteArray frameReply(const QByteArray &body);

// Bytes shown in the log: printable ASCII as it is, everything else as \xNN.
QString printable(const QByteArray &bytes);

} // namespace simframe
