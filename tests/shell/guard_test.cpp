#include "platform/singleinstanceguard.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

// The guard between real processes: each test uses a name of its own, so a kiosk that
// happens to run on this machine is neither disturbed nor in the way.
class GuardTest : public QObject
{
    Q_OBJECT

    static QString uniqueName(const char *tag)
    {
        return QStringLiteral("Orvanta_IsRunning_test_%1_%2")
            .arg(QCoreApplication::applicationPid())
            .arg(QLatin1String(tag));
    }

    // Starts a probe for the name and returns what it said about the guard.
    static QByteArray startProbe(QProcess &probe, const QString &name)
    {
        probe.start(QStringLiteral(GUARD_PROBE_PATH), {name});
        if (!probe.waitForStarted(5000) || !probe.waitForReadyRead(5000))
            return "no answer";
        return probe.readLine().trimmed();
    }

    // Runs `script` with python3 as the account "nobody" (no groups) until it prints a line.
    static QByteArray startAsNobody(QProcess &process, const QString &script)
    {
        process.start(QStringLiteral("setpriv"),
                      {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                       QStringLiteral("--clear-groups"), QStringLiteral("/usr/bin/python3"),
                       QStringLiteral("-c"), script});
        if (!process.waitForStarted(5000) || !process.waitForReadyRead(10000))
            return "no answer: " + process.readAllStandardError();
        return process.readLine().trimmed();
    }

    // Sets an environment variable for the life of the object.
    class ScopedEnv
    {
    public:
        ScopedEnv(const char *name, const QByteArray &value)
            : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
        {
            if (value.isNull())
                qunsetenv(name);
            else
                qputenv(name, value);
        }
        ~ScopedEnv()
        {
            if (m_had)
                qputenv(m_name, m_old);
            else
                qunsetenv(m_name);
        }
        ScopedEnv(const ScopedEnv &) = delete;
        ScopedEnv &operator=(const ScopedEnv &) = delete;

    private:
        const char *m_name;
        bool m_had;
        QByteArray m_old;
    };

    static void killHard(QProcess &probe)
    {
        ::kill(static_cast<pid_t>(probe.processId()), SIGKILL);
        probe.waitForFinished(5000);
    }

private slots:
    void secondCopyRefusedWhileFirstRuns()
    {
        const QString name = uniqueName("running");
        QProcess first;
        QCOMPARE(startProbe(first, name), QByteArray("held"));

        QProcess second;
        QCOMPARE(startProbe(second, name), QByteArray("refused"));
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);

