#pragma once

#include <QString>
#include <QStringList>

// Network routines of the utility component. All of them block the calling thread until
// they are done and pump no window messages.
class NetworkRoutines
{
public:
    // The server that IsConnectedToInternet tries, and how long it waits for the connection.
    QString InternetProbeHost = QStringLiteral("example.com");
    quint16 InternetProbePort = 80;
    int InternetProbeTimeoutMs = 5000;

    bool DownloadFile(const QString &SourceFile, const QString &DestFile);
    bool IsConnectedToInternet();
    static QStringList GetMyIPs();
};
