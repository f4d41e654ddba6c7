#pragma once

#include "tools/quillmark-sim/requestledger.h"
#include "tools/quillmark-sim/simrequest.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>

class QThread;
class SimServer;

// A simulated management server for tests, on 127.0.0.1 with a free port, running in a
// thread of its own: the kiosk's exchanges block the test's thread, so the server must not
// need it. The data (format of quillmark-sim's data file) lives in a temporary file that
// is also the state file; state() reads it back.
class SimFixture
{
public:
    // setup, when given, runs on the server before it listens (in the server's thread), for
    // example to shorten its idle timeout or to set a fault for every request.
    explicit SimFixture(const QByteArray &json, const std::function<void(SimServer &)> &setup = {});
    ~SimFixture();
    SimFixture(const SimFixture &) = delete;
    SimFixture &operator=(const SimFixture &) = delete;

    quint16 port() const;
    QList<SimRequest> requests() const;
    void clearRequests();
    // True as soon as at least count requests arrived since the last clearRequests().
    bool waitForRequests(int count, int timeoutMs);
    // Writes config.ini (address, port, decimal separator) into dir; returns its path.
    QString writeConfig(const QString &dir, QChar separator = '.') const;

    // The accounts as last written: after a usage report has been answered it shows the
    // new balance or the used voucher.
    QJsonObject state() const;
    QString statePath() const;

private:
    QTemporaryDir dir;
    QString path;
    RequestLedger ledger;
    std::unique_ptr<QThread> thread;
    quint16 listeningPort = 0;
};
