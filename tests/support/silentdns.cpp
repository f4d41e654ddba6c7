// Runs a program against name servers that never answer, for tests of lookup bounds.
//
//   orvanta_silentdns [--silent N] [--dead] [--options TEXT] [--] PROGRAM [ARGS...]
//
// In a private network and mount namespace of its own (so it needs root, and nothing it
// does is seen by other processes), it brings the loopback up, reads and discards every
// query sent to UDP port 53 of 127.0.0.1 .. 127.0.0.N (--silent N, default 1), and lays a
// resolv.conf of its own over /etc/resolv.conf that names those servers, then 127.0.0.99
// where nothing listens (--dead; queries there fail at once), and "options TEXT". Then it
// runs PROGRAM and, when PROGRAM has ended, writes "silentdns: Q queries" to stderr and
// exits with PROGRAM's exit status (128 + the signal when PROGRAM was killed). The hosts
// file is the system's: "localhost" still resolves.
//
// Exit status 77 (without running PROGRAM): not root, or the namespaces could not be made.

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int cannotRun = 77;

int fail(const char *what)
{
    std::fprintf(stderr, "silentdns: %s: %s\n", what, std::strerror(errno));
    return cannotRun;
}

bool loopbackUp()
{
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(s, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags |= IFF_UP | IFF_RUNNING;
        ok = ::ioctl(s, SIOCSIFFLAGS, &request) == 0;
    }
    ::close(s);
    return ok;
}

int silentServer(const std::string &address)
{
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(53);
    ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    if (::bind(s, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

} // namespace

int main(int argc, char **argv)
{
    int silent = 1;
    bool dead = false;
    std::string options;
    int first = 1;
    for (; first < argc; ++first) {
        const std::string arg = argv[first];
        if (arg == "--silent" && first + 1 < argc) {
            silent = std::atoi(argv[++first]);
        } else if (arg == "--dead") {
            dead = true;
        } else if (arg == "--options" && first + 1 < argc) {
            options = argv[++first];
        } else if (arg == "--") {
            ++first;
            break;
        } else {
            break;
        }
    }
    if (first >= argc || silent < 0 || silent > 3) {
        std::fprintf(stderr,
                     "usage: %s [--silent 0..3] [--dead] [--options TEXT] [--] "
                     "PROGRAM [ARGS...]\n",
                     argv[0]);
        return 2;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "silentdns: needs root for its namespaces\n");
        return cannotRun;
    }
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        return fail("unshare");
    // Nothing mounted from here on may reach the system's own mount namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail("making / private");
    if (!loopbackUp())
        return fail("bringing lo up");

    std::vector<pollfd> servers;
    std::string conf;
    for (int i = 1; i <= silent; ++i) {
        const std::string address = "127.0.0." + std::to_string(i);
        const int s = silentServer(address);
        if (s < 0)
            return fail("binding a silent name server");
        servers.push_back({s, POLLIN, 0});
        conf += "nameserver " + address + "\n";
    }
    if (dead)
        conf += "nameserver 127.0.0.99\n";
    if (!options.empty())
        conf += "options " + options + "\n";

    char path[] = "/tmp/orvanta-silentdns-XXXXXX";
    const int file = ::mkstemp(path);
    if (file < 0)
        return fail("creating resolv.conf");
    const bool written = ::write(file, conf.data(), conf.size()) == ssize_t(conf.size());
    ::close(file);
    if (!written || ::mount(path, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
        const int status = fail("laying resolv.conf over /etc/resolv.conf");
        ::unlink(path);
        return status;
    }

    const pid_t child = ::fork();
    if (child < 0) {
        ::unlink(path);
        return fail("fork");
    }
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::execvp(argv[first], argv + first);
        std::fprintf(stderr, "silentdns: cannot run %s: %s\n", argv[first], std::strerror(errno));
        ::_exit(127);
    }

    long queries = 0;
    int status = 0;
    for (;;) {
        const pid_t ended = ::waitpid(child, &status, WNOHANG);
        if (ended == child)
            break;
        if (::poll(servers.data(), servers.size(), 20) <= 0)
            continue;
        for (pollfd &server : servers) {
            char query[1500];
            while (::recv(server.fd, query, sizeof query, 0) >= 0)
                ++queries;
        }
    }
    for (const pollfd &server : servers)
        ::close(server.fd);
    ::unlink(path);
    std::fprintf(stderr, "silentdns: %ld queries\n", queries);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
