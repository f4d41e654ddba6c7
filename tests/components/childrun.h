#pragma once

#include <QCoreApplication>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <unistd.h>

// Some behaviour shows only where the test process itself cannot stand: as a user without
// root's rights, in a network or mount namespace of its own, on a screen of a known size.
// Such a test runs its own executable again for one test function, wrapped in a command
// that sets the scene (setpriv, unshare) and with extra environment. The child knows it is
// the child by ORVANTA_TEST_CHILD and does the checks; its exit code is its failure count.
namespace childrun {

inline bool isChild()
{
    return qEnvironmentVariableIsSet("ORVANTA_TEST_CHILD");
}

inline bool isRoot()
{
    return ::geteuid() == 0;
}

struct Outcome
{
    int exitCode = -1;
    QString output;
    bool passed() const { return exitCode == 0; }
};

// Runs `wrapper... <this executable> <function>` with `environment` added to ours.
inline Outcome rerun(const QString &function, const QStringList &wrapper,
                     const QStringList &environment = {}, int timeoutMs = 60000)
{
    QStringList command = wrapper;
    command << QCoreApplication::applicationFilePath() << function;
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ORVANTA_TEST_CHILD"), function);
    for (const QString &entry : environment)
        env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(command.takeFirst(), command);
    Outcome outcome;
    if (!child.waitForFinished(timeoutMs)) {
        child.kill();
        child.waitForFinished();
        outcome.output = QStringLiteral("child did not finish\n");
    }
    outcome.output += QString::fromLocal8Bit(child.readAll());
    if (child.exitStatus() == QProcess::NormalExit && child.error() != QProcess::FailedToStart)
        outcome.exitCode = child.exitCode();
    return outcome;
}

// The unprivileged user "nobody", with no groups: it cannot override file permissions.
inline QStringList asNobody()
{
    return {QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
            QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")};
}

} // namespace childrun
