#include "components/networkroutines.h"

#include "components/routinetypes.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSaveFile>
#include <QTcpSocket>

#include <curl/curl.h>
#include <memory>
#include <mutex>

namespace {

size_t writeToFile(char *data, size_t size, size_t count, void *target)
{
    auto *file = static_cast<QSaveFile *>(target);
    const qint64 bytes = qint64(size * count);
    return file->write(data, bytes) == bytes ? size * count : 0;
}

} // namespace

// libcurl, blocking: http, https, ftp and file URLs, redirects followed (never onto a
// local file). The file is replaced only by a complete download, so a failure leaves an
// existing DestFile as it was.
bool NetworkRoutines::DownloadFile(const QString &SourceFile, const QString &DestFile)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    try {
        QSaveFile file(DestFile);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        const std::unique_ptr<CURL, void (*)(CURL *)> curl(curl_easy_init(), curl_easy_cleanup);
        if (!curl)
            return false;
        const QByteArray url = SourceFile.toUtf8();
        curl_easy_setopt(curl.get(), CURLOPT_URL, url.constData());
        curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https,ftp,ftps,file");
        curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp,ftps");
        curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, writeToFile);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &file);
        if (curl_easy_perform(curl.get()) != CURLE_OK)
            return false;
        return file.commit();
    } catch (...) {
        return false;
    }
}

// Opens and closes a TCP connection to the probe server; nothing is sent. The wait for
// the connection is limited, so a network that drops packets cannot hang the caller.
bool NetworkRoutines::IsConnectedToInternet()
{
    QTcpSocket socket;
    socket.connectToHost(InternetProbeHost, InternetProbePort);
    const bool connected = socket.waitForConnected(InternetProbeTimeoutMs);
    socket.abort();
    return connected;
}

// Every address, IPv4 and IPv6, that the resolver gives for the machine's host name.
QStringList NetworkRoutines::GetMyIPs()
{
    const QHostInfo info = QHostInfo::fromName(QHostInfo::localHostName());
    if (info.error() != QHostInfo::NoError)
        throw ResolverError(info.errorString());
    QStringList addresses;
    for (const QHostAddress &address : info.addresses())
        addresses.append(address.toString());
    return addresses;
}
