#include "link/linkclient.h"

#include "link/exchangereport.h"
#include "link/linksettings.h"
#include "link/replyparser.h"
#include "link/wireformat.h"
#include "platform/codepage.h"
#include "platform/decimalseparator.h"
#include "platform/errors.h"
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

const QString validation = QStringLiteral("Validation");
const QString voucherReport = QStringLiteral("Voucher usage report");
const QString cardReport = QStringLiteral("Card usage report");
const QString send = QStringLiteral("Send");

QString seconds(int ms)
{
    return QString::number(ms / 1000.0) + QStringLiteral(" s");
}

QString hexByte(unsigned char byte)
{
    return QStringLiteral("0x") + QString::number(byte, 16).toUpper().rightJustified(2, u'0');
}

// A character as the technician can read it in one line: printable ones between double
// quotes, the others (and the double quote) as their byte in the code page ("0x09").
QString shownCharacter(QChar c)
{
    const char16_t u = c.unicode();
    if (u > 0x20 && u != 0x7F && u != '"' && !(u >= 0x80 && u <= 0xA0))
        return QLatin1Char('"') + c + QLatin1Char('"');
    return hexByte(static_cast<unsigned char>(platform::toCodePage(QString(c)).at(0)));
}

// The length of the longest request that the reference will need after its validation:
// the card usage report for a card ("C"), the voucher usage report for a voucher ("P"),
// the longer of the two for any other range type. Its date and time are as long as the
// validation's.
int longestReportLength(const QString &rangeType, const QString &id, const QString &date,
                        const QString &time)
{
    const int voucher = wire::frameLength(wire::usageReportBody(rangeType, id, date, time));
    const int card = wire::frameLength(wire::cardUsageReportBody(rangeType, id, 3, date, time));
    if (rangeType == QLatin1String("P"))
        return voucher;
    if (rangeType == QLatin1String("C"))
        return card;
    return qMax(voucher, card);
}

} // namespace

LinkClient::LinkClient()
{
    ClientSocket1.connectTimeoutMs = connectTimeoutMs;
    ClientSocket1.activate();
}

LinkClient::~LinkClient() = default;

void LinkClient::readSettings(const QString &path)
{
    settingsError.clear();
    const LinkSettings settings = LinkSettings::read(path);
    remoteserver = settings.server;
    remoteport = settings.port;
    settingsRead(remoteserver, remoteport);
    const QChar separator =
        settings.separator.isEmpty() ? localeDecimalSeparator() : settings.separator.at(0);
    // A blank read 12.50 as 12 and a digit as 12050: such a separator is never taken, and
    // every exchange fails until the file is mended.
    if (const QString fault = decimalSeparatorFault(separator); !fault.isEmpty()) {
        setDecimalSeparator(localeDecimalSeparator());
        settingsError = QStringLiteral("settings error: the decimal separator %1 on line 3 of "
                                       "config.ini is %2, which cannot separate decimals")
                            .arg(shownCharacter(separator), fault);
        lastEnding = QStringLiteral("Link settings: ") + settingsError;
        showEnding(lastEnding);
        return;
    }
    setDecimalSeparator(separator);
}

bool LinkClient::exchangeRunning() const
{
    return running;
}

void LinkClient::pumpMessages()
{
    platform::pumpMessages();
}

int LinkClient::refuse(const QString &what, const QString &reason)
{
    // The reason is the technician's: the customer screens show their own plain refusal,
    // and IPerror keeps what the server last said.
    RangeOK = linkresult::refusedByLink;
    linkRefusal = reason;
    return end(what, QStringLiteral("refused by the link: ") + reason);
}

int LinkClient::refuseBusy(const QString &what)
{
    // Nothing of the running exchange's record may change; the window says it now and
    // again when the running exchange has ended.
    busyNote =
        what +
        QStringLiteral(": refused (result %1), another exchange was running").arg(linkresult::busy);
    lastEnding = busyNote;
    showEnding(lastEnding);
    return linkresult::busy;
}

