// The record of the bucket under way on both customer screens: written before the first
// step of the count, removed once the usage report's exchange has ended, whatever its
// result; and a record an earlier run left behind, told at the start and removed.

#include "barcodekiosk.h"
#include "link/rawserver.h"
#include "platform/bucketrecord.h"
#include "platform/stopcontrol.h"
#include "rfidkiosk.h"
#include "shell/journaltesting.h"
#include "shell/kioskjournal.h"

#include <QFile>
#include <QTcpServer>

#include <sys/stat.h>

namespace {

const QByteArray leftRecord = "started=2026-12-11T10:02:03.456\nscreen=card\nref=5678\ngroup=2\n"
                              "balls=60\n";

QString recordPath(const QTemporaryDir &state)
{
    return state.filePath(QLatin1String(platform::BucketRecordFile::fileName));
}

} // namespace

class BucketRecordTest : public QObject
{
    Q_OBJECT

private slots:
    void recordGoesWhenTheReportEnds_data()
    {
        QTest::addColumn<bool>("card");
        QTest::addColumn<QByteArray>("reply"); // the report's answer; empty: the server's own
        QTest::addColumn<bool>("closed");      // nothing listens for the report
        QTest::addColumn<QString>("result");
        // Fault caught, in every row: no record before the count (a kill in the count
        // leaves nothing to find), or one left behind by a report that was not confirmed,
        // which the next start would tell as never reported.
        QTest::newRow("voucher, confirmed") << false << QByteArray() << false << "result=1";
        QTest::newRow("voucher, refused by the server")
            << false << QByteArray("RangeOK=0&Error=Used&") << false << "result=0 UNCONFIRMED";
        QTest::newRow("voucher, no server")
            << false << QByteArray() << true
            << "result=9 UNCONFIRMED why=\"no connection to the server\"";
        QTest::newRow("voucher, a reply that cannot be read")
            << false << QByteArray("RangeOK=3x&") << false << "result=error UNCONFIRMED";
        QTest::newRow("card, confirmed") << true << QByteArray() << false << "result=1";
        QTest::newRow("card, a reply carrying 9")
            << true << QByteArray("RangeOK=9&") << false << "result=9 UNCONFIRMED";
    }

    void recordGoesWhenTheReportEnds()
    {
        QFETCH(bool, card);
        QFETCH(QByteArray, reply);
        QFETCH(bool, closed);
        QFETCH(QString, result);
        QTemporaryDir state;
        QVERIFY(state.isValid());
        Pipe pipe;
        std::unique_ptr<barcodetest::Kiosk> voucherKiosk;
        std::unique_ptr<rfidtest::Kiosk> cardKiosk;
        if (card)
            cardKiosk = std::make_unique<rfidtest::Kiosk>();
        else
            voucherKiosk = std::make_unique<barcodetest::Kiosk>();
        {
            KioskJournal journal(pipe.writeEnd());
            journal.started(*IPsend);
            platform::StopControl stops(&journal.lines());
            stops.keepRecordsIn(state.path());

            RawServer raw({{reply.isEmpty() ? QByteArray() : replyFrame(reply), 0}});
            QTcpServer gone;
            QVERIFY(gone.listen(QHostAddress::LocalHost));
            const QString goneport = QString::number(gone.serverPort());
            gone.close();
            if (card) {
                cardKiosk->open();
                rfidtest::Kiosk::read(QStringLiteral("12345678"));
            } else {
                voucherKiosk->open();
                voucherKiosk->read(QStringLiteral("900020"));
            }
            // The report goes elsewhere than the validation.
            if (closed)
                IPsend->remoteport = goneport;
            else if (!reply.isEmpty())
                IPsend->remoteport = QString::number(raw.port());

            QLabel *messageLine = card ? rfidscreen->label1 : barcodescreen->Label1;
            bool recordDuringCount = false;
            bool seenCount = false;
            barcodetest::TextRecorder recorder(messageLine, [&](const QString &text) {
                if (text.startsWith(QStringLiteral("Dispensing: "))) {
                    seenCount = true;
                    recordDuringCount = QFile::exists(recordPath(state));
                }
            });
            if (card)
                QTest::mouseClick(rfidscreen->imgsmallbucket, Qt::LeftButton);
            else
                voucherKiosk->touchBucket();
            QVERIFY(seenCount);
            QVERIFY2(recordDuringCount, "no record during the count");
            QVERIFY(!QFile::exists(recordPath(state)));
        }
        const QStringList lines = journalLines(pipe.drain());
        const QString report = card ? QStringLiteral("card-report ref=5678 group=1 ")
                                    : QStringLiteral("voucher-report ref=0020 group=- ");
        QVERIFY2(lines.contains(report + result), qPrintable(lines.join('\n')));
        QCOMPARE(lines.filter(QStringLiteral("bucket-start screen=")).size(), 1);
        QCOMPARE(lines.filter(QStringLiteral("bucket screen=")).size(), 0);
    }

