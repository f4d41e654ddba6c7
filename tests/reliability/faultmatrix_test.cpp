// Every server fault against every exchange the kiosk makes, end to end on the real
// windows: the voucher and card validations, both usage reports and the link test window's
// Send. Each row states what the customer (or technician) is shown, where the kiosk ends,
// what the reply record holds afterwards and how long the GUI thread may stay frozen; the
// test measures that time. Whatever the server does, the kiosk must never hang, never
// report a bucket twice or under another reference, and always find its way back to the
// main screen.

#include "faultkiosk.h"
#include "link/ipsend.h"
#include "screens/barcodescreen.h"
#include "screens/rfidscreen.h"
#include "shell/application.h"
#include "shell/mainscreen.h"

#include <QTest>

using namespace faultmatrix;

namespace {

enum Op { Voucher, Card, VoucherReport, CardReport, Send };
const char *const opNames[] = {"voucher validation", "card validation", "voucher usage report",
                               "card usage report", "Send"};

const QString badLink = QStringLiteral("Bad Link To Server - Call for Support");
const QString offer = QStringLiteral("Place bucket under dispenser. ");
const QString pleaseWait = QStringLiteral("Please wait");
const QString counted = QStringLiteral("Dispensing: 0");
const QString finished = QStringLiteral("Finished ");

// Left in the record before the faulty exchange, to show which fields a reply replaced.
const QString earlierError = QStringLiteral("earlier");
constexpr int earlierNumber = 77;

QString record(int rangeOK, const QString &ipError = earlierError, int number1 = earlierNumber)
{
    return QStringLiteral("RangeOK=%1 IPerror=%2 number1=%3")
        .arg(rangeOK)
        .arg(ipError)
        .arg(number1);
}

QString currentRecord()
{
    return record(IPsend->RangeOK, IPsend->IPerror, IPsend->number1);
}

// The message line of the operation's screen; for the Send, the first reply item that
// the link test window lists ("strlist" until a reply came).
QString messageLine(Op op)
{
    switch (op) {
    case Voucher:
    case VoucherReport:
        return barcodescreen->Label1->text();
    case Card:
    case CardReport:
        return rfidscreen->label1->text();
    case Send:
        break;
    }
    return IPsend->strlist->toPlainText().section(QLatin1Char('\n'), 0, 0);
}

void addRow(const char *fault, Op op, const QString &message, const QString &box,
            const QString &screen, const QString &rec, int boundMs, bool waits = false,
            bool realBounds = false)
{
    QTest::addRow("%s x %s%s", fault, opNames[op], realBounds ? " (real bounds)" : "")
        << QString::fromLatin1(fault) << int(op) << message << box << screen << rec << boundMs
        << waits << realBounds;
}

} // namespace

class FaultMatrixTest : public QObject
{
    Q_OBJECT

private slots:
    void matrix_data();
    void matrix();
};

