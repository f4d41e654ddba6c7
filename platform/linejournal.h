#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

namespace platform {

// A journal of text lines on a file descriptor (the kiosk's standard error, which systemd
// keeps in the journal), written by a thread of its own so that the caller never waits for
// the reader: a full pipe or a stalled journal costs lines, never the GUI thread's time.
// Lines that find the bounded queue full are dropped and counted; the count goes out as a
// line of its own where they are missing. The thread itself writes without blocking too
// (a socket with MSG_DONTWAIT, a pipe or terminal through a non-blocking descriptor of its
// own), so that ending the journal is bounded even when nobody ever reads.
//
// On systemd's journal stream (JOURNAL_STREAM names the descriptor) each line carries its
// priority as a "<N>" prefix, which journald reads and strips: journald writes a line of
// priority critical or higher to disk at once, the lines before it with it. Elsewhere (a
// terminal, a pipe, a file) the lines stay plain.
class LineJournal
{
public:
    // Priorities as syslog numbers them.
    static constexpr int critical = 2;
    static constexpr int error = 3;
    static constexpr int warning = 4;
    static constexpr int info = 6;
    static constexpr int debug = 7;

    // fd stays open and owned by the caller; capacity is the most lines queued at once.
    explicit LineJournal(int fd, std::size_t capacity = 1024);
    // Writes what is still queued, waiting at most drainMs for the descriptor; lines it
    // then still cannot write are lost.
    ~LineJournal();
    LineJournal(const LineJournal &) = delete;
    LineJournal &operator=(const LineJournal &) = delete;

    // Queues the line with the local time in front (ISO 8601, milliseconds) and a line
    // feed after it. Returns at once: false when the line was dropped.
    bool write(const QString &line, int priority = info);

    // True when the descriptor is systemd's journal stream, so that lines carry priorities.
    bool onJournalStream() const { return m_journalStream; }

    // Waits until every queued line is written or timeoutMs has passed; true when the
    // queue is empty.
    bool flush(int timeoutMs);

    // Lines dropped so far, because the queue was full or the descriptor failed.
    std::uint64_t dropped() const;

    static constexpr int drainMs = 1000;

private:
    struct Entry
    {
        QByteArray bytes;
        std::uint64_t droppedAfter = 0; // lines dropped while this one was the last queued
    };

    void run();
    // Writes the whole of bytes unless the descriptor fails or, once the journal ends, the
    // drain time runs out; false when they are lost.
    bool writeOut(const QByteArray &bytes);
    // One write without blocking: bytes written, 0 when the descriptor is full, -1 when it
    // failed.
    long writeSome(const char *data, std::size_t size);

    const int m_fd;
    const std::size_t m_capacity;
    int m_ownFd = -1;      // a non-blocking descriptor of the same pipe or terminal
    bool m_socket = false; // m_fd is a socket: send() with MSG_DONTWAIT
    bool m_journalStream = false;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Entry> m_queue;
    std::uint64_t m_dropped = 0;
    bool m_writing = false;
    bool m_stopping = false;
    // steady clock, nanoseconds; 0 while the journal runs
    std::atomic<std::int64_t> m_giveUpAt{0};
    std::thread m_writer;
};

} // namespace platform
