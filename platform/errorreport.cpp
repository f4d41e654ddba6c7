#include "platform/errorreport.h"

#include <QtGlobal>

namespace platform {
namespace {
ErrorReporter &reporter()
{
    static ErrorReporter instance;
    return instance;
}
} // namespace

void setErrorReporter(ErrorReporter r)
{
    reporter() = std::move(r);
}

void reportError(const QString &message)
{
    if (reporter())
        reporter()(message);
    else
        qWarning("%s", qPrintable(message));
}

} // namespace platform
