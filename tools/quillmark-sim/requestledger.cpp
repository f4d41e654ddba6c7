#include "tools/quillmark-sim/requestledger.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

void RequestLedger::append(const SimRequest &request)
{
    QMutexLocker lock(&mutex);
    entries.append(request);
    grown.wakeAll();
}

QList<SimRequest> RequestLedger::requests() const
{
    QMutexLocker lock(&mutex);
    return entries;
}

void RequestLedger::clear()
{
    QMutexLocker lock(&mutex);
    entries.clear();
}

bool RequestLedger::waitFor(int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&mutex);
    while (entries.size() < count) {
        if (!grown.wait(&mutex, deadline))
            return entries.size() >= count;
    }
    return true;
}
