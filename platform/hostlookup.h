#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QtGlobal>

namespace platform {

struct HostLookupResult
{
    QList<quint32> addresses; // IPv4 addresses in network byte order, in the resolver's order
    bool timedOut = false;    // the deadline passed before the resolver answered
};

// Looks a host name up through the system's resolver (hosts file, DNS, as nsswitch.conf
// says), giving up at the deadline. Never blocks past it. Empty addresses: the name did not
// resolve (timedOut false) or the deadline came first (timedOut true).
//
// A lookup given up at its deadline goes on inside the resolver until the resolver itself
// gives up; its memory is released then. Safe to call from any thread.
HostLookupResult lookupHostIPv4(const QByteArray &name, QDeadlineTimer deadline);

// Lookups started and not yet released: those waiting for an answer and those given up
// at their deadline whose resolver has not finished. For tests and diagnostics.
int unreleasedHostLookups();

} // namespace platform
