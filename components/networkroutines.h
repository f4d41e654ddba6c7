#pragma once

#include <QString>
#include <QStringList>

// Network routines of the utility component. All of them block the calling thread until
// they are done and pump no window messages.
class NetworkRoutines
{
public:
    // The server that IsConnectedToInternet tries, and how long the name lookup and the
    // connection may take together. Debian's own connectivity check (NetworkManager's, in
    // network-manager-config-connectivity-debian) asks this host on port 80.
    QString InternetProbeHost = QStringLiteral("network-test.debian.org");
    quint16 InternetProbePort = 80;
    int InternetProbeTimeoutMs = 5000;
    // DownloadFile gives up when a connection does not stand within the connect limit, or
    // when no data has come for the stall limit; a transfer that keeps going has no limit.
    int DownloadConnectTimeoutMs = 30000;
    int DownloadStallTimeoutMs = 60000;

    bool DownloadFile(const QString &SourceFile, const QString &DestFile);
    bool IsConnectedToInternet();
    static QStringList GetMyIPs();
};
