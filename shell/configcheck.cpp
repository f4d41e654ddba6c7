#include "shell/configcheck.h"

#include "link/linksettings.h"
#include "link/tcpclient.h"
#include "platform/codepage.h"
#include "platform/decimalseparator.h"
#include "platform/errors.h"
#include "platform/hostlookup.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <algorithm>
#include <optional>

namespace {

struct LineRole
{
    const char *name;
    const char *withoutIt; // what the kiosk does without the value
};

const LineRole roles[3] = {
    {"server address",
     "the kiosk has no server to connect to and every validation ends in a link failure"},
    {"server port",
     "the kiosk has no port to connect to and every validation ends in a link failure"},
    {"decimal separator", "the kiosk keeps the locale's decimal separator"},
};

// Bytes as the technician should see them: between double quotes, printable ASCII as it
// stands (a double quote and a backslash escaped), a tab as \t, every other control
// byte, DEL and each byte beyond ASCII as \xNN.
QString visibleBytes(QByteArrayView bytes)
{
    QString shown = QStringLiteral("\"");
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            shown += QLatin1Char('\\');
            shown += QLatin1Char(c);
        } else if (byte == '\t')
            shown += QLatin1String("\\t");
        else if (byte >= 0x20 && byte < 0x7F)
            shown += QLatin1Char(c);
        else
            shown += QLatin1String("\\x") +
                     QString::number(byte, 16).toUpper().rightJustified(2, QLatin1Char('0'));
    }
    return shown + QLatin1Char('"');
}

QString visible(const QString &text)
{
    return visibleBytes(platform::toCodePage(text));
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isStray(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && byte != '\t') || byte >= 0x7F;
}

QString dotted(quint32 networkOrder)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(&networkOrder);
    return QStringLiteral("%1.%2.%3.%4").arg(bytes[0]).arg(bytes[1]).arg(bytes[2]).arg(bytes[3]);
}

QString plural(qsizetype count, const char *one)
{
    return count == 1 ? QStringLiteral("1 %1").arg(QLatin1String(one))
                      : QStringLiteral("%1 %2s").arg(count).arg(QLatin1String(one));
}

} // namespace

QString kioskSettingsPath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("config.ini"));
}

ConfigCheck::ConfigCheck(QString path, int boundMs) : m_path(std::move(path)), m_boundMs(boundMs) {}

void ConfigCheck::say(const QString &line)
{
    m_report += line;
    m_report += QLatin1Char('\n');
}

void ConfigCheck::problem(const QString &text)
{
    m_problems << text;
}

bool ConfigCheck::run()
{
    m_report.clear();
    m_problems.clear();
    m_settingsError.clear();
    // Lookup and connect share the bound, as in an exchange.
    const QDeadlineTimer deadline(m_boundMs);
    const bool reachable = check(deadline);
    if (m_problems.isEmpty()) {
        say(QStringLiteral("Problems: none"));
    } else {
        say(QStringLiteral("Problems:"));
        for (const QString &text : std::as_const(m_problems))
            say(QStringLiteral("  - ") + text);
    }
    if (!m_settingsError.isEmpty())
        say(QStringLiteral("Result: the kiosk cannot work with this file; every exchange will "
                           "end in \"Bad Link To Server - Call for Support\" (%1).")
                .arg(m_settingsError));
    else
        say(reachable ? QStringLiteral("Result: the server can be reached.")
                      : QStringLiteral("Result: the server cannot be reached; every validation "
                                       "will end in \"Bad Link To Server - Call for Support\"."));
    return reachable && m_settingsError.isEmpty();
}