int LinkClient::end(const QString &what, const QString &why)
{
    lastReason = why;
    QString text = what + QStringLiteral(": result ") + QString::number(RangeOK);
    if (!why.isEmpty())
        text += QStringLiteral(", ") + why;
    tell(text);
    return RangeOK;
}

void LinkClient::tell(const QString &text)
{
    lastEnding = text;
    if (!busyNote.isEmpty() && running) {
        lastEnding += QLatin1Char('\n') + busyNote;
        busyNote.clear();
    }
    showEnding(lastEnding);
}

int LinkClient::sendinput(const QString &id, const QString &rangeType)
{
    const ExchangeReport report(*this, ExchangeReport::validationOf(rangeType), id);
    if (running)
        return refuseBusy(validation);
    if (const QString reason = wire::unsafeValueReason(id); !reason.isEmpty())
        return refuse(validation, reason);
    // One reading: the date and the time of two readings could straddle midnight and send
    // yesterday's date with 00:00:xx, which both usage reports would repeat.
    const QDateTime now = clock();
    const QString date = wire::encodeDate(now.date());
    const QString time = wire::encodeTime(now.time());
    const QString body = wire::validationBody(rangeType, id, date, time);
    if (const QString reason = wire::frameLengthReason(wire::frameLength(body)); !reason.isEmpty())
        return refuse(validation, reason);
    // A reference accepted here must fit its usage report too, or its bucket would be
    // dispensed and never reported.
    if (!wire::frameLengthReason(longestReportLength(rangeType, id, date, time)).isEmpty())
        return refuse(validation, QStringLiteral("Reference too long for its usage report"));
    transdate = date;
    transtime = time;
    return exchange(validation, body, validationWaitMs);
}

int LinkClient::sendvendstatus(const QString &id, const QString &rangeType)
{
    const ExchangeReport report(*this, ExchangeRecord::Operation::VoucherReport, id);
    if (running)
        return refuseBusy(voucherReport);
    if (const QString reason = wire::unsafeValueReason(id); !reason.isEmpty())
        return refuse(voucherReport, reason);
    const QString body = wire::usageReportBody(rangeType, id, transdate, transtime);
    if (const QString reason = wire::frameLengthReason(wire::frameLength(body)); !reason.isEmpty())
        return refuse(voucherReport, reason);
    return exchange(voucherReport, body, reportWaitMs);
}

int LinkClient::sendcardvendstatus(const QString &id, const QString &rangeType, int issueGroup)
{
    const ExchangeReport report(*this, ExchangeRecord::Operation::CardReport, id, issueGroup);
    if (running)
        return refuseBusy(cardReport);
    if (const QString reason = wire::unsafeValueReason(id); !reason.isEmpty())
        return refuse(cardReport, reason);
    const QString body = wire::cardUsageReportBody(rangeType, id, issueGroup, transdate, transtime);
    if (const QString reason = wire::frameLengthReason(wire::frameLength(body)); !reason.isEmpty())
        return refuse(cardReport, reason);
    return exchange(cardReport, body, reportWaitMs);
}

int LinkClient::sendMessageTo(const QString &host, const QString &port)
{
    const ExchangeReport report(
        *this, ExchangeRecord::Operation::TestSend,
        wire::itemValue(wire::splitItems(QStringView(messagestring).mid(wire::headerBytes)),
                        u"Reference"));
    if (running)
        return refuseBusy(send);
    // The technician's frame goes out as composed; only a length the byte cannot carry
    // is refused.
    if (messagestring.size() > 1) {
        if (const QString reason = wire::frameLengthReason(messagestring.at(1).unicode());
            !reason.isEmpty())
            return refuse(send, reason);
    }
    return run(send, host, port, validationWaitMs);
}

int LinkClient::exchange(const QString &what, const QString &body, int waitMs)
{
    intmessagelength = qint16(wire::frameLength(body));
    messagestring = wire::frameText(body);
    return run(what, remoteserver, remoteport, waitMs);
}

