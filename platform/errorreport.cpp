#include "platform/errorreport.h"

#include "platform/errors.h"

#include <QtGlobal>

#include <exception>

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

void reportError(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const KioskError &e) {
        reportError(e.message());
    } catch (const std::exception &e) {
        reportError(QString::fromLocal8Bit(e.what()));
    }
}

} // namespace platform
