#include "components/networkroutines.h"

#include "components/regularfile.h"
#include "platform/hostlookup.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QSaveFile>
#include <QTcpSocket>
#include <QUrl>
#include <QtEndian>

#include <cerrno>
#include <curl/curl.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

size_t writeToFile(char *data, size_t size, size_t count, void *target)
{
    auto *file = static_cast<QSaveFile *>(target);
    const qint64 bytes = qint64(size * count);
    return file->write(data, bytes) == bytes ? size * count : 0;
}

// The stall limit: how long ago the last data came, counted from the moment a connection
// stands (before that the connect limit applies).
struct StallWatch
{
    QElapsedTimer sinceData;
    curl_off_t received = -1;
    qint64 limitMs = 0;
};

int connectionStands(void *watch, char *, char *, int, int)
{
    static_cast<StallWatch *>(watch)->sinceData.start();
    return CURL_PREREQFUNC_OK;
}

// libcurl calls this often while data flows and about once a second while none does.
int checkStall(void *watch, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent)
{
    auto *w = static_cast<StallWatch *>(watch);
    if (!w->sinceData.isValid())
        return 0;
    if (received + sent != w->received) {
        w->received = received + sent;
        w->sinceData.start();
        return 0;
    }
    return w->sinceData.hasExpired(w->limitMs) ? 1 : 0;
}

// A file URL names a local file: its path, or nothing when the URL is not one libcurl
// would take as local (another host, a malformed URL).
std::optional<QByteArray> localPath(const QByteArray &url)
{
    const std::unique_ptr<CURLU, void (*)(CURLU *)> parsed(curl_url(), curl_url_cleanup);
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.constData(), 0) != CURLUE_OK)
        return std::nullopt;
    char *host = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK) {
        const QByteArray name(host);
        curl_free(host);
        if (!name.isEmpty() && name.compare("localhost", Qt::CaseInsensitive) != 0 &&
            name != "127.0.0.1")
            return std::nullopt;
    }
    char *path = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_PATH, &path, CURLU_URLDECODE) != CURLUE_OK)
        return std::nullopt;
    const QByteArray bytes(path);
    curl_free(path);
    if (bytes.isEmpty() || bytes.contains('\0'))
        return std::nullopt;
    return bytes;
}

// Copies a local file, regular files only: a named pipe without a writer would block the
// caller for ever and a device such as /dev/zero would fill the disk. RegularFile refuses
// both by name before anything is opened, as every file routine does.
bool copyRegularFile(const QByteArray &path, QSaveFile &file)
{
    QString why;
    RegularFile source = RegularFile::openForReading(QFile::decodeName(path), &why);
    if (!source.isOpen())
        return false;
    std::unique_ptr<char[]> buffer(new char[1 << 16]);
    for (;;) {
        const qint64 n = source.read(buffer.get(), 1 << 16);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (file.write(buffer.get(), n) != n)
            return false;
    }
}

} // namespace

// libcurl, blocking: http, https and ftp URLs, redirects followed (never onto a local
// file); a file URL is copied here, from a regular file only. The file is replaced only by
// a complete download, so a failure leaves an existing DestFile as it was. A server that
// does not answer the connection, or that sends nothing for DownloadStallTimeoutMs, ends
// the download with False; a large file that keeps coming takes as long as it takes.
bool NetworkRoutines::DownloadFile(const QString &SourceFile, const QString &DestFile)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    try {
        const QByteArray url = SourceFile.toUtf8();
        QSaveFile file(DestFile);
        if (url.left(5).compare("file:", Qt::CaseInsensitive) == 0) {
            const std::optional<QByteArray> path = localPath(url);
            return path && file.open(QIODevice::WriteOnly) && copyRegularFile(*path, file) &&
                   file.commit();
        }
        if (!file.open(QIODevice::WriteOnly))
            return false;
        const std::unique_ptr<CURL, void (*)(CURL *)> curl(curl_easy_init(), curl_easy_cleanup);
        if (!curl)
            return false;
        StallWatch watch;
        watch.limitMs = DownloadStallTimeoutMs;
        curl_easy_setopt(curl.get(), CURLOPT_URL, url.constData());
        curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https,ftp,ftps");
        curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp,ftps");
        curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, writeToFile);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &file);
        // The connect limit covers the name lookup and the TLS handshake too. At the limit
        // libcurl would wait for its resolver thread, which a name server that never
        // answers holds until the resolver gives up (timeout times attempts, as long as
        // 150 s); QUICK_EXIT (libcurl 7.87) leaves that thread to end, and free itself,
        // on its own, as the kiosk's own lookup does.
        curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS, long(DownloadConnectTimeoutMs));
        curl_easy_setopt(curl.get(), CURLOPT_QUICK_EXIT, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_PREREQFUNCTION, connectionStands);
        curl_easy_setopt(curl.get(), CURLOPT_PREREQDATA, &watch);
        curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, checkStall);
        curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, &watch);
        curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
        if (curl_easy_perform(curl.get()) != CURLE_OK)
            return false;
        return file.commit();
    } catch (...) {
        return false;
    }
}

// Opens and closes a TCP connection to the probe server; nothing is sent. The name lookup
// and the connection share one limit, so neither a silent name server nor a network that
// drops packets holds the caller longer than InternetProbeTimeoutMs. The addresses are
// tried in the resolver's order while time is left.
bool NetworkRoutines::IsConnectedToInternet()
{
    const QDeadlineTimer deadline(InternetProbeTimeoutMs);
    const platform::HostLookupResult found =
        platform::lookupHostIPv4(QUrl::toAce(InternetProbeHost), deadline);
    for (const quint32 address : found.addresses) {
        if (deadline.hasExpired())
            break;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress(qFromBigEndian(address)), InternetProbePort);
        const bool connected = socket.waitForConnected(int(deadline.remainingTime()));
        socket.abort();
        if (connected)
            return true;
    }
    return false;
}

// The addresses of the machine's interfaces that are up, in the order of the interfaces
// (the loopback among them), as `ip address` lists them: on Linux the host name often maps
// to a loopback address only (Debian's /etc/hosts), so the resolver cannot say.
QStringList NetworkRoutines::GetMyIPs()
{
    QStringList addresses;
    for (const QHostAddress &address : QNetworkInterface::allAddresses())
        addresses.append(address.toString());
    return addresses;
}
