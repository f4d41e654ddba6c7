#pragma once

#include "tools/quillmark-sim/requestledger.h"
#include "tools/quillmark-sim/simdata.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// The simulated management server: one request per connection, one framed reply, then
// the connection is closed. Lives in the thread that runs its event loop; only the
// ledger may be read from other threads.
class SimServer : public QObject
{
    Q_OBJECT
public:
    // statePath: where the accounts are written after each change (empty: nowhere).
    SimServer(SimData data, QString statePath, RequestLedger *ledger = nullptr,
              QObject *parent = nullptr);

    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const;
    QString errorString() const;

    // A fault for every request; a fault named for a reference in the data wins over it.
    SimFault globalFault;
    // A connection that has not sent a whole request by then is closed.
    int idleTimeoutMs = 5000;
    // Request and reply lines on stderr.
    bool logging = true;

private:
    void accept();
    void received(QTcpSocket *socket, QByteArray *buffer);
    void handle(QTcpSocket *socket, const QByteArray &frame);
    void deliver(QTcpSocket *socket, const QByteArray &body, const SimFault &fault);
    void send(QTcpSocket *socket, const QByteArray &bytes, bool close);
    void log(QTcpSocket *socket, const QString &text) const;

    QTcpServer server;
    SimData data;
    QString statePath;
    RequestLedger *ledger;
};
