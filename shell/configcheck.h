#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QDeadlineTimer;

// The link settings file the kiosk reads: config.ini in its executable's own folder
// (/proc/self/exe, so a link such as /usr/bin/orvanta still finds /usr/lib/orvanta).
// Needs the application object.
QString kioskSettingsPath();

// The technician's check of the link settings file (orvanta --check-config). Reads the
// file as the kiosk does and reports each line with its blanks and stray bytes made
// visible, the address the server's name resolves to, the port, the decimal separator
// and whether the server accepts a TCP connection within the link's connect bound
// (lookup included). It names a missing file, a missing or empty line, a port that is
// neither a number nor a service, a name that does not resolve, a dotted address that
// reads otherwise than it looks (a part with a leading zero, text after a blank), blanks
// around a value, stray bytes, a byte-order mark and a decimal separator that cannot
// separate decimals. It changes nothing and sends nothing: a connection that is accepted
// is closed again at once.
class ConfigCheck
{
public:
    // The link's connect bound in milliseconds.
    static constexpr int connectBoundMs = 5000;

    explicit ConfigCheck(QString path, int boundMs = connectBoundMs);

    // Runs the check; true when the server accepted a connection and the file lets the
    // kiosk work (a decimal separator that cannot separate decimals does not).
    bool run();
    // The report, one line per entry, ending with a line feed.
    const QString &report() const { return m_report; }

private:
    bool check(const QDeadlineTimer &deadline);
    std::optional<quint32> serverAddress(const QString &host, const QDeadlineTimer &deadline);
    std::optional<int> serverPort(const QString &text);
    void dottedSurprises(const QString &host, const QString &resolved);
    void separator(const QString &line);
    bool connects(quint32 address, int port, const QDeadlineTimer &deadline);

    void say(const QString &line);
    void problem(const QString &text);

    const QString m_path;
    const int m_boundMs;
    QString m_report;
    QStringList m_problems;
    // Why the kiosk would refuse every exchange with this file; empty when it would not.
    QString m_settingsError;
};
