#pragma once

#include "platform/bucketrecord.h"
#include "platform/endsignals.h"

#include <QString>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

namespace platform {

class LineJournal;

// How the kiosk ends on a stop (SIGTERM, SIGINT, SIGHUP), and the ledger of the bucket
// under way.
//
// A stop that arrives while no bucket is under way ends the program at once. One that
// arrives from the first step of a count to the end of the pause after its usage report
// waits: the count goes on as paced, the report is sent and journalled, and the program
// ends when the bucket is done. A second signal, or the stop time running out, ends it at
// once, but only after the bucket is journalled UNCONFIRMED with the step it reached,
// unless its report's exchange had ended already. The end line goes out, and is flushed,
// on every stop.
//
// With a state folder, the bucket under way is also kept as a record file there (see
// BucketRecordFile), and a record that an earlier run left behind is journalled
// UNCONFIRMED at the start and removed. The usage report is never sent again: the request
// carries no key the server could tell a repeat by, and a card would be charged twice.
//
// The signals are handled on a thread of their own, so that a second signal or the stop
// time ends the program also while the GUI thread is blocked in an exchange or a pause.
// One object at a time; the customer screens reach it through current().
class StopControl
{
public:
    static constexpr int defaultStopTimeMs = 60000;

    // journal: where the bucket lines and the end line go; null for none.
    explicit StopControl(LineJournal *journal, int stopTimeMs = defaultStopTimeMs);
    ~StopControl();
    StopControl(const StopControl &) = delete;
    StopControl &operator=(const StopControl &) = delete;

    // The one that exists, or null.
    static StopControl *current();

    // Keeps the record of the bucket under way in folder from now on. A record left behind
    // there is journalled first and removed; a folder unfit for records (see
    // prepareStateFolder) is journalled and none are kept.
    void keepRecordsIn(const QString &folder);

    // The bucket's count is about to show its first step: journalled and recorded.
    void bucketStarted(Bucket bucket);
    // Step `step` of `steps` (1 for the first) is showing.
    void bucketStep(int step, int steps);
    // The bucket's usage report begins, and its exchange has ended (whatever its result:
    // the exchange's own journal line tells it); the record goes then.
    void reportStarted();
    void reportEnded();
    // The bucket is done (the pause after its report is over, or an error left the
    // dispensing). A stop that waited for it ends the program here.
    void bucketEnded();

    // The record file in use; empty when none are kept.
    QString recordPath() const;

private:
    enum class Phase { Counting, Reporting, Reported };

    int onSignal(int signal);
    void say(const QString &line, int priority);
    // Journals the bucket under way as cut short, unless its report has ended.
    void cutShort(const QString &why);
    [[noreturn]] void endNow(int signal);
    int msLeft() const;

    LineJournal *const m_journal;
    const std::chrono::milliseconds m_stopTime;
    mutable std::mutex m_mutex;
    std::unique_ptr<BucketRecordFile> m_record;
    std::optional<Bucket> m_bucket;
    Phase m_phase = Phase::Counting;
    int m_step = 0;
    int m_steps = 0;
    int m_stopSignal = 0;
    std::chrono::steady_clock::time_point m_deadline;
    // Last: its thread calls onSignal until it is gone.
    std::unique_ptr<EndSignals> m_signals;
};

// "SIGTERM" for 15.
QString signalName(int signal);

} // namespace platform
