#pragma once

// The real kiosk as a child process, for the tests of how it starts and ends: a copy of
// build/orvanta in a folder of its own with its own config.ini (and so its own state
// folder), its standard error (the journal with --log) on a pipe that the test reads.

#include "journaltesting.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>

class KioskChild
{
public:
    // config: the text of config.ini beside the copy.
    explicit KioskChild(const QByteArray &config)
    {
        if (!m_dir.isValid() ||
            !QFile::copy(QStringLiteral(ORVANTA_EXE), m_dir.filePath(QStringLiteral("orvanta"))))
            qFatal("cannot copy the kiosk");
        QFile file(m_dir.filePath(QStringLiteral("config.ini")));
        if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size())
            qFatal("cannot write config.ini");
    }
    ~KioskChild()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QString folder() const { return m_dir.path(); }
    // Where the copy keeps the record of the bucket under way.
    QString recordPath() const { return m_dir.filePath(QStringLiteral("state/bucket-under-way")); }

    // Starts the copy with the arguments; errorFd, when given, becomes its standard error
    // in place of the journal pipe.
    bool start(const QStringList &arguments, int errorFd = -1)
    {
        m_seen.clear();
        m_pipe = std::make_unique<Pipe>();
        const int fd = errorFd >= 0 ? errorFd : m_pipe->writeEnd();
        m_process.setProgram(m_dir.filePath(QStringLiteral("orvanta")));
        m_process.setArguments(arguments);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setChildProcessModifier([fd] { ::dup2(fd, 2); });
        m_process.start();
        const bool started = m_process.waitForStarted(10000);
        // Only the child keeps the write end: the pipe ends with it.
        m_pipe->closeWriteEnd();
        return started;
    }

    // The journal's lines so far, without their times.
    QStringList lines()
    {
        if (m_pipe)
            m_seen += m_pipe->drain();
        return journalLines(m_seen);
    }
    QByteArray rawJournal()
    {
        lines();
        return m_seen;
    }

    // Waits up to timeoutMs for a journal line that matches pattern.
    bool waitForLine(const QString &pattern, int timeoutMs)
    {
        const QRegularExpression re(pattern);
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            for (const QString &line : lines()) {
                if (re.match(line).hasMatch())
                    return true;
            }
            if (timer.elapsed() > timeoutMs || m_process.state() == QProcess::NotRunning)
                return false;
            QTest::qWait(20);
        }
    }

    void signal(int number) { ::kill(pid_t(m_process.processId()), number); }
    bool running() { return m_process.state() != QProcess::NotRunning; }
    bool waitForEnd(int timeoutMs) { return m_process.waitForFinished(timeoutMs); }
    // The signal that ended it, 0 when it exited.
    int endSignal() const
    {
        return m_process.exitStatus() == QProcess::CrashExit ? m_process.exitCode() : 0;
    }
    int exitCode() const { return m_process.exitCode(); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    std::unique_ptr<Pipe> m_pipe;
    QByteArray m_seen;
};