    // What an earlier run left in the state folder, told once and removed at the start.
    void leftBehindIsToldAtTheStart_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("told");
        // Fault caught: a record left behind by a killed count never told.
        QTest::newRow("a whole record")
            << leftRecord
            << "bucket screen=card ref=5678 group=2 balls=60 started=2026-12-11T10:02:03.456 "
               "UNCONFIRMED started, never reported: kiosk ended during the count";
        // Fault caught: a record someone wrote into breaking the journal's lines.
        QTest::newRow("a record with line breaks and control bytes")
            << QByteArray("started=x\r\nscreen=card\x1b[2J\nref=12\t34\nballs=7 junk\n")
            << "bucket screen=card?[2J ref=12?34 group=- balls=0 started=x? UNCONFIRMED "
               "started, never reported: kiosk ended during the count";
        // Fault caught: a record cut short by a power cut (empty) taken for none.
        QTest::newRow("an empty record")
            << QByteArray()
            << "bucket screen=- ref=- group=- balls=0 started=- UNCONFIRMED started, never "
               "reported: kiosk ended during the count";
    }

    void leftBehindIsToldAtTheStart()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, told);
        QTemporaryDir state;
        QVERIFY(state.isValid());
        QFile left(recordPath(state));
        QVERIFY(left.open(QIODevice::WriteOnly));
        left.write(text);
        left.close();
        Pipe pipe;
        {
            platform::LineJournal lines(pipe.writeEnd());
            platform::StopControl stops(&lines);
            stops.keepRecordsIn(state.path());
            QVERIFY(!QFile::exists(recordPath(state)));
            // Told once: a second look finds nothing.
            stops.keepRecordsIn(state.path());
        }
        QCOMPARE(journalLines(pipe.drain()), QStringList{told});
    }

    // A folder that other accounts may write into keeps no records: anyone could plant or
    // replace one there.
    void unfitFolderKeepsNoRecords()
    {
        QTemporaryDir state;
        QVERIFY(state.isValid());
        QVERIFY(::chmod(QFile::encodeName(state.path()).constData(), 0777) == 0);
        QFile planted(recordPath(state));
        QVERIFY(planted.open(QIODevice::WriteOnly));
        planted.write(leftRecord);
        planted.close();
        Pipe pipe;
        {
            platform::LineJournal lines(pipe.writeEnd());
            platform::StopControl stops(&lines);
            stops.keepRecordsIn(state.path());
            QCOMPARE(stops.recordPath(), QString());
        }
        const QStringList lines = journalLines(pipe.drain());
        QCOMPARE(lines, QStringList{QStringLiteral("bucket records off: %1 may be written by other "
                                                   "accounts")
                                        .arg(state.path())});
        QVERIFY(QFile::exists(recordPath(state)));
    }
};

QTEST_MAIN(BucketRecordTest)
#include "bucketrecord_test.moc"
