#include "components/systemroutines.h"

#include "components/routinetypes.h"

#include <QCoreApplication>
#include <QDate>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <gnu/libc-version.h>
#include <memory>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr int kUserNameBuffer = 30; // characters, terminator included
constexpr int kExitPollMs = 10;     // the wait's poll where there is no pidfd

bool isProgram(const QString &file)
{
    if (!file.contains(u'/'))
        return !QStandardPaths::findExecutable(file).isEmpty();
    const QFileInfo info(file);
    return info.isFile() && info.isExecutable();
}

bool isDocument(const QString &file)
{
    return QFileInfo::exists(file) || QUrl(file).scheme().size() > 1;
}

// Starts the program with no terminal in or out: the nearest to a hidden window.
pid_t spawnQuiet(const QStringList &args)
{
    std::vector<QByteArray> bytes;
    for (const QString &arg : args)
        bytes.push_back(QFile::encodeName(arg));
    std::vector<char *> argv;
    for (QByteArray &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// How the process ended: its wait status, or nothing when the wait ended first because
// the application is ending (the program is then left to run on).
struct Ending
{
    bool known = false;
    int status = 0;
};

// Reaps the process when it has ended; true when it has.
bool reaped(pid_t pid, Ending &ending)
{
    int status = 0;
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid)
        ending = {true, status};
    return got == pid || (got < 0 && errno != EINTR);
}

// Sleeps in the event loop until the process ends or the application is asked to end, so
// that input, painting and timers keep being handled and an end request ends the wait.
// The process's pidfd becomes readable when it exits; on a kernel without pidfd (before
// 5.3), or when usePidfd is off, a timer asks every few milliseconds instead. Either way
// the wait costs next to no processor time.
Ending waitForExit(pid_t pid, bool usePidfd)
{
    Ending ending;
    if (!QCoreApplication::instance()) {
        // No event loop to keep: nothing is pending, a plain blocking wait will do.
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return {true, status};
    }
    const int fd = usePidfd ? int(::syscall(SYS_pidfd_open, pid, 0)) : -1;
    {
        QEventLoop loop;
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &loop,
                         &QEventLoop::quit);
        std::unique_ptr<QSocketNotifier> notifier;
        QTimer poll;
        const auto check = [&] {
            if (reaped(pid, ending))
                loop.quit();
        };
        if (fd >= 0) {
            notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
            QObject::connect(notifier.get(), &QSocketNotifier::activated, &loop, check);
        } else {
            QObject::connect(&poll, &QTimer::timeout, &loop, check);
            poll.start(kExitPollMs);
        }
        // A process that ended before the loop started ends the wait at once.
        if (!reaped(pid, ending))
            loop.exec();
    }
    if (fd >= 0)
        ::close(fd);
    return ending;
}

// The folder that a drive letter stands for; empty for a letter that names nothing.
QString driveRoot(const QHash<QChar, QString> &roots, QChar letter)
{
    return roots.value(letter.toUpper());
}

bool statVolume(const QString &root, struct statvfs &info)
{
    return !root.isEmpty() && statvfs(QFile::encodeName(root).constData(), &info) == 0;
}

} // namespace

// An executable (a path, or a name found on PATH) is started with ParamString split into
// arguments as a shell would; any other existing file or a URL is handed to DocumentOpener
// (xdg-open), its default action. Anything else cannot be started. The opener's exit code
// says whether an application took the document (xdg-open: 3 no tool, 4 the action
// failed): when it did not, the shell refused, and the result is False. A program's own
// exit code is its business.
bool SystemRoutines::ExecAndWait(const QString &ExecuteFile, const QString &ParamString)
{
    QStringList args;
    bool opener = false;
    if (isProgram(ExecuteFile)) {
        args = QStringList{ExecuteFile} + QProcess::splitCommand(ParamString);
    } else if (isDocument(ExecuteFile)) {
        args = QStringList{DocumentOpener, ExecuteFile};
        opener = true;
    } else {
        return false;
    }
    const pid_t pid = spawnQuiet(args);
    if (pid <= 0)
        return false;
    const Ending ending = waitForExit(pid, WaitWithPidfd);
    if (opener && ending.known)
        return WIFEXITED(ending.status) && WEXITSTATUS(ending.status) == 0;
    return true;
}