void FaultMatrixTest::matrix_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("op");
    QTest::addColumn<QString>("message"); // the screen's message line afterwards
    QTest::addColumn<QString>("box");     // the error reported, if any
    QTest::addColumn<QString>("screen");  // the screens that show afterwards
    QTest::addColumn<QString>("record");  // the reply record afterwards
    QTest::addColumn<int>("boundMs");     // the longest the GUI thread may stay frozen
    QTest::addColumn<bool>("waits");      // the freeze must also reach most of the bound
    QTest::addColumn<bool>("realBounds"); // the kiosk's own bounds instead of short ones

    const int W = waitMs, C = connectMs, P = pauseMs, S = splitPauseMs;
    const QString none;
    const QString untouched = QStringLiteral("strlist"); // the test window's list, no reply in it

    // The server cannot be reached or gives no whole reply within the bound: result 9.
    for (const char *fault : {"refused", "hang", "silent", "close", "late", "halflate"}) {
        const bool hangs = qstrcmp(fault, "hang") == 0;
        const bool silent = qstrcmp(fault, "silent") == 0 || qstrcmp(fault, "late") == 0 ||
                            qstrcmp(fault, "halflate") == 0;
        const int exchange = hangs ? C : silent ? W : 0;
        const bool waits = hangs || silent;
        addRow(fault, Voucher, badLink, none, "main", record(9), qMax(exchange, P), waits);
        addRow(fault, Card, badLink, none, "rfid", record(9), qMax(exchange, P), waits);
        addRow(fault, VoucherReport, counted, none, "main", record(9), exchange + P, waits);
        addRow(fault, CardReport, finished, none, "main", record(9), exchange + P, waits);
        addRow(fault, Send, untouched, none, "main", record(9), exchange, waits);
    }
    // The real bounds: a reply later than 10 s is lost, and the next exchange reads its own.
    addRow("late", Voucher, badLink, none, "main", record(9), 10000, true, true);

    // A reply that comes whole in the end, in two segments: read as one.
    addRow("split", Voucher, offer, none, "barcode", record(1, earlierError, 3), S);
    addRow("split", Card, offer, none, "rfid", record(1, earlierError, 5), S);
    addRow("split", VoucherReport, counted, none, "main", record(1, earlierError, 3), S + P);
    addRow("split", CardReport, finished, none, "main", record(1, earlierError, 0), S + P);
    addRow("split", Send, QStringLiteral("RangeOK=1"), none, "main", record(1, earlierError, 3), S);

    // Replies that never come whole: one over 511 bytes (the part read would end inside
    // its note), a bare header or 64 bytes of noise before the server closes. Read in part
    // they gave figures cut short or the box "List index out of bounds (0)"; they are lost
    // whole, as a link failure, and nothing of them is read.
    for (const char *fault : {"long", "short", "garbage"}) {
        addRow(fault, Voucher, badLink, none, "main", record(9), P);
        addRow(fault, Card, badLink, none, "rfid", record(9), P);
        addRow(fault, VoucherReport, counted, none, "main", record(9), P);
        addRow(fault, CardReport, finished, none, "main", record(9), P);
        addRow(fault, Send, untouched, none, "main", record(9), 0);
    }

    // Replies that cannot be read: the error leaves the handler and is reported; the screen
    // stays where it was or, after a usage report, goes back to the main screen.
    const QString x3 = QStringLiteral("'3x' is not a valid integer value");
    const QString x5 = QStringLiteral("'5x' is not a valid integer value");
    const QString xBalance = QStringLiteral("'230.00x' is not a valid floating point value");
    addRow("notanumber", Voucher, pleaseWait, x3, "barcode", record(1, earlierError, 0), 0);
    addRow("notanumber", Card, pleaseWait, x5, "rfid", record(1, earlierError, 0), 0);
    addRow("notanumber", VoucherReport, counted, x3, "main", record(1, earlierError, 0), P);
    addRow("notanumber", CardReport, finished, xBalance, "main", record(1, earlierError, 0), 0);
    addRow("notanumber", Send, QStringLiteral("RangeOK=1"), x3, "main", record(1, earlierError, 0),
           0);

    // A reply that carries 9, or no result code at all (an empty first value without a
    // RangeOK item, an empty body), reads as a link failure; an Error item in it is kept.
    struct Failure
    {
        const char *fault;
        QString error;     // IPerror afterwards
        QString firstItem; // the first item in the test window's list
    };
    const Failure failures[] = {
        {"nine", QStringLiteral("Server+busy"), QStringLiteral("RangeOK=9")},
        {"minusone", QStringLiteral("Unreadable+reply"), QStringLiteral("Note=")},
        {"empty", earlierError, QString()}};
    for (const auto &[fault, error, firstItem] : failures) {
        addRow(fault, Voucher, badLink, none, "main", record(9, error, 0), P);
        addRow(fault, Card, badLink, none, "rfid", record(9, error, 0), P);
        addRow(fault, VoucherReport, counted, none, "main", record(9, error, 0), P);
        addRow(fault, CardReport, finished, none, "main", record(9, error, 0), P);
        addRow(fault, Send, firstItem, none, "main", record(9, error, 0), 0);
    }
}