        QProcess other;
        QCOMPARE(startProbe(other, uniqueName("other")), QByteArray("held"));
        killHard(other);
        killHard(first);
    }

    void normalStartAfterFirstKilledHard()
    {
        const QString name = uniqueName("killed");
        QProcess first;
        QCOMPARE(startProbe(first, name), QByteArray("held"));
        killHard(first);
        QCOMPARE(first.exitStatus(), QProcess::CrashExit);

        QProcess next;
        QCOMPARE(startProbe(next, name), QByteArray("held"));
        killHard(next);
    }

    void releasedWhenTheHolderEnds()
    {
        const QString name = uniqueName("scoped");
        {
            const platform::SingleInstanceGuard holder(name);
            QVERIFY(holder.held());
            const platform::SingleInstanceGuard refused(name);
            QVERIFY(refused.alreadyRunning());
            QVERIFY(!refused.held());
        }
        const platform::SingleInstanceGuard again(name);
        QVERIFY(again.held());
        QVERIFY(!again.alreadyRunning());
    }

    // Where the lock lies: the first folder that is this account's own and that nobody else
    // may write, else a folder of the account's own in the temporary folder.
    void lockFolderIsTheAccountsOwn_data()
    {
        QTest::addColumn<QString>("runtimeMode"); // the unit's folder: a mode, or "none"
        QTest::addColumn<QString>("xdgMode");
        QTest::addColumn<QString>("expected"); // runtime, xdg or temp
        QTest::newRow("the unit's runtime folder first") << "0700"
                                                         << "0700"
                                                         << "runtime";
        QTest::newRow("readable by others, still nobody else's") << "0755"
                                                                 << "none"
                                                                 << "runtime";
        QTest::newRow("group-writable unit folder passed over") << "0770"
                                                                << "0700"
                                                                << "xdg";
        QTest::newRow("world-writable folders passed over") << "1777"
                                                            << "0777"
                                                            << "temp";
        QTest::newRow("no runtime folders: own temporary folder") << "none"
                                                                  << "none"
                                                                  << "temp";
    }

    void lockFolderIsTheAccountsOwn()
    {
        QFETCH(QString, runtimeMode);
        QFETCH(QString, xdgMode);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0700) == 0);
        const auto folder = [&](const QString &name, const QString &mode) -> QByteArray {
            if (mode == QLatin1String("none"))
                return QByteArray();
            const QByteArray path = QFile::encodeName(dir.filePath(name));
            if (::mkdir(path.constData(), 0700) != 0 ||
                ::chmod(path.constData(), static_cast<mode_t>(mode.toUInt(nullptr, 8))) != 0)
                return "cannot make " + path;
            return path;
        };
        const QByteArray runtime = folder(QStringLiteral("runtime"), runtimeMode);
        const QByteArray xdg = folder(QStringLiteral("xdg"), xdgMode);
        const QByteArray temp = QFile::encodeName(dir.filePath(QStringLiteral("tmp")));
        QVERIFY(::mkdir(temp.constData(), 01777) == 0 && ::chmod(temp.constData(), 01777) == 0);
        const ScopedEnv runtimeEnv("RUNTIME_DIRECTORY", runtime);
        const ScopedEnv xdgEnv("XDG_RUNTIME_DIR", xdg);
        const ScopedEnv tempEnv("TMPDIR", temp);
        const QString wanted =
            expected == QLatin1String("runtime") ? QFile::decodeName(runtime)
            : expected == QLatin1String("xdg")
                ? QFile::decodeName(xdg)
                : QFile::decodeName(temp) + QStringLiteral("/orvanta-%1").arg(::geteuid());
        // The installed kiosk's folder would come second; it must not be in the way here.
        if (QFileInfo(QString::fromLatin1(platform::kKioskRuntimeFolder)).ownerId() ==
                ::geteuid() &&
            expected != QLatin1String("runtime"))
            QSKIP("/run/orvanta belongs to this account");

        const platform::SingleInstanceGuard guard(uniqueName("folder"));
        QVERIFY2(guard.held(), qPrintable(guard.path()));
        QCOMPARE(QFileInfo(guard.path()).absolutePath(), wanted);
        QVERIFY(guard.path().endsWith(QLatin1String(".lock")));
        struct stat status
        {
        };
        QVERIFY(::lstat(QFile::encodeName(guard.path()).constData(), &status) == 0);
        QVERIFY(S_ISREG(status.st_mode));
        QCOMPARE(status.st_mode & 07777, mode_t(0600));
        QVERIFY(::lstat(QFile::encodeName(QFileInfo(guard.path()).absolutePath()).constData(),
                        &status) == 0);
        QCOMPARE(status.st_mode & (S_IWGRP | S_IWOTH), mode_t(0));
    }

    // Another account can neither take the guard from the kiosk nor make the kiosk refuse
    // itself: not by binding the name in the abstract socket namespace (which stopped every
    // start before), not by making the kiosk's temporary folder first, not with a link.
    void anotherAccountCannotTakeTheGuard_data()
    {
        QTest::addColumn<QString>("squat");
        QTest::newRow("the name bound as an abstract socket") << "abstract";
        QTest::newRow("the temporary folder made first") << "folder";
        QTest::newRow("the temporary folder a link to another") << "link";
    }

    void anotherAccountCannotTakeTheGuard()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to act as another account");
        QFETCH(QString, squat);
        const QString name = uniqueName("squat");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 01777) == 0);
        // No runtime folder: the kiosk falls back on the temporary folder, the one place
        // another account can reach.
        const ScopedEnv runtimeEnv("RUNTIME_DIRECTORY", QByteArray());
        const ScopedEnv xdgEnv("XDG_RUNTIME_DIR", QByteArray());
        const ScopedEnv tempEnv("TMPDIR", QFile::encodeName(dir.path()));
        const QString own = dir.filePath(QStringLiteral("orvanta-%1").arg(::geteuid()));
        QString script;
        if (squat == QLatin1String("abstract")) {
            script = QStringLiteral("import socket, time\n"
                                    "s = socket.socket(socket.AF_UNIX)\n"
                                    "s.bind('\\0%1')\n"
                                    "s.listen(1)\n"
                                    "print('squatted', flush=True)\n"
                                    "time.sleep(600)\n")
                         .arg(name);
        } else {
            const QString elsewhere = dir.filePath(QStringLiteral("elsewhere"));
            const QString make =
                squat == QLatin1String("folder")
                    ? QStringLiteral("os.mkdir('%1', 0o777); os.chmod('%1', 0o777)").arg(own)
                    : QStringLiteral("os.mkdir('%1', 0o700); os.symlink('%1', '%2')")
                          .arg(elsewhere, own);
            script = QStringLiteral("import os, time\n%1\nprint('squatted', flush=True)\n"
                                    "time.sleep(600)\n")
                         .arg(make);
        }
        QProcess squatter;
        QCOMPARE(startAsNobody(squatter, script), QByteArray("squatted"));
        const auto endSquatter = qScopeGuard([&] { killHard(squatter); });

        const platform::SingleInstanceGuard guard(name);
        QVERIFY(!guard.alreadyRunning());
        if (squat == QLatin1String("abstract")) {
            QVERIFY(guard.held());
            QVERIFY(guard.path().startsWith(own + QLatin1Char('/')));
        } else {
            // A folder that is not the kiosk's own is not used: the kiosk starts, unguarded.
            QVERIFY(!guard.held());
            QVERIFY(guard.path().isEmpty());
        }
    }

    // The lock file can be opened by nobody else, so nobody else can lock it either.
    void lockFileNotOpenForOthers()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to act as another account");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
        const ScopedEnv runtimeEnv("RUNTIME_DIRECTORY", QFile::encodeName(dir.path()));
        const platform::SingleInstanceGuard guard(uniqueName("others"));
        QVERIFY(guard.held());
        QVERIFY(QFileInfo(guard.path()).isFile());
        QProcess other;
        QCOMPARE(startAsNobody(other, QStringLiteral("import fcntl\n"
                                                     "try:\n"
                                                     "    f = open('%1', 'rb')\n"
                                                     "    fcntl.flock(f, fcntl.LOCK_SH)\n"
                                                     "    print('opened', flush=True)\n"
                                                     "except OSError:\n"
                                                     "    print('denied', flush=True)\n")
                                          .arg(guard.path())),
                 QByteArray("denied"));
        QVERIFY(other.waitForFinished(5000));
    }
};

QTEST_GUILESS_MAIN(GuardTest)
#include "guard_test.moc"
