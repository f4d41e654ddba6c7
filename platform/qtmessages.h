#pragma once

#include <QtGlobal>

namespace platform {

class LineJournal;

// Sends Qt's own messages (warnings of its platform plugin, fonts, logging categories)
// through a journal's bounded queue instead of Qt's default, a blocking write to standard
// error: with standard error on a pipe that nobody empties, the first warning would stop
// the GUI thread for good. A fatal message is flushed before Qt ends the program. Messages
// after the object has gone, while the program ends, are dropped. One object at a time.
class QtMessagesToJournal
{
public:
    explicit QtMessagesToJournal(LineJournal &journal);
    ~QtMessagesToJournal();
    QtMessagesToJournal(const QtMessagesToJournal &) = delete;
    QtMessagesToJournal &operator=(const QtMessagesToJournal &) = delete;
};

} // namespace platform