bool ConfigCheck::check(const QDeadlineTimer &deadline)
{
    const QFileInfo info(m_path);
    QString where = QDir::toNativeSeparators(m_path);
    if (info.isSymLink())
        where += QStringLiteral(" (a link to %1)").arg(info.symLinkTarget());
    say(QStringLiteral("Settings file: ") + where);

    // The kiosk's own reading, which also tells how many lines there are and whether a
    // byte-order mark stood in front.
    LinkSettings settings;
    try {
        settings = LinkSettings::read(m_path);
    } catch (const KioskError &error) {
        problem(QStringLiteral("the file is missing or cannot be read: the kiosk shows \"%1\" at "
                               "start-up and every validation ends in a link failure")
                    .arg(error.message()));
        return false;
    }

    if (settings.byteOrderMark)
        problem(QStringLiteral("the file begins with a UTF-8 byte-order mark (\\xEF\\xBB\\xBF), "
                               "which some editors add: save it as plain text without one"));
    if (const QByteArray first = platform::toCodePage(settings.server);
        first.startsWith("\xFF\xFE") || first.startsWith("\xFE\xFF"))
        problem(QStringLiteral("the file is saved as UTF-16 (Unicode): save it as plain text"));

    const int present = settings.lines;
    const QString values[3] = {settings.server, settings.port, settings.separator};
    for (int i = 0; i < 3; ++i) {
        const QString label =
            QStringLiteral("line %1 (%2)").arg(i + 1).arg(QLatin1String(roles[i].name));
        if (i >= present) {
            say(QStringLiteral("  %1: missing").arg(label));
            problem(
                QStringLiteral("%1 is missing: %2").arg(label, QLatin1String(roles[i].withoutIt)));
            continue;
        }
        const QByteArray bytes = platform::toCodePage(values[i]);
        say(QStringLiteral("  %1: %2").arg(label, visibleBytes(bytes)));
        if (bytes.isEmpty()) {
            problem(
                QStringLiteral("%1 is empty: %2").arg(label, QLatin1String(roles[i].withoutIt)));
            continue;
        }
        const qsizetype leading =
            std::find_if_not(bytes.begin(), bytes.end(), isBlank) - bytes.begin();
        const qsizetype trailing =
            leading == bytes.size()
                ? 0
                : std::find_if_not(bytes.rbegin(), bytes.rend(), isBlank) - bytes.rbegin();
        if (leading > 0)
            problem(QStringLiteral("%1 begins with %2, which the kiosk does not trim")
                        .arg(label, plural(leading, "blank")));
        if (trailing > 0)
            problem(QStringLiteral("%1 ends in %2, which the kiosk does not trim")
                        .arg(label, plural(trailing, "blank")));
        if (const auto stray = std::find_if(bytes.begin(), bytes.end(), isStray);
            stray != bytes.end())
            problem(QStringLiteral("%1 holds %2, a byte that is not plain text, which the kiosk "
                                   "takes as part of the value")
                        .arg(label, visibleBytes(QByteArrayView(stray, 1))));
    }

    const std::optional<quint32> address = present >= 1 && !settings.server.isEmpty()
                                               ? serverAddress(settings.server, deadline)
                                               : std::nullopt;
    const std::optional<int> port =
        present >= 2 && !settings.port.isEmpty() ? serverPort(settings.port) : std::nullopt;
    separator(present >= 3 ? settings.separator : QString());
    if (!address || !port)
        return false;
    return connects(*address, *port, deadline);
}

std::optional<quint32> ConfigCheck::serverAddress(const QString &host,
                                                  const QDeadlineTimer &deadline)
{
    // As the link resolves it: text beginning with a digit is a dotted IPv4 address, any
    // other text a host name whose first address is used.
    if (host.at(0).isDigit()) {
        const std::optional<std::uint32_t> address = TTcpClient::resolveHost(host, deadline);
        if (!address) {
            problem(QStringLiteral("line 1 begins with a digit, so the kiosk reads it as an IPv4 "
                                   "address, and %1 is not one a server can have")
                        .arg(visible(host)));
            return std::nullopt;
        }
        const QString text = dotted(*address);
        say(QStringLiteral("Server address: %1 (an IPv4 address, no lookup%2)")
                .arg(text, host == text ? QString()
                                        : QStringLiteral("; read from %1").arg(visible(host))));
        dottedSurprises(host, text);
        return *address;
    }
    QElapsedTimer timer;
    timer.start();
    const platform::HostLookupResult found =
        platform::lookupHostIPv4(platform::toCodePage(host), deadline);
    if (found.addresses.isEmpty()) {
        if (found.timedOut)
            problem(QStringLiteral("the name server gave no answer for %1 within %2 s, the link's "
                                   "bound for lookup and connect together")
                        .arg(visible(host))
                        .arg(m_boundMs / 1000.0));
        else
            problem(QStringLiteral("the name %1 does not resolve to an IPv4 address")
                        .arg(visible(host)));
        return std::nullopt;
    }
    QStringList all;
    for (const quint32 address : found.addresses)
        all << dotted(address);
    say(QStringLiteral("Server address: %1 resolves to %2 in %3 ms%4")
            .arg(visible(host), all.first())
            .arg(timer.elapsed())
            .arg(all.size() > 1 ? QStringLiteral(" (the kiosk takes the first of %1)")
                                      .arg(all.join(QStringLiteral(", ")))
                                : QString()));
    if (found.addresses.first() == 0) {
        problem(QStringLiteral("%1 resolves to 0.0.0.0, which is no server address")
                    .arg(visible(host)));
        return std::nullopt;
    }
    return found.addresses.first();
}

