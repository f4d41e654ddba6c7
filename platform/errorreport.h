#pragma once

#include <QString>
#include <functional>

// Where errors that leave an event handler end up. The core layer only knows this hook;
// the application installs a reporter that shows a modal error box and lets the event
// loop go on. Without one, the text goes to the Qt warning log.
namespace platform {

using ErrorReporter = std::function<void(const QString &message)>;

void setErrorReporter(ErrorReporter reporter);
void reportError(const QString &message);

} // namespace platform
