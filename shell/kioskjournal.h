#pragma once

#include "platform/linejournal.h"

#include <QString>
#include <memory>

class LinkClient;

// The kiosk's journal (orvanta --log): one line on standard error for each exchange with
// the server, and for the program's start and end, written without ever holding up the
// kiosk. In the kiosk's unit the lines go to the journal (journalctl -u orvanta-kiosk); a
// usage report the server did not confirm carries the word UNCONFIRMED. The usage reports'
// lines go out at critical priority there, which journald writes to disk at once.
class KioskJournal
{
public:
    // Writes on fd through a journal of its own.
    explicit KioskJournal(int fd = 2);
    // Writes through lines, which outlives this object.
    explicit KioskJournal(platform::LineJournal &lines);

    // A second copy that the single-instance guard kept out.
    void refused();
    // The kiosk is up: every exchange of link from now on goes into the journal.
    void started(LinkClient &link);
    void ended(int exitCode);

    platform::LineJournal &lines() { return m_lines; }

private:
    std::unique_ptr<platform::LineJournal> m_own;
    platform::LineJournal &m_lines;
};
