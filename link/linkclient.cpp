#include "link/linkclient.h"

#include "link/exchangereport.h"
#include "link/linksettings.h"
#include "link/replyparser.h"
#include "link/wireformat.h"
#include "platform/decimalseparator.h"
#include "platform/messagepump.h"

namespace {

// Marks an exchange as running for as long as it is in scope, also when it leaves by
// an error.
class RunningFlag
{
public:
    explicit RunningFlag(bool &flag) : flag(flag) { flag = true; }
    ~RunningFlag() { flag = false; }
    RunningFlag(const RunningFlag &) = delete;
    RunningFlag &operator=(const RunningFlag &) = delete;

private:
    bool &flag;
};

constexpr int noReply = 9;

} // namespace

LinkClient::LinkClient()
{
    ClientSocket1.connectTimeoutMs = connectTimeoutMs;
    ClientSocket1.activate();
}

LinkClient::~LinkClient() = default;

void LinkClient::readSettings(const QString &path)
{
    const LinkSettings settings = LinkSettings::read(path);
    remoteserver = settings.server;
    remoteport = settings.port;
    settingsRead(remoteserver, remoteport);
    setDecimalSeparator(settings.separator.isEmpty() ? localeDecimalSeparator()
                                                     : settings.separator.at(0));
}

bool LinkClient::exchangeRunning() const
{
    return running;
}

void LinkClient::pumpMessages()
{
    platform::pumpMessages();
}

int LinkClient::refuse(const QString &reason)
{
    RangeOK = 0;
    IPerror = reason;
    return RangeOK;
}

int LinkClient::sendinput(const QString &id, const QString &rangeType)
{
    const ExchangeReport report(*this, ExchangeReport::validationOf(rangeType), id);
    if (running)
        return refusedNested;
    if (const QString reason = wire::unsafeValueReason(id); !reason.isEmpty())
        return refuse(reason);
    const QDateTime dateReading = clock();
    const QDateTime timeReading = clock();
    const QString date = wire::encodeDate(dateReading.date());
    const QString time = wire::encodeTime(timeReading.time());
    const QString body = wire::validationBody(rangeType, id, date, time);
    if (const QString reason = wire::frameLengthReason(wire::frameLength(body)); !reason.isEmpty())
        return refuse(reason);
    transdate = date;
    transtime = time;
    return exchange(body, remoteserver, remoteport, validationWaitMs);
}

int LinkClient::sendvendstatus(const QString &id, const QString &rangeType)
{
    const ExchangeReport report(*this, ExchangeRecord::Operation::VoucherReport, id);
    if (running)
        return refusedNested;
    if (const QString reason = wire::unsafeValueReason(id); !reason.isEmpty())
        return refuse(reason);
    const QString body = wire::usageReportBody(rangeType, id, transdate, transtime);
    if (const QString reason = wire::frameLengthReason(wire::frameLength(body)); !reason.isEmpty())
        return refuse(reason);
    return exchange(body, remoteserver, remoteport, reportWaitMs);
}

int LinkClient::sendcardvendstatus(const QString &id, const QString &rangeType, int issueGroup)
{
    const ExchangeReport report(*this, ExchangeRecord::Operation::CardReport, id, issueGroup);
    if (running)
        return refusedNested;
    if (const QString reason = wire::unsafeValueReason(id); !reason.isEmpty())
        return refuse(reason);
    const QString body = wire::cardUsageReportBody(rangeType, id, issueGroup, transdate, transtime);
    if (const QString reason = wire::frameLengthReason(wire::frameLength(body)); !reason.isEmpty())
        return refuse(reason);
    return exchange(body, remoteserver, remoteport, reportWaitMs);
}

int LinkClient::sendMessageTo(const QString &host, const QString &port)
{
    const ExchangeReport report(
        *this, ExchangeRecord::Operation::TestSend,
        wire::itemValue(wire::splitItems(QStringView(messagestring).mid(wire::headerBytes)),
                        u"Reference"));
    if (running)
        return refusedNested;
    // The technician's frame goes out as composed; only a length the byte cannot carry
    // is refused.
    if (messagestring.size() > 1) {
        if (const QString reason = wire::frameLengthReason(messagestring.at(1).unicode());
            !reason.isEmpty())
            return refuse(reason);
    }
    return run(host, port, validationWaitMs);
}

int LinkClient::exchange(const QString &body, const QString &host, const QString &port, int waitMs)
{
    intmessagelength = qint16(wire::frameLength(body));
    messagestring = wire::frameText(body);
    return run(host, port, waitMs);
}

int LinkClient::run(const QString &host, const QString &port, int waitMs)
{
    RunningFlag flag(running);
    ClientSocket1.setRemotePort(port);
    ClientSocket1.setRemoteHost(host);
    ClientSocket1.connectTimeoutMs = connectTimeoutMs;
    ClientSocket1.activate();
    // Nothing may run between building the frame and sending it: the test window's
    // preview rewrites messagestring at every pump.
    ClientSocket1.sendln(wire::encodeFrame(messagestring));
    RangeOK = -1;
    const QDeadlineTimer deadline(waitMs);
    if (!ClientSocket1.waitForData(deadline)) {
        RangeOK = noReply;
        ClientSocket1.disconnect();
        return RangeOK;
    }
    bool late = false;
    const QByteArray reply =
        ClientSocket1.receiveln(deadline, wire::maxReplyBytes, wire::headerBytes, &late);
    ClientSocket1.disconnect();
    if (late) {
        // The rest of the reply did not come within the bound. Read in part it would give
        // wrong figures (a ball count cut short, prices missing): it is lost as a whole,
        // like a reply that comes late.
        RangeOK = noReply;
        return RangeOK;
    }
    ClientSocket1Receive(reply);
    // A reply that sets no result code (an empty first value and no RangeOK item, garbage
    // among them) says neither yes nor no, and -1 would claim the exchange still runs: the
    // screens treat it as a link failure, not as a refusal with an earlier reply's reason.
    if (RangeOK == -1)
        RangeOK = noReply;
    return RangeOK;
}

void LinkClient::ClientSocket1Receive(QByteArrayView reply)
{
    ReplyHooks hooks;
    hooks.showLength = [this](int value) { showReplyLength(value); };
    hooks.pump = [this] { pumpMessages(); };
    hooks.showItems = [this](const QStringList &items) { showReplyItems(items); };
    parseReply(reply, *this, hooks);
}