int LinkClient::run(const QString &what, const QString &host, const QString &port, int waitMs)
{
    RunningFlag flag(running);
    linkRefusal.clear();
    // Nothing goes out: whatever came back would be read with the wrong separator.
    if (!settingsError.isEmpty()) {
        RangeOK = linkresult::noReply;
        return end(what, settingsError);
    }
    try {
        ClientSocket1.setRemotePort(port);
        ClientSocket1.setRemoteHost(host);
        ClientSocket1.connectTimeoutMs = connectTimeoutMs;
        ClientSocket1.activate();
        return receiveReply(what, waitMs);
    } catch (const KioskError &error) {
        // The error goes on to the caller and the error box; the window says where the
        // exchange ended.
        tell(what + QStringLiteral(": ended by the error \"") + error.message() + QLatin1Char('"'));
        throw;
    }
}

int LinkClient::receiveReply(const QString &what, int waitMs)
{
    // Nothing may run between building the frame and sending it: the test window's
    // preview rewrites messagestring at every pump.
    const bool connected = ClientSocket1.isConnected();
    const QByteArray frame = wire::encodeFrame(messagestring);
    if (ClientSocket1.sendln(frame))
        ClientSocket1Send(frame);
    RangeOK = linkresult::underWay;
    const QDeadlineTimer deadline(waitMs);
    if (!ClientSocket1.waitForData(deadline)) {
        RangeOK = linkresult::noReply;
        ClientSocket1.disconnect();
        if (!connected)
            return end(what, QStringLiteral("no connection to the server"));
        if (deadline.hasExpired())
            return end(what, QStringLiteral("no reply within ") + seconds(waitMs));
        return end(what, QStringLiteral("the server closed the connection without a reply"));
    }
    bool late = false;
    const QByteArray reply =
        ClientSocket1.receiveln(deadline, wire::maxReplyBytes, wire::headerBytes, &late);
    ClientSocket1.disconnect();
    // A reply is whole when its CR LF has come. Read in part it would give wrong figures
    // (a ball count of 4 for 40, a price of 2 for 20.00): it is lost as a whole.
    if (!wire::isWholeReply(reply)) {
        RangeOK = linkresult::noReply;
        const QString cut = late ? QStringLiteral("no line end within ") + seconds(waitMs)
                            : reply.size() >= wire::maxReplyBytes
                                ? QStringLiteral("longer than %1 bytes").arg(wire::maxReplyBytes)
                                : QStringLiteral("the server closed the connection before its "
                                                 "line end");
        return end(what, QStringLiteral("reply lost (") + cut + QLatin1Char(')'));
    }
    // A control byte has no place in a reply's text. Rendered as its decimal value it would
    // join the figures around it (3, NUL, 0 read as 300 balls; a lone CR after 30 as 3013;
    // a tab inside 20.00 as 290): the reply is lost as a whole, like one cut short.
    if (const qsizetype at = wire::firstControlByte(reply); at >= 0) {
        RangeOK = linkresult::noReply;
        return end(what, QStringLiteral("reply lost (control byte %1 at offset %2)")
                             .arg(hexByte(static_cast<unsigned char>(reply[at])))
                             .arg(at));
    }
    // An empty reply says neither yes nor no, and neither does one that sets no result
    // code (an empty first value and no RangeOK item): -1 would claim the exchange still
    // runs, and a refusal would show an earlier reply's reason.
    if (!ClientSocket1Receive(reply)) {
        RangeOK = linkresult::noReply;
        return end(what, QStringLiteral("reply without items"));
    }
    if (RangeOK == linkresult::underWay) {
        RangeOK = linkresult::noReply;
        return end(what, QStringLiteral("reply without a result code"));
    }
    return end(what);
}

bool LinkClient::ClientSocket1Receive(QByteArrayView reply)
{
    ReplyHooks hooks;
    hooks.showLength = [this](int value) { showReplyLength(value); };
    hooks.pump = [this] { pumpMessages(); };
    hooks.showItems = [this](const QStringList &items) { showReplyItems(items); };
    return parseReply(reply, *this, hooks);
}
