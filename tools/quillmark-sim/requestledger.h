#pragma once

#include "tools/quillmark-sim/simrequest.h"

#include <QList>
#include <QMutex>
#include <QWaitCondition>

// The list of every request the server received. The server appends from its own thread;
// tests read and wait from theirs, so every access takes the lock.
class RequestLedger
{
public:
    void append(const SimRequest &request);
    QList<SimRequest> requests() const;
    void clear();
    // True as soon as at least count requests are recorded, false after timeoutMs.
    bool waitFor(int count, int timeoutMs) const;

private:
    mutable QMutex mutex;
    mutable QWaitCondition grown;
    QList<SimRequest> entries;
};