// A drive holds a readable volume when its folder's file system answers statvfs; there is
// no system prompt for a missing disk to suppress on Linux.
bool SystemRoutines::DiskInDrive(QChar Drive)
{
    const QChar letter =
        Drive.unicode() >= u'a' && Drive.unicode() <= u'z' ? Drive.toUpper() : Drive;
    if (letter.unicode() < u'A' || letter.unicode() > u'Z')
        throw ConversionError(QStringLiteral("Not a valid drive ID"));
    struct statvfs info;
    return statVolume(driveRoot(DriveRoots, letter), info);
}

// The serial number of a volume is its file system id (low 32 bits), printed unsigned.
QString SystemRoutines::GetVolumeInfo(QChar c1)
{
    struct statvfs info;
    if (!statVolume(driveRoot(DriveRoots, c1), info))
        return QStringLiteral("call failed");
    return QString::number(quint32(info.f_fsid));
}

// Shares are mounted into the file tree on Linux (fstab, gvfs, autofs), which also holds
// their credentials: mapping gives a free letter ("X:") to a mounted, readable folder.
// An unmounted share, a taken letter or a device that is no letter fails.
bool SystemRoutines::MapNetWorkDrive(const QString &MapChar, const QString &MapPath,
                                     const char16_t *PassWord, const char16_t *UserName)
{
    Q_UNUSED(PassWord);
    Q_UNUSED(UserName);
    if (MapChar.size() != 2 || MapChar.at(1) != u':' || !MapChar.at(0).isLetter() ||
        MapChar.at(0).unicode() > 0x7F)
        return false;
    const QChar letter = MapChar.at(0).toUpper();
    const QFileInfo target(MapPath);
    if (DriveRoots.contains(letter) || !target.isAbsolute() || !target.isDir() ||
        !target.isReadable())
        return false;
    DriveRoots.insert(letter, target.absoluteFilePath());
    return true;
}

// 0: where the operating system's own programs and files live, /usr. Any other value: the
// folder of the system's shared libraries, as the system directory holds the system's
// DLLs: the one the C library this program runs with came from, which is where each
// distribution keeps them (/usr/lib/x86_64-linux-gnu on Debian, /usr/lib64 on Fedora).
QString SystemRoutines::WinDir(qint32 optWin)
{
    if (optWin == 0)
        return QStringLiteral("/usr");
    Dl_info library{};
    if (::dladdr(reinterpret_cast<void *>(&::gnu_get_libc_version), &library) != 0 &&
        library.dli_fname) {
        const QString folder = QFileInfo(QFile::decodeName(library.dli_fname)).canonicalPath();
        if (!folder.isEmpty())
            return folder;
    }
    return QStringLiteral("/usr/lib");
}

// The build embeds the project's version in the program.
QString SystemRoutines::GetProgVersion()
{
#if defined(ORVANTA_VERSION_MAJOR) && defined(ORVANTA_VERSION_MINOR)
    // A part that the project version leaves out is empty here and counts as 0.
    return QString::asprintf("%d.%d.%d.%d", ORVANTA_VERSION_MAJOR + 0, ORVANTA_VERSION_MINOR + 0,
                             ORVANTA_VERSION_PATCH + 0, ORVANTA_VERSION_TWEAK + 0);
#else
    return QString();
#endif
}

// The login name of the effective user, from the password database; a name that would not
// fit the component's 30-character buffer is "Unknown", as a failed lookup is.
QString SystemRoutines::GetCurrUser()
{
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd *found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return QStringLiteral("Unknown");
    const QString name = QString::fromLocal8Bit(found->pw_name);
    return name.size() + 1 > kUserNameBuffer ? QStringLiteral("Unknown") : name;
}

// The minor number of the running kernel ("6.1.0-18-amd64" gives "1").
QString SystemRoutines::WinVer()
{
    struct utsname names;
    if (uname(&names) != 0)
        return QStringLiteral("0");
    const QStringList parts = QString::fromLatin1(names.release).split(u'.');
    bool ok = false;
    const int minor = parts.size() > 1 ? parts.at(1).toInt(&ok) : 0;
    return QString::number(ok ? minor : 0);
}

// The primary screen in device pixels; "0x0" when the program has no screen.
QString SystemRoutines::GetScreenRes()
{
    const QScreen *screen = qobject_cast<QGuiApplication *>(QCoreApplication::instance())
                                ? QGuiApplication::primaryScreen()
                                : nullptr;
    if (!screen)
        return QStringLiteral("0x0");
    const QSize size = screen->size() * screen->devicePixelRatio();
    return QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
}

QString SystemRoutines::GetDay()
{
    static const char *const names[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                        "Friday", "Saturday", "Sunday"};
    return QString::fromLatin1(names[QDate::currentDate().dayOfWeek() - 1]);
}