std::optional<int> ConfigCheck::serverPort(const QString &text)
{
    int port = 0;
    try {
        port = TTcpClient::resolvePort(text);
    } catch (const ConversionError &) {
        problem(
            QStringLiteral("line 2 (server port) %1 is neither a port number nor a service name "
                           "this machine knows (/etc/services): every exchange ends in an "
                           "error box")
                .arg(visible(text)));
        return std::nullopt;
    }
    if (port < 1 || port > 0xFFFF) {
        problem(
            QStringLiteral("port %1 is outside 1 to 65535: the kiosk does not connect").arg(port));
        return std::nullopt;
    }
    const bool named =
        std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.isLetter(); });
    say(QStringLiteral("Port: %1%2")
            .arg(port)
            .arg(named ? QStringLiteral(" (the service %1)").arg(visible(text)) : QString()));
    return port;
}

void ConfigCheck::dottedSurprises(const QString &host, const QString &resolved)
{
    // The C library reads the address for the kiosk (inet_aton): it ends the address at
    // the first ASCII blank and ignores what follows, and it reads a part that begins with
    // 0 as octal (0x: hexadecimal). The kiosk keeps that reading, since a range may rely on
    // it, but a technician who wrote 10.0.0.010 meant 10.0.0.10, not 10.0.0.8.
    const auto blank = std::find_if(host.cbegin(), host.cend(), [](QChar c) {
        return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
    });
    const QString written = QStringView(host.cbegin(), blank).toString();
    const QString rest = QStringView(blank, host.cend()).toString();
    if (!rest.trimmed().isEmpty())
        problem(QStringLiteral("line 1 (server address) %1 goes on after the address: the kiosk "
                               "ignores %2 and connects to %3")
                    .arg(visible(host), visible(rest), resolved));
    for (const QString &part : written.split(QLatin1Char('.'))) {
        if (part.size() < 2 || !part.startsWith(QLatin1Char('0')))
            continue;
        const bool hex = part.at(1) == u'x' || part.at(1) == u'X';
        problem(QStringLiteral("line 1 (server address) %1 has the part %2, which begins with 0 "
                               "and is read as %3: the kiosk connects to %4")
                    .arg(visible(host), visible(part),
                         hex ? QStringLiteral("hexadecimal") : QStringLiteral("octal"), resolved));
        break;
    }
}

void ConfigCheck::separator(const QString &line)
{
    if (line.isEmpty()) {
        say(QStringLiteral("Decimal separator: %1, the locale's")
                .arg(visible(QString(localeDecimalSeparator()))));
        return;
    }
    const QChar first = line.at(0);
    say(QStringLiteral("Decimal separator: %1%2")
            .arg(visible(QString(first)),
                 line.size() > 1
                     ? QStringLiteral(" (the first character of line 3; the rest does not count)")
                     : QString()));
    // The kiosk's own judgement of it: with such a separator it refuses every exchange.
    if (const QString fault = decimalSeparatorFault(first); !fault.isEmpty()) {
        m_settingsError = QStringLiteral("the decimal separator %1 cannot separate decimals")
                              .arg(visible(QString(first)));
        problem(QStringLiteral("line 3 (decimal separator): %1 is %2, which cannot separate the "
                               "decimals of an amount (12.50 would read as 12, as 12050 or not at "
                               "all): the kiosk refuses every exchange until it is mended")
                    .arg(visible(QString(first)), fault));
    }
}

bool ConfigCheck::connects(quint32 address, int port, const QDeadlineTimer &deadline)
{
    const QString target = QStringLiteral("%1 port %2").arg(dotted(address)).arg(port);
    const qint64 left = deadline.remainingTime();
    if (left == 0) {
        problem(QStringLiteral("the lookup took the whole bound of %1 s: no time left to connect")
                    .arg(m_boundMs / 1000.0));
        return false;
    }
    // The kiosk's own connect, bounded the same way; closed again before anything is sent.
    TTcpClient client;
    client.connectTimeoutMs = int(left);
    client.setRemotePort(QString::number(port));
    client.setRemoteHost(dotted(address));
    QElapsedTimer timer;
    timer.start();
    client.activate();
    const bool accepted = client.isConnected();
    const qint64 took = timer.elapsed();
    client.disconnect();
    if (accepted) {
        say(QStringLiteral("Connection: %1 accepted a TCP connection in %2 ms (closed again, "
                           "nothing sent)")
                .arg(target)
                .arg(took));
    } else if (took + 50 >= left) {
        problem(QStringLiteral("%1 gave no answer within %2 s: a wrong address, a firewall, or the "
                               "server machine is off")
                    .arg(target)
                    .arg(left / 1000.0));
    } else {
        problem(QStringLiteral("%1 refused the connection or cannot be reached (after %2 ms): is "
                               "the server running, and is the port right?")
                    .arg(target)
                    .arg(took));
    }
    return accepted;
}
