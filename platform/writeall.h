#pragma once

#include <QByteArray>

namespace platform {

// Writes all of `bytes` to the descriptor, going on after short writes and signals; false
// when the descriptor takes no more (errno tells why).
bool writeAll(int fd, const QByteArray &bytes);

} // namespace platform
