// Feeds arbitrary bytes to the link settings reader as a config.ini, and its lines to
// the port and address resolution an exchange would do. Host names are not looked up:
// fuzzing stays off the network.

#include "link/linksettings.h"
#include "link/tcpclient.h"
#include "platform/decimalseparator.h"
#include "platform/errors.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView contents(reinterpret_cast<const char *>(data), qsizetype(size));
    const LinkSettings settings = LinkSettings::parse(contents);
    // No line holds a line end, and together they never hold more than the file.
    for (const QString *line : {&settings.server, &settings.port, &settings.separator}) {
        if (line->contains(QLatin1Char('\r')) || line->contains(QLatin1Char('\n')))
            std::abort();
    }
    if (settings.server.size() + settings.port.size() + settings.separator.size() > qsizetype(size))
        std::abort();

    if (!settings.separator.isEmpty())
        setDecimalSeparator(settings.separator.at(0));
    try {
        const int port = TTcpClient::resolvePort(settings.port);
        (void)port;
    } catch (const ConversionError &) {
    }
    if (settings.server.isEmpty() || settings.server.at(0).isDigit()) {
        // Neither form is looked up: no deadline is needed.
        const auto address = TTcpClient::resolveHost(settings.server, QDeadlineTimer(0));
        if (address && *address == 0)
            std::abort(); // 0.0.0.0 is never a usable address
    }
    return 0;
}
