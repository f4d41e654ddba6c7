#pragma once

// The whole kiosk against a misbehaving server, for the fault matrix: the real windows on
// the offscreen platform, a well-behaved simulated server in the link settings (for the
// validation that comes before a usage report) and a faulty endpoint that the exchange
// under test is pointed at.

#include "shell/windowset.h"
#include "support/simfixture.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>

namespace faultmatrix {

// Shortened bounds for most rows; a row may keep the kiosk's real ones.
inline constexpr int waitMs = 800;    // a validation's and a usage report's wait for a reply
inline constexpr int connectMs = 400; // the connect
inline constexpr int pauseMs = 200;   // each screen pause after a failure or a usage report
inline constexpr int splitPauseMs = 200;
// A late reply comes this long after the kiosk has given up; the exchange that follows
// waits longer than that for its own reply, so the late one is due while it runs.
inline constexpr int lateByMs = 300;
inline constexpr int slowReplyMs = 500;
static_assert(pauseMs < lateByMs && lateByMs < slowReplyMs && slowReplyMs < waitMs,
              "the late reply must fall due inside the next exchange, which must not time out");

// Accounts of both servers. "F-slow" answers only after slowReplyMs.
QByteArray serverData();
inline const QString voucher = QStringLiteral("900003");     // 3 balls
inline const QString card = QStringLiteral("12345678");      // 250.00; 5 balls for 20.00
inline const QString slowVoucher = QStringLiteral("F-slow"); // 7 balls

// Where a faulty exchange goes: "refused" is a port nobody listens on, "hang" a listener
// whose accept queue is full so that its SYNs go unanswered, and every other fault a
// simulated server that misbehaves in that way on every request (see faultFor).
class FaultyServer
{
public:
    FaultyServer(const QString &fault, int kioskWaitMs);
    ~FaultyServer();
    FaultyServer(const FaultyServer &) = delete;
    FaultyServer &operator=(const FaultyServer &) = delete;

    quint16 port() const { return m_port; }
    // The requests it received; empty for the two endpoints that accept none.
    QList<SimRequest> requests() const;

private:
    std::unique_ptr<SimFixture> m_sim;
    int m_listener = -1;
    QList<int> m_queued;
    quint16 m_port = 0;
};

// The kiosk with its four windows, the main screen up, and short screen pauses. Errors that
// leave a handler are collected instead of shown in a modal box.
class Kiosk
{
public:
    explicit Kiosk(int kioskWaitMs, int kioskConnectMs);
    ~Kiosk();
    Kiosk(const Kiosk &) = delete;
    Kiosk &operator=(const Kiosk &) = delete;

    // Points the link at the faulty endpoint.
    void pointAt(quint16 port);
    // Types the characters into the focused customer screen's entry box (no Enter).
    static void type(const QString &text);
    // Enter on the entry box that the open customer screen has.
    static void enter();

    // Which of the three screens show, e.g. "main" or "barcode".
    static QString screens();

    QStringList errors; // reported error texts, in order
    SimFixture server;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<WindowSet> m_windows;
};

// The longest time the GUI thread dispatched no event while a call ran: a heartbeat timer
// ticks wherever events are handled, the kiosk's own message pumps included, and the
// longest gap between ticks (and from the start to the first, the last to the end) is the
// longest freeze.
class FreezeMeter
{
public:
    FreezeMeter();
    qint64 measure(const std::function<void()> &call);

private:
    void tick();

    QTimer m_heartbeat;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

} // namespace faultmatrix
