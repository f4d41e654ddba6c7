#include "faultkiosk.h"

#include "link/ipsend.h"
#include "link/rawserver.h"
#include "platform/errorreport.h"
#include "screens/barcodescreen.h"
#include "screens/rfidscreen.h"
#include "shell/mainscreen.h"
#include "tools/quillmark-sim/simserver.h"

#include <QCoreApplication>
#include <QTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace faultmatrix {

namespace {

// More than 511 bytes: everything the kiosk needs first, then a long note.
QByteArray longBody()
{
    return "RangeOK=1&CardBalance=250%2E00&Number1=5&Number2=8&Number3=12&Price1=20%2E00&"
           "Price2=35%2E00&Price3=50%2E00&Note=" +
           QByteArray(600, 'x') + '&';
}

// How the simulated server misbehaves for each fault.
SimFault faultFor(const QString &name, int kioskWaitMs)
{
    SimFault fault;
    fault.mode = name;
    if (name == QLatin1String("silent")) {
        fault.ms = kioskWaitMs + 5000; // holds the line well past the kiosk's wait
    } else if (name == QLatin1String("late")) {
        fault.mode = QStringLiteral("delay");
        fault.ms = kioskWaitMs + lateByMs;
    } else if (name == QLatin1String("split")) {
        fault.ms = splitPauseMs;
    } else if (name == QLatin1String("halflate")) {
        // The first half in time, the rest as late as a late reply.
        fault.mode = QStringLiteral("split");
        fault.ms = kioskWaitMs + lateByMs;
    } else if (name == QLatin1String("long")) {
        fault.mode = QStringLiteral("raw");
        fault.body = longBody();
    } else if (name == QLatin1String("short")) {
        fault.mode = QStringLiteral("bytes");
        fault.body = QByteArray("\0\x04\0\x04", 4);
    } else if (name == QLatin1String("empty")) {
        // Whole, with nothing in it.
        fault.mode = QStringLiteral("bytes");
        fault.body = QByteArray("\0\x04\0\x04\r\n", 6);
    } else if (name == QLatin1String("minusone")) {
        // An empty first value and no RangeOK item: nothing sets the result code.
        fault.mode = QStringLiteral("raw");
        fault.body = "Note=&Error=Unreadable+reply&";
    }
    if (!SimFault::modes().contains(fault.mode))
        qFatal("no such fault: %s", qPrintable(name));
    return fault;
}

void quiet(SimServer &server)
{
    server.logging = false;
}

} // namespace

QByteArray serverData()
{
    return QStringLiteral(R"({
        "prices": [ {"balls": 5, "price": "20.00"}, {"balls": 8, "price": "35.00"},
                    {"balls": 12, "price": "50.00"} ],
        "cards": [ {"number": "%1", "balance": "250.00"} ],
        "vouchers": [ {"number": "%2", "balls": 3, "used": false},
                      {"number": "%3", "balls": 7, "used": false} ],
        "faults": { "%3": {"mode": "delay", "ms": %4} } })")
        .arg(card, voucher, slowVoucher)
        .arg(slowReplyMs)
        .toUtf8();
}

FaultyServer::FaultyServer(const QString &fault, int kioskWaitMs)
{
    if (fault == QLatin1String("refused")) {
        // Bound but not listening: connects are refused, and no one else takes the port.
        m_listener = loopbackSocket(-1, &m_port);
        return;
    }
    if (fault == QLatin1String("hang")) {
        // Backlog 0 admits one connection that is never accepted; SYNs after it are dropped
        // (tcp_abort_on_overflow is 0 by default), so a further connect hangs.
        m_listener = loopbackSocket(0, &m_port);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_port);
        for (int i = 0; i < 2; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
            m_queued << fd;
        }
        QTest::qWait(100);
        return;
    }
    const SimFault simFault = faultFor(fault, kioskWaitMs);
    m_sim = std::make_unique<SimFixture>(serverData(), [simFault](SimServer &server) {
        quiet(server);
        server.globalFault = simFault;
    });
    m_port = m_sim->port();
}

FaultyServer::~FaultyServer()
{
    for (int fd : std::as_const(m_queued))
        ::close(fd);
    if (m_listener >= 0)
        ::close(m_listener);
}

QList<SimRequest> FaultyServer::requests() const
{
    return m_sim ? m_sim->requests() : QList<SimRequest>();
}

Kiosk::Kiosk(int kioskWaitMs, int kioskConnectMs) : server(serverData(), quiet)
{
    platform::setErrorReporter([this](const QString &message) { errors << message; });
    m_windows = std::make_unique<WindowSet>(server.writeConfig(m_dir.path()));
    IPsend->validationWaitMs = kioskWaitMs;
    IPsend->reportWaitMs = kioskWaitMs;
    IPsend->connectTimeoutMs = kioskConnectMs;
    barcodescreen->stepMs = 1;
    barcodescreen->failurePauseMs = pauseMs;
    barcodescreen->reportPauseMs = pauseMs;
    rfidscreen->stepMs = 1;
    rfidscreen->linkErrorPauseMs = pauseMs;
    rfidscreen->reportPauseMs = pauseMs;
    // A walk-away customer's way back, long enough for the slowest exchange of the row.
    const int timeoutMs = kioskWaitMs + 1500;
    barcodescreen->timeout->setInterval(timeoutMs);
    rfidscreen->timeout->setInterval(timeoutMs);
    mainscreen->show();
}

Kiosk::~Kiosk()
{
    m_windows.reset();
    platform::setErrorReporter({});
}

void Kiosk::pointAt(quint16 port)
{
    IPsend->remoteport = QString::number(port);
}

namespace {

QWidget *entryBox()
{
    return barcodescreen->isVisible() ? static_cast<QWidget *>(barcodescreen->edbarcode)
                                      : rfidscreen->edcardno;
}

} // namespace

void Kiosk::type(const QString &text)
{
    QTest::keyClicks(entryBox(), text);
}

void Kiosk::enter()
{
    QTest::keyClick(entryBox(), Qt::Key_Return);
}

QString Kiosk::screens()
{
    QStringList shown;
    if (mainscreen->isVisible())
        shown << QStringLiteral("main");
    if (barcodescreen->isVisible())
        shown << QStringLiteral("barcode");
    if (rfidscreen->isVisible())
        shown << QStringLiteral("rfid");
    return shown.join(QLatin1Char('+'));
}

FreezeMeter::FreezeMeter()
{
    m_heartbeat.setTimerType(Qt::PreciseTimer);
    m_heartbeat.setInterval(10);
    QObject::connect(&m_heartbeat, &QTimer::timeout, &m_heartbeat, [this] { tick(); });
}

qint64 FreezeMeter::measure(const std::function<void()> &call)
{
    m_longest = 0;
    m_last = 0;
    m_clock.start();
    m_heartbeat.start();
    call();
    tick();
    m_heartbeat.stop();
    return m_longest;
}

void FreezeMeter::tick()
{
    const qint64 now = m_clock.elapsed();
    m_longest = qMax(m_longest, now - m_last);
    m_last = now;
}

} // namespace faultmatrix