void FaultMatrixTest::matrix()
{
    QFETCH(QString, fault);
    QFETCH(int, op);
    QFETCH(QString, message);
    QFETCH(QString, box);
    QFETCH(QString, screen);
    QFETCH(QString, record);
    QFETCH(int, boundMs);
    QFETCH(bool, waits);
    QFETCH(bool, realBounds);

    const LinkClient defaults;
    const int kioskWaitMs = realBounds ? defaults.validationWaitMs : waitMs;
    const int kioskConnectMs = realBounds ? defaults.connectTimeoutMs : connectMs;
    Kiosk kiosk(kioskWaitMs, kioskConnectMs);
    FaultyServer faulty(fault, kioskWaitMs);
    FreezeMeter meter;
    const bool report = op == VoucherReport || op == CardReport;
    const QString reference = op == Voucher || op == VoucherReport ? voucher : card;

    // Up to the faulty exchange the kiosk talks to the sound server.
    if (op == Voucher || op == VoucherReport) {
        QTest::mouseClick(mainscreen->Image2, Qt::LeftButton);
        QCOMPARE(Kiosk::screens(), QStringLiteral("barcode"));
    } else if (op == Card || op == CardReport) {
        QTest::mouseClick(mainscreen->Image3, Qt::LeftButton);
        QCOMPARE(Kiosk::screens(), QStringLiteral("rfid"));
    }
    if (op != Send)
        Kiosk::type(reference);
    if (report) {
        Kiosk::enter();
        QVERIFY(op == VoucherReport ? barcodescreen->choices == 1 : rfidscreen->choices > 0);
        QCOMPARE(kiosk.server.requests().size(), 1);
    }
    if (op == Send) {
        // A technician opens the link test window and sends a voucher validation to the
        // server named in it.
        IPsend->show();
        IPsend->Reference->setText(voucher);
        IPsend->ServerIP->setText(QStringLiteral("127.0.0.1"));
        IPsend->Port->setText(QString::number(faulty.port()));
    }

    kiosk.pointAt(faulty.port());
    IPsend->IPerror = earlierError;
    IPsend->number1 = earlierNumber;
    const qint64 frozen = meter.measure([&] {
        switch (Op(op)) {
        case Voucher:
        case Card:
            Kiosk::enter();
            break;
        case VoucherReport:
            QTest::mouseClick(barcodescreen->nas, Qt::LeftButton);
            break;
        case CardReport:
            QTest::mouseClick(rfidscreen->imgsmallbucket, Qt::LeftButton);
            break;
        case Send:
            QTest::mouseClick(IPsend->Button1, Qt::LeftButton);
            break;
        }
    });
    const QString shownMessage = messageLine(Op(op));
    const QString shownScreens = Kiosk::screens();
    const QString shownRecord = currentRecord();
    const QString reported = kiosk.errors.join(QStringLiteral(" / "));
    qInfo().noquote() << QStringLiteral("row | %1 | %2 | %3 | %4 | %5 | %6 | bound %7 | frozen %8")
                             .arg(fault, QLatin1String(opNames[op]), shownMessage, reported,
                                  shownScreens, shownRecord)
                             .arg(boundMs)
                             .arg(frozen);

    QCOMPARE(shownMessage, message);
    QCOMPARE(reported, box);
    QCOMPARE(shownScreens, screen);
    QCOMPARE(shownRecord, record);
    // A shared, loaded machine (or a sanitized build) adds its own delays.
    const qint64 tolerance = 250 + boundMs / 5;
    QVERIFY2(frozen <= boundMs + tolerance,
             qPrintable(QStringLiteral("frozen %1 ms, bound %2 ms").arg(frozen).arg(boundMs)));
    if (waits)
        QVERIFY2(frozen >= boundMs * 8 / 10,
                 qPrintable(QStringLiteral("frozen only %1 ms of %2 ms").arg(frozen).arg(boundMs)));

    // One bucket, one usage report, under the reference whose offer was taken.
    const auto usageReports = [&] {
        QList<SimRequest> found;
        for (const SimRequest &request : faulty.requests())
            if (request.command == QLatin1String("SetRangeUsage"))
                found << request;
        return found;
    };
    const bool ledger = !faulty.requests().isEmpty(); // the two socket endpoints keep none
    if (report && ledger) {
        QCOMPARE(usageReports().size(), 1);
        QCOMPARE(usageReports().first().reference, reference);
    }

    if (fault.contains(QLatin1String("late"))) {
        // At once, while the late reply is still to come: it falls due while the next
        // exchange waits for its own, slower one, and the next exchange must read its own.
        QCOMPARE(IPsend->sendinput(slowVoucher, QStringLiteral("P")), 1);
        QCOMPARE(IPsend->number1, 7);
    }

    // Whatever shows now, the kiosk finds its way back to the main screen by itself.
    QTRY_COMPARE_WITH_TIMEOUT(Kiosk::screens(), QStringLiteral("main"), kioskWaitMs + 3000);
    if (report && ledger)
        QCOMPARE(usageReports().size(), 1);
    // The sound server saw the validation before the report and nothing after it.
    QCOMPARE(kiosk.server.requests().size(), report ? 1 : 0);
    QCOMPARE(kiosk.errors.size(), box.isEmpty() ? 0 : 1);
}

int main(int argc, char **argv)
{
    // The kiosk's own application object: an error that leaves a handler is reported as the
    // kiosk reports it, and the event loop goes on.
    Application app(argc, argv);
    FaultMatrixTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "faultmatrix_test.moc"
