// Takes the single-instance guard under the name given as its argument, says whether it
// got it, and if so holds it until the process is killed.
#include "platform/singleinstanceguard.h"

#include <unistd.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const platform::SingleInstanceGuard guard(QString::fromLocal8Bit(argv[1]));
    std::puts(guard.held() ? "held" : guard.alreadyRunning() ? "refused" : "unguarded");
    std::fflush(stdout);
    if (!guard.held())
        return 0;
    for (;;)
        ::pause();
}
