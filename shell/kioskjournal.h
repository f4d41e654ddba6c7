#pragma once

#include "platform/endsignals.h"
#include "platform/linejournal.h"

#include <QString>

class LinkClient;

// The kiosk's journal (orvanta --log): one line on standard error for each exchange with
// the server, and for the program's start and end, written without ever holding up the
// kiosk. In the kiosk's unit the lines go to the journal (journalctl -u orvanta-kiosk); a
// usage report the server did not confirm carries the word UNCONFIRMED.
class KioskJournal
{
public:
    explicit KioskJournal(int fd = 2);

    // A second copy that the single-instance guard kept out.
    void refused();
    // The kiosk is up: every exchange of link from now on goes into the journal.
    void started(LinkClient &link);
    void ended(int exitCode);

    platform::LineJournal &lines() { return m_lines; }

private:
    platform::LineJournal m_lines;
    // Declared after the lines, so that it is gone before them.
    platform::EndSignals m_signals;
};
