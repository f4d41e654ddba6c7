// Looks a name up with platform::lookupHostIPv4 and says how it went, for tests that run
// it under a resolver of their own (tests/support/silentdns.cpp).
//
//   hostlookup_probe NAME DEADLINE_MS [PARALLEL [RELEASE_WAIT_MS]]
//
// Runs PARALLEL lookups of NAME at once (default 1), each with the deadline, then waits up
// to RELEASE_WAIT_MS (default 0) for every lookup given up at its deadline to be released
// by the resolver. Prints, one per line: "addresses A,B" (the first lookup's, "-" for
// none), "timedout K" (how many lookups timed out), "slowest MS" (the longest a call took)
// and "unreleased N" (lookups still held by the resolver at the end).

#include "platform/hostlookup.h"

#include <QElapsedTimer>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    const QByteArray name(argv[1]);
    const int deadlineMs = std::atoi(argv[2]);
    const int parallel = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    const int releaseWaitMs = argc > 4 ? std::atoi(argv[4]) : 0;

    const auto count = static_cast<std::size_t>(parallel);
    std::vector<platform::HostLookupResult> results(count);
    std::vector<qint64> took(count);
    std::vector<std::thread> threads;
    for (int i = 0; i < parallel; ++i) {
        threads.emplace_back([&, i] {
            QElapsedTimer clock;
            clock.start();
            results[std::size_t(i)] =
                platform::lookupHostIPv4(name, QDeadlineTimer(deadlineMs, Qt::PreciseTimer));
            took[std::size_t(i)] = clock.elapsed();
        });
    }
    for (std::thread &t : threads)
        t.join();

    QElapsedTimer waited;
    waited.start();
    while (platform::unreleasedHostLookups() > 0 && waited.elapsed() < releaseWaitMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    std::string addresses;
    for (const quint32 a : results.front().addresses) {
        char text[INET_ADDRSTRLEN];
        in_addr address{a};
        ::inet_ntop(AF_INET, &address, text, sizeof text);
        addresses += (addresses.empty() ? "" : ",") + std::string(text);
    }
    int timedOut = 0;
    qint64 slowest = 0;
    for (int i = 0; i < parallel; ++i) {
        timedOut += results[std::size_t(i)].timedOut ? 1 : 0;
        slowest = std::max(slowest, took[std::size_t(i)]);
    }
    std::printf("addresses %s\ntimedout %d\nslowest %lld\nunreleased %d\n",
                addresses.empty() ? "-" : addresses.c_str(), timedOut, (long long)slowest,
                platform::unreleasedHostLookups());
    return 0;
}
