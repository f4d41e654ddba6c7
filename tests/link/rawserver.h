#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <atomic>
#include <thread>

// A scripted TCP server on 127.0.0.1 in a thread of its own, for replies the simulator
// would not give: exact bytes, segments with pauses, no line end, a connection held open.
// Every connection reads one request (up to its CR LF) and then gets the same script.
class RawServer
{
public:
    struct Segment
    {
        QByteArray bytes;
        int delayMs = 0; // pause before the segment is sent
    };

    // hold: keep the connection open after the script instead of closing it.
    explicit RawServer(QList<Segment> script, bool hold = false);
    ~RawServer();
    RawServer(const RawServer &) = delete;
    RawServer &operator=(const RawServer &) = delete;

    quint16 port() const { return listeningPort; }
    int connections() const { return accepted.load(); }
    QList<QByteArray> requests() const;

private:
    void serve();
    void answer(int client);

    QList<Segment> script;
    bool hold;
    int listener = -1;
    quint16 listeningPort = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> accepted{0};
    mutable QMutex mutex;
    QList<QByteArray> received;
    std::thread thread;
};

// A TCP socket bound to 127.0.0.1 on a free port; listening with the given backlog
// unless backlog is negative. Returns the descriptor and sets *port.
int loopbackSocket(int backlog, quint16 *port);

// A frame as the server writes it: 0x00, L, 0x00, 0x04, body, CR LF.
QByteArray replyFrame(const QByteArray &body);
