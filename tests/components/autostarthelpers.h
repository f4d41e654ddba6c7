#pragma once

#include "childrun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <sys/stat.h>
#include <unistd.h>

// Files, autostart entries and sessions for the tests of the settings and run-once
// routines.
namespace autostarttest {

inline void writeText(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        qFatal("cannot write %s", qPrintable(path));
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The value of a key of an autostart entry, as written (escapes left in).
inline QString entryKey(const QString &entry, const QString &key)
{
    for (const QString &line : QString::fromUtf8(readAll(entry)).split(u'\n')) {
        if (line.startsWith(key + u'='))
            return line.mid(key.size() + 1);
    }
    return QString();
}

// An autostart entry's command as a session runs it: the Exec value with its string
// escapes undone and %% as a plain percent sign. Its quoting is the shell's double quoting.
inline QString entryCommand(const QString &entry)
{
    const QString exec = entryKey(entry, QStringLiteral("Exec"));
    QString command;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        if (exec.at(i) == u'\\' && i + 1 < exec.size()) {
            const QChar next = exec.at(++i);
            command += next == u'n' ? QChar(u'\n') : next == u's' ? QChar(u' ') : next;
        } else if (exec.at(i) == u'%' && i + 1 < exec.size() && exec.at(i + 1) == u'%') {
            command += u'%';
            ++i;
        } else {
            command += exec.at(i);
        }
    }
    return command;
}

// Runs a shell command as a session would, by the user that `wrapper` makes (none: this
// one), with `stateHome` as that session's XDG_STATE_HOME (none: as inherited).
inline int runCommand(const QString &command, const QStringList &wrapper = {},
                      const QString &stateHome = {})
{
    if (command.isEmpty())
        return -1;
    QStringList args = wrapper;
    args << QStringLiteral("/bin/sh") << QStringLiteral("-c") << command;
    QProcess shell;
    if (!stateHome.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_STATE_HOME"), stateHome);
        shell.setProcessEnvironment(env);
    }
    // A command that never ends fails the test here, not at the suite's time limit.
    shell.start(args.takeFirst(), args);
    if (!shell.waitForFinished(10000)) {
        shell.kill();
        shell.waitForFinished(1000);
        return -2;
    }
    return shell.exitStatus() == QProcess::NormalExit ? shell.exitCode() : -1;
}

inline int runEntry(const QString &entry, const QStringList &wrapper = {},
                    const QString &stateHome = {})
{
    return runCommand(entryCommand(entry), wrapper, stateHome);
}

// Gives a folder (and what is in it) to the user nobody.
inline void giveToNobody(const QString &path)
{
    QProcess chown;
    chown.start(QStringLiteral("chown"),
                {QStringLiteral("-R"), QStringLiteral("65534:65534"), path});
    if (!chown.waitForFinished() || chown.exitCode() != 0)
        qFatal("cannot give %s to nobody", qPrintable(path));
}

inline mode_t modeOf(const QString &path, uid_t *owner = nullptr)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    if (owner)
        *owner = st.st_uid;
    return st.st_mode;
}

} // namespace autostarttest
