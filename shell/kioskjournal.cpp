#include "shell/kioskjournal.h"

#include "link/exchangerecord.h"
#include "link/linkclient.h"

namespace {

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : journalText(text);
}

bool isReport(ExchangeRecord::Operation operation)
{
    return operation == ExchangeRecord::Operation::VoucherReport ||
           operation == ExchangeRecord::Operation::CardReport;
}

} // namespace

KioskJournal::KioskJournal(int fd)
    : m_own(std::make_unique<platform::LineJournal>(fd)), m_lines(*m_own)
{
}

KioskJournal::KioskJournal(platform::LineJournal &lines) : m_lines(lines) {}

void KioskJournal::refused()
{
    m_lines.write(QStringLiteral("start refused: another copy is running"));
}

void KioskJournal::started(LinkClient &link)
{
    link.exchangeEnded = [this](const ExchangeRecord &record) {
        // A bucket's report is what a range reconciles by: on disk before anything else.
        m_lines.write(journalLine(record), isReport(record.operation)
                                               ? platform::LineJournal::critical
                                               : platform::LineJournal::info);
    };
    m_lines.write(QStringLiteral("start version=%1 server=%2 port=%3")
                      .arg(QStringLiteral(ORVANTA_VERSION), orDash(link.remoteserver),
                           orDash(link.remoteport)));
}

void KioskJournal::ended(int exitCode)
{
    m_lines.write(QStringLiteral("end exit=%1").arg(exitCode));
}
