#include "shell/kioskjournal.h"

#include "link/exchangerecord.h"
#include "link/linkclient.h"

#include <csignal>
#include <cstring>

namespace {

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : journalText(text);
}

} // namespace

KioskJournal::KioskJournal(int fd)
    : m_lines(fd), m_signals([this](int signal) {
          // The signal's name, not strsignal's text in the range's language.
          const char *name = ::sigabbrev_np(signal);
          m_lines.write(QStringLiteral("end signal=%1 (SIG%2)")
                            .arg(signal)
                            .arg(QLatin1String(name ? name : "?")));
          m_lines.flush(platform::LineJournal::drainMs);
      })
{
}

void KioskJournal::refused()
{
    m_lines.write(QStringLiteral("start refused: another copy is running"));
}

void KioskJournal::started(LinkClient &link)
{
    link.exchangeEnded = [this](const ExchangeRecord &record) {
        m_lines.write(journalLine(record));
    };
    m_lines.write(QStringLiteral("start version=%1 server=%2 port=%3")
                      .arg(QStringLiteral(ORVANTA_VERSION), orDash(link.remoteserver),
                           orDash(link.remoteport)));
}

void KioskJournal::ended(int exitCode)
{
    m_lines.write(QStringLiteral("end exit=%1").arg(exitCode));
}
