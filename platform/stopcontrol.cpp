#include "platform/stopcontrol.h"

#include "platform/linejournal.h"

#include <QDateTime>

#include <atomic>
#include <cstring>

namespace platform {

namespace {

std::atomic<StopControl *> instance{nullptr};

QString endLine(int signal)
{
    return QStringLiteral("end signal=%1 (%2)").arg(signal).arg(signalName(signal));
}

} // namespace

QString signalName(int signal)
{
    // The signal's name, not strsignal's text in the range's language.
    const char *name = ::sigabbrev_np(signal);
    return QStringLiteral("SIG") + QLatin1String(name ? name : "?");
}

StopControl::StopControl(LineJournal *journal, int stopTimeMs)
    : m_journal(journal), m_stopTime(std::max(stopTimeMs, 0))
{
    instance = this;
    m_signals = std::make_unique<EndSignals>([this](int signal) { return onSignal(signal); });
}

StopControl::~StopControl()
{
    m_signals.reset();
    instance = nullptr;
}

StopControl *StopControl::current()
{
    return instance.load();
}

void StopControl::keepRecordsIn(const QString &folder)
{
    const std::lock_guard lock(m_mutex);
    if (const QString unfit = prepareStateFolder(folder); !unfit.isEmpty()) {
        say(QStringLiteral("bucket records off: %1").arg(unfit), LineJournal::error);
        return;
    }
    m_record = std::make_unique<BucketRecordFile>(folder);
    const std::optional<QByteArray> left = m_record->read();
    if (!left)
        return;
    say(QStringLiteral("bucket %1 UNCONFIRMED started, never reported: kiosk ended during the "
                       "count")
            .arg(Bucket::fromRecordText(*left).journalFields()),
        LineJournal::critical);
    // Removed only once its line is out: a record whose line is lost is told next time.
    if (m_journal && !m_journal->flush(LineJournal::drainMs))
        return;
    if (!m_record->remove())
        say(QStringLiteral("bucket record: %1").arg(m_record->error()), LineJournal::error);
}

void StopControl::bucketStarted(Bucket bucket)
{
    const std::lock_guard lock(m_mutex);
    bucket.started = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
    m_bucket = bucket;
    m_phase = Phase::Counting;
    m_step = 0;
    m_steps = std::max(bucket.balls + 1, 0);
    say(QStringLiteral("bucket-start %1").arg(bucket.journalFields()), LineJournal::critical);
    // The count goes on without a record: the customer has paid for the bucket.
    if (m_record && !m_record->write(bucket))
        say(QStringLiteral("bucket record not written: %1").arg(m_record->error()),
            LineJournal::error);
}

void StopControl::bucketStep(int step, int steps)
{
    const std::lock_guard lock(m_mutex);
    m_step = step;
    m_steps = steps;
}

void StopControl::reportStarted()
{
    const std::lock_guard lock(m_mutex);
    m_phase = Phase::Reporting;
}

void StopControl::reportEnded()
{
    const std::lock_guard lock(m_mutex);
    m_phase = Phase::Reported;
    if (m_record && !m_record->remove())
        say(QStringLiteral("bucket record: %1").arg(m_record->error()), LineJournal::error);
}

void StopControl::bucketEnded()
{
    std::unique_lock lock(m_mutex);
    if (m_bucket && m_phase != Phase::Reported) {
        // Left without a report (an error out of the count): told now, not at the next start.
        cutShort(QStringLiteral("the count ended without its usage report"));
    }
    m_bucket.reset();
    if (m_stopSignal)
        endNow(m_stopSignal);
}

QString StopControl::recordPath() const
{
    const std::lock_guard lock(m_mutex);
    return m_record ? m_record->path() : QString();
}

int StopControl::onSignal(int signal)
{
    const std::lock_guard lock(m_mutex);
    if (signal == 0) {
        // The stop time.
        if (!m_stopSignal)
            return -1;
        if (msLeft() > 0)
            return msLeft();
        cutShort(QStringLiteral("kiosk ended during the count, the stop time of %1 s ran out")
                     .arg(double(m_stopTime.count()) / 1000));
        endNow(m_stopSignal);
    }
    if (m_stopSignal) {
        cutShort(QStringLiteral("kiosk ended during the count by a second stop signal (%1)")
                     .arg(signalName(signal)));
        endNow(signal);
    }
    m_stopSignal = signal;
    if (!m_bucket)
        endNow(signal);
    m_deadline = std::chrono::steady_clock::now() + m_stopTime;
    say(QStringLiteral("stop signal=%1 (%2) waits for the bucket under way, at most %3 s")
            .arg(signal)
            .arg(signalName(signal))
            .arg(double(m_stopTime.count()) / 1000),
        LineJournal::info);
    return msLeft();
}

void StopControl::say(const QString &line, int priority)
{
    if (m_journal)
        m_journal->write(line, priority);
}

void StopControl::cutShort(const QString &why)
{
    if (!m_bucket || m_phase == Phase::Reported)
        return;
    QString reached;
    if (m_phase == Phase::Reporting)
        reached = QStringLiteral("stopped during its usage report, which the server may or may not "
                                 "have");
    else if (m_step <= 0)
        reached = QStringLiteral("stopped before the first step of %1").arg(m_steps);
    else
        reached = QStringLiteral("stopped at step %1 of %2 (Dispensing: %3)")
                      .arg(m_step)
                      .arg(m_steps)
                      .arg(m_bucket->balls - (m_step - 1));
    say(QStringLiteral("bucket %1 UNCONFIRMED %2: %3").arg(m_bucket->journalFields(), reached, why),
        LineJournal::critical);
    // Told once: the record goes when its line is out, so that the next start does not
    // tell the same bucket again.
    if (m_record && (!m_journal || m_journal->flush(LineJournal::drainMs)))
        m_record->remove();
    m_bucket.reset();
}

void StopControl::endNow(int signal)
{
    say(endLine(signal), LineJournal::info);
    if (m_journal)
        m_journal->flush(LineJournal::drainMs);
    EndSignals::endBy(signal);
}

int StopControl::msLeft() const
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        m_deadline - std::chrono::steady_clock::now());
    return int(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

} // namespace platform
