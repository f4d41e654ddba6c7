#include "simfixture.h"

#include "tools/quillmark-sim/kioskconfig.h"
#include "tools/quillmark-sim/simserver.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QSemaphore>
#include <QThread>

SimFixture::SimFixture(const QByteArray &json, const std::function<void(SimServer &)> &setup)
{
    path = dir.filePath(QStringLiteral("sim-data.json"));
    SimData data;
    QString error;
    if (!dir.isValid() || !data.loadJson(json, &error))
        qFatal("SimFixture: unusable data: %s", qPrintable(error));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size())
        qFatal("SimFixture: cannot write %s", qPrintable(path));
    file.close();

    QSemaphore ready;
    QString listenError;
    thread.reset(
        QThread::create([this, data = std::move(data), setup, &ready, &listenError]() mutable {
            SimServer server(std::move(data), path, &ledger);
            if (setup)
                setup(server);
            if (server.listen(QHostAddress::LocalHost, 0))
                listeningPort = server.port();
            else
                listenError = server.errorString();
            ready.release();
            if (listeningPort != 0) {
                QEventLoop loop;
                loop.exec(); // ended by QThread::quit() from the destructor
            }
        }));
    thread->start();
    ready.acquire();
    if (listeningPort == 0)
        qFatal("SimFixture: cannot listen: %s", qPrintable(listenError));
}

SimFixture::~SimFixture()
{
    thread->quit();
    thread->wait();
}

quint16 SimFixture::port() const
{
    return listeningPort;
}

QList<SimRequest> SimFixture::requests() const
{
    return ledger.requests();
}

void SimFixture::clearRequests()
{
    ledger.clear();
}

bool SimFixture::waitForRequests(int count, int timeoutMs)
{
    return ledger.waitFor(count, timeoutMs);
}

QString SimFixture::writeConfig(const QString &dir, QChar separator) const
{
    QString error;
    const QString path =
        writeKioskConfig(dir, QStringLiteral("127.0.0.1"), listeningPort, separator, &error);
    if (path.isEmpty())
        qFatal("SimFixture: %s", qPrintable(error));
    return path;
}

QJsonObject SimFixture::state() const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

QString SimFixture::statePath() const
{
    return path;
}
