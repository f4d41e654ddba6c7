#include "platform/qtmessages.h"

#include "platform/linejournal.h"

#include <QString>
#include <atomic>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

std::atomic<LineJournal *> target{nullptr};

int priorityOf(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return LineJournal::debug;
    case QtInfoMsg:
        return LineJournal::info;
    case QtWarningMsg:
        return LineJournal::warning;
    case QtCriticalMsg:
        return LineJournal::error;
    case QtFatalMsg:
        return LineJournal::critical;
    }
    return LineJournal::warning;
}

void toJournal(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    LineJournal *journal = target.load();
    if (!journal)
        return;
    journal->write(qFormatLogMessage(type, context, message), priorityOf(type));
    // Qt ends the program after a fatal message: its line goes out first.
    if (type == QtFatalMsg)
        journal->flush(LineJournal::drainMs);
}

// After the journal has gone (the program is ending: plugins unloading, static objects
// going) a message would still block on a full standard error, or raise SIGPIPE and turn
// the exit status of a clean end into a failure. Such late messages are dropped; a fatal
// one is tried once without blocking, as the program ends with it anyway.
void afterJournal(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtFatalMsg)
        return;
    const QByteArray bytes = qFormatLogMessage(type, context, message).toLocal8Bit() + '\n';
    ::fcntl(2, F_SETFL, ::fcntl(2, F_GETFL) | O_NONBLOCK);
    [[maybe_unused]] const ssize_t written = ::write(2, bytes.constData(), size_t(bytes.size()));
}

} // namespace

QtMessagesToJournal::QtMessagesToJournal(LineJournal &journal)
{
    target = &journal;
    qInstallMessageHandler(toJournal);
}

QtMessagesToJournal::~QtMessagesToJournal()
{
    qInstallMessageHandler(afterJournal);
    target = nullptr;
}

} // namespace platform
