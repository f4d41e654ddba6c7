#include "tools/quillmark-sim/simserver.h"

#include "tools/quillmark-sim/simframe.h"
#include "tools/quillmark-sim/simresponder.h"

#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>
#include <cstdio>
#include <memory>

namespace {

constexpr int defaultDelayMs = 12000;
constexpr int defaultSplitPauseMs = 300;
constexpr int defaultSilentHoldMs = 30000;

// Modes whose reply is the server's normal answer, only delivered late, in pieces or
// slightly spoiled: the request still takes effect. The others leave the accounts alone.
bool faultApplies(const SimFault &fault)
{
    static const QStringList applying = {"delay", "split", "nofinalamp", "notanumber"};
    return !fault.isSet() || applying.contains(fault.mode);
}

} // namespace

SimServer::SimServer(SimData data, QString statePath, RequestLedger *ledger, QObject *parent)
    : QObject(parent), data(std::move(data)), statePath(std::move(statePath)), ledger(ledger)
{
    server.setMaxPendingConnections(64);
    connect(&server, &QTcpServer::newConnection, this, &SimServer::accept);
}

bool SimServer::listen(const QHostAddress &address, quint16 port)
{
    return server.listen(address, port);
}

quint16 SimServer::port() const
{
    return server.serverPort();
}

QString SimServer::errorString() const
{
    return server.errorString();
}

void SimServer::accept()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        socket->setParent(this);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto buffer = std::make_shared<QByteArray>();
        auto *idle = new QTimer(socket);
        idle->setSingleShot(true);
        connect(idle, &QTimer::timeout, socket, [this, socket, buffer] {
            if (!buffer->isEmpty()) {
                SimRequest partial;
                partial.raw = *buffer;
                if (ledger)
                    ledger->append(partial);
            }
            log(socket, QStringLiteral("no whole request within %1 ms, closing after: %2")
                            .arg(idleTimeoutMs)
                            .arg(simframe::printable(*buffer)));
            socket->abort();
            socket->deleteLater();
        });
        connect(socket, &QTcpSocket::readyRead, socket,
                [this, socket, buffer] { received(socket, buffer.get()); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        idle->start(idleTimeoutMs);
        received(socket, buffer.get()); // bytes may have arrived with the connection
    }
}

void SimServer::received(QTcpSocket *socket, QByteArray *buffer)
{
    if (socket->property("handled").toBool()) {
        socket->readAll(); // one request per connection; anything after it is ignored
        return;
    }
    buffer->append(socket->read(simframe::maxRequestBytes + 1 - buffer->size()));
    qsizetype end = simframe::frameEnd(*buffer);
    if (end < 0 && buffer->size() <= simframe::maxRequestBytes)
        return;
    if (end < 0)
        end = buffer->size();
    socket->setProperty("handled", true);
    qDeleteAll(socket->findChildren<QTimer *>());
    const QByteArray frame = buffer->left(end);
    buffer->clear();
    handle(socket, frame);
}

void SimServer::handle(QTcpSocket *socket, const QByteArray &frame)
{
    SimRequest request;
    QString problem;
    const bool wellFormed = simframe::parseRequest(frame, &request, &problem);
    if (ledger)
        ledger->append(request);
    log(socket, QStringLiteral("request %1").arg(simframe::printable(frame)));
    if (!wellFormed) {
        log(socket, QStringLiteral("malformed request: %1").arg(problem));
        deliver(socket, simresponder::refusal(QStringLiteral("Malformed request")), {});
        return;
    }

    const SimFault fault = data.faults.value(request.reference, globalFault);
    simresponder::Answer answer;
    if (faultApplies(fault)) {
        answer = simresponder::answer(request, data);
    } else {
        SimData scratch = data; // what the server would have said, without keeping it
        answer = simresponder::answer(request, scratch);
        answer.changed = false;
    }
    if (answer.changed && !statePath.isEmpty()) {
        QString error;
        if (!data.saveFile(statePath, &error))
            log(socket, QStringLiteral("state not written: %1").arg(error));
    }
    deliver(socket, simresponder::applyFault(answer.body, fault), fault);
}

// The pauses of the fault modes run on precise timers: a coarse one may fire up to 5 %
// early, and a reply meant to come just after a client's bound would then come before it.
void SimServer::deliver(QTcpSocket *socket, const QByteArray &body, const SimFault &fault)
{
    const QString &mode = fault.mode;
    if (fault.isSet())
        log(socket, QStringLiteral("fault mode %1").arg(mode));

    if (mode == QLatin1String("close")) {
        log(socket, QStringLiteral("closing without a reply"));
        socket->disconnectFromHost();
        return;
    }
    if (mode == QLatin1String("silent")) {
        const int hold = fault.ms >= 0 ? fault.ms : defaultSilentHoldMs;
        log(socket, QStringLiteral("holding the connection without a reply for %1 ms").arg(hold));
        QTimer::singleShot(hold, Qt::PreciseTimer, socket,
                           [socket] { socket->disconnectFromHost(); });
        return;
    }
    if (mode == QLatin1String("garbage")) {
        QByteArray noise(64, '\0');
        QRandomGenerator generator(20240901);
        for (char &byte : noise)
            byte = static_cast<char>(generator.bounded(256));
        send(socket, noise, true);
        return;
    }

    if (mode == QLatin1String("bytes")) {
        // Exactly what the data says, header and line end included or not: replies no
        // sound server frames, such as a bare header.
        send(socket, body, true);
        return;
    }

    const QByteArray frame = simframe::frameReply(body);
    if (mode == QLatin1String("delay")) {
        const int delay = fault.ms >= 0 ? fault.ms : defaultDelayMs;
        log(socket, QStringLiteral("replying in %1 ms").arg(delay));
        QTimer::singleShot(delay, Qt::PreciseTimer, socket,
                           [this, socket, frame] { send(socket, frame, true); });
        return;
    }
    if (mode == QLatin1String("split")) {
        const qsizetype at =
            fault.at > 0 ? qMin<qsizetype>(fault.at, frame.size() - 1) : frame.size() / 2;
        const int pause = fault.ms >= 0 ? fault.ms : defaultSplitPauseMs;
        send(socket, frame.left(at), false);
        QTimer::singleShot(pause, Qt::PreciseTimer, socket,
                           [this, socket, rest = frame.mid(at)] { send(socket, rest, true); });
        return;
    }
    send(socket, frame, true);
}

void SimServer::send(QTcpSocket *socket, const QByteArray &bytes, bool close)
{
    if (socket->state() != QAbstractSocket::ConnectedState) {
        log(socket, QStringLiteral("client gone before the reply"));
        return;
    }
    log(socket, QStringLiteral("reply %1").arg(simframe::printable(bytes)));
    socket->write(bytes);
    socket->flush();
    if (close)
        socket->disconnectFromHost();
}

void SimServer::log(QTcpSocket *socket, const QString &text) const
{
    if (!logging)
        return;
    const QByteArray line =
        QStringLiteral("quillmark-sim [%1] %2\n").arg(socket->peerPort()).arg(text).toLocal8Bit();
    std::fputs(line.constData(), stderr);
    std::fflush(stderr);
}
