#pragma once

#include <QString>
#include <exception>
#include <functional>
#include <utility>

// Where errors that leave an event handler end up. The core layer only knows this hook;
// the application installs a reporter that shows a modal error box and lets the event
// loop go on. Without one, the text goes to the Qt warning log.
namespace platform {

using ErrorReporter = std::function<void(const QString &message)>;

void setErrorReporter(ErrorReporter reporter);
void reportError(const QString &message);

// Reports the error held by error (a KioskError or another std::exception).
void reportError(const std::exception_ptr &error);

// Runs a handler where the window framework calls into the program and reports an error
// that leaves it. Qt's widget code is built without exception support: an error unwinding
// through its frames skips their clean-up (the event copies and guards they hold leak, and
// their state is left half set), so each entry point from the framework ends errors here.
// A template, not a std::function: the application object runs every event through it.
template <typename Handler> void runHandler(Handler &&handler)
{
    try {
        std::forward<Handler>(handler)();
    } catch (const std::exception &) {
        reportError(std::current_exception());
    }
}

} // namespace platform
