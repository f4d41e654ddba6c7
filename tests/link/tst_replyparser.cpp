// The parse of one reply into the reply record, with its update rules.

#include "link/replyparser.h"
#include "platform/decimalseparator.h"
#include "platform/errors.h"

#include <QTest>

namespace {

QByteArray frame(const QByteArray &body)
{
    return QByteArray(1, '\0') + char(body.size() + 4) + QByteArray("\0\x04", 2) + body + "\r\n";
}

// A record that still holds an earlier exchange's values.
ReplyRecord earlierRecord()
{
    ReplyRecord r;
    r.RangeOK = -1;
    r.IPerror = QStringLiteral("Earlier+reason");
    r.CardBalance = -3.25;
    r.number1 = r.number2 = r.number3 = r.number4 = 7;
    r.Price1 = r.Price2 = r.Price3 = r.Price4 = 7;
    return r;
}

// Index: the reply holds no items and is not read (parseReply gives false).
enum Failure { None, Conversion, Index };

} // namespace

Q_DECLARE_METATYPE(Failure)

class ReplyParserTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { setDecimalSeparator(QLatin1Char('.')); }

    // The reply example: a card accepted with balance 250.00 and three buckets.
    void workedExample()
    {
        const QByteArray body = "RangeOK=1&CardBalance=250%2E00&Number1=30&Number2=60&"
                                "Number3=90&Price1=20%2E00&Price2=35%2E00&Price3=50%2E00&";
        QCOMPARE(body.size(), 109);
        const QByteArray reply = frame(body);
        QCOMPARE(reply.size(), 115);
        QCOMPARE(reply.first(4), QByteArray("\x00\x71\x00\x04", 4));
        QCOMPARE(reply.last(3), QByteArray("&\r\n"));

        ReplyRecord r = earlierRecord();
        QList<int> lengths;
        int pumps = 0;
        QStringList items;
        ReplyHooks hooks;
        hooks.showLength = [&](int v) { lengths.append(v); };
        hooks.pump = [&] {
            ++pumps;
            // Numbers and prices are zeroed before anything else can run.
            QCOMPARE(r.number1, 0);
            QCOMPARE(r.Price4, 0.0);
        };
        hooks.showItems = [&](const QStringList &shown) { items = shown; };
        parseReply(reply, r, hooks);

        QCOMPARE(r.RangeOK, 1);
        QCOMPARE(r.CardBalance, 250.0);
        QCOMPARE(r.number1, 30);
        QCOMPARE(r.number2, 60);
        QCOMPARE(r.number3, 90);
        QCOMPARE(r.number4, 0);
        QCOMPARE(r.Price1, 20.0);
        QCOMPARE(r.Price2, 35.0);
        QCOMPARE(r.Price3, 50.0);
        QCOMPARE(r.Price4, 0.0);
        QCOMPARE(r.IPerror, QStringLiteral("Earlier+reason"));
        QCOMPARE(lengths, QList<int>{-2});
        QCOMPARE(pumps, 1);
        // Eight named items and the empty one after the final "&"; no line end digits.
        QCOMPARE(items.size(), 9);
        QCOMPARE(items.first(), QStringLiteral("RangeOK=1"));
        QCOMPARE(items.last(), QString());
    }

    void bodies_data()
    {
        QTest::addColumn<QChar>("separator");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<int>("rangeOk");
        QTest::addColumn<QString>("error");
        QTest::addColumn<double>("balance");
        QTest::addColumn<QList<int>>("numbers");
        QTest::addColumn<QList<double>>("prices");

        const QChar dot('.');
        const QString earlier("Earlier+reason");
        const QList<int> noNumbers{0, 0, 0, 0};
        const QList<double> noPrices{0, 0, 0, 0};
        auto row = [&](const char *name, QChar sep, const QByteArray &body, Failure f, int code,
                       const QString &error, double balance, QList<int> n, QList<double> p) {
            QTest::newRow(name) << sep << body << f << code << error << balance << n << p;
        };

        row("refusal with plus text", dot, "RangeOK=0&Error=Card+not+valid&", None, 0,
            "Card+not+valid", -3.25, noNumbers, noPrices);
        row("escapes in lower case", dot, "RangeOK=1&CardBalance=12%2e50&Price1=3%a05&", None, 1,
            earlier, 12.5, noNumbers, {3.5, 0, 0, 0});
        row("negative balance", dot, "RangeOK=1&CardBalance=%2D12%2E50&", None, 1, earlier, -12.5,
            noNumbers, noPrices);
        row("lower case minus", dot, "RangeOK=1&CardBalance=%2d2&", None, 1, earlier, -2.0,
            noNumbers, noPrices);
        row("thousands in balance and price", dot,
            "RangeOK=1&CardBalance=1%2C250%2E00&Price1=1%2c250%2E00&", None, 1, earlier, 1250.0,
            noNumbers, {1250, 0, 0, 0});
        row("raw comma in price", dot, "RangeOK=1&Number1=30&Price1=2,50&", Conversion, 1, earlier,
            -3.25, {30, 0, 0, 0}, noPrices);
        row("raw comma under comma separator", QChar(','), "RangeOK=1&Price1=2,50&", None, 1,
            earlier, -3.25, noNumbers, {2.5, 0, 0, 0});
        row("escape under comma separator", QChar(','), "RangeOK=1&CardBalance=250%2E75&", None, 1,
            earlier, 250.75, noNumbers, noPrices);
        row("quoted item keeps blanks", dot, "RangeOK=0&\"Error=Card not valid\"&", None, 0,
            "Card not valid", -3.25, noNumbers, noPrices);
        row("quoted item with doubled quotes", dot, "RangeOK=0&\"Error=Say \"\"no\"\" now\"&", None,
            0, "Say \"no\" now", -3.25, noNumbers, noPrices);
        row("blank splits an item", dot, "RangeOK=0&Error=Card not valid&", None, 0, "Card", -3.25,
            noNumbers, noPrices);
        row("names in other case", dot, "rangeok=1&cardbalance=5&NUMBER1=30&price1=2%2E5&", None, 1,
            earlier, 5.0, {30, 0, 0, 0}, {2.5, 0, 0, 0});
        row("name given twice", dot, "RangeOK=1&Number1=30&Number1=60&RangeOK=4&", None, 1, earlier,
            -3.25, {30, 0, 0, 0}, noPrices);
        row("empty first value", dot, "Session=&RangeOK=3&", None, 3, earlier, -3.25, noNumbers,
            noPrices);
        row("empty first value and no code", dot, "Session=&Number1=5&", None, -1, earlier, -3.25,
            {5, 0, 0, 0}, noPrices);
        row("first value is the code", dot, "Code=7&Number2=60&", None, 7, earlier, -3.25,
            {0, 60, 0, 0}, noPrices);
        row("RangeOK wins over first value", dot, "Code=7&RangeOK=2&", None, 2, earlier, -3.25,
            noNumbers, noPrices);
        row("a reply carrying 9", dot, "RangeOK=9&", None, 9, earlier, -3.25, noNumbers, noPrices);
        row("empty values keep earlier ones", dot, "RangeOK=0&Error=&CardBalance=&Number1=&", None,
            0, earlier, -3.25, noNumbers, noPrices);
        row("number4 and price4 kept", dot, "RangeOK=1&Number4=4&Price4=4%2E25&", None, 1, earlier,
            -3.25, {0, 0, 0, 4}, {0, 0, 0, 4.25});
        row("decimal escape in error text", dot, "RangeOK=0&Error=Only+1%A05+left&", None, 0,
            "Only+1.5+left", -3.25, noNumbers, noPrices);
        row("unclosed quote runs to the end", dot, "RangeOK=0&\"Error=Open quote", None, 0,
            "Open quote", -3.25, noNumbers, noPrices);
        // The line end is not data: the last value reads without the final "&".
        row("no final amp", dot, "RangeOK=1&CardBalance=100&Number1=50", None, 1, earlier, 100.0,
            {50, 0, 0, 0}, noPrices);
        row("no final amp after an escape", dot, "RangeOK=1&CardBalance=100%2E5&Number1=50", None,
            1, earlier, 100.5, {50, 0, 0, 0}, noPrices);
        // Length byte 24: the header is skipped by position, so names still match.
        row("short reply", dot, "RangeOK=2&Number1=5&", None, 2, earlier, -3.25, {5, 0, 0, 0},
            noPrices);
        row("number not a number", dot, "RangeOK=1&Number1=5x&Number2=6&", Conversion, 1, earlier,
            -3.25, noNumbers, noPrices);
        row("balance not a number", dot, "RangeOK=1&Error=E&CardBalance=1%2E2%2E3&", Conversion, 1,
            "E", -3.25, noNumbers, noPrices);
        row("error text first", dot, "Error=Card+not+valid&RangeOK=0&", Conversion, -1, earlier,
            -3.25, noNumbers, noPrices);
        row("code not a number", dot, "RangeOK=OK&", Conversion, -1, earlier, -3.25, noNumbers,
            noPrices);
        // A decimal value has no exponent: 1E3 is not 1000, and 1.5E2 not 150.
        row("price with an exponent", dot, "RangeOK=1&Price1=1E3&", Conversion, 1, earlier, -3.25,
            noNumbers, noPrices);
        row("balance with an exponent", dot, "RangeOK=1&CardBalance=1%2E5E2&", Conversion, 1,
            earlier, -3.25, noNumbers, noPrices);
        row("empty body", dot, "", Index, -1, earlier, -3.25, noNumbers, noPrices);
        row("blanks only", dot, "   ", Index, -1, earlier, -3.25, noNumbers, noPrices);
    }
    void bodies()
    {
        QFETCH(QChar, separator);
        QFETCH(QByteArray, body);
        QFETCH(Failure, failure);
        setDecimalSeparator(separator);
        ReplyRecord r = earlierRecord();
        const QByteArray reply = frame(body);
        switch (failure) {
        case None:
            QVERIFY(parseReply(reply, r));
            break;
        case Conversion:
            QVERIFY_THROWS_EXCEPTION(ConversionError, parseReply(reply, r));
            break;
        case Index:
            QVERIFY(!parseReply(reply, r));
            break;
        }
        QTEST(r.RangeOK, "rangeOk");
        QTEST(r.IPerror, "error");
        QTEST(r.CardBalance, "balance");
        QTEST((QList<int>{r.number1, r.number2, r.number3, r.number4}), "numbers");
        QTEST((QList<double>{r.Price1, r.Price2, r.Price3, r.Price4}), "prices");
    }

    // Chunks without items: a header alone, one byte, nothing. The link never hands such
    // a chunk over (it is not whole), but the parser stays safe with it.
    void truncatedReplies()
    {
        for (const QByteArray &chunk :
             {QByteArray("\0\x71\0\x04", 4), QByteArray(1, '\0'), QByteArray()}) {
            ReplyRecord r = earlierRecord();
            QList<int> lengths;
            ReplyHooks hooks;
            hooks.showLength = [&](int v) { lengths.append(v); };
            QVERIFY(!parseReply(chunk, r, hooks));
            QCOMPARE(r.number1, 0);
            QCOMPARE(r.RangeOK, -1);
            const int second = chunk.size() > 1 ? 0x71 : 0;
            QCOMPARE(lengths, QList<int>{second - int(chunk.size())});
        }
    }

    // A short reply's header is skipped by position: the first item is RangeOK itself.
    void shortReplyItems()
    {
        ReplyRecord r;
        QStringList items;
        ReplyHooks hooks;
        hooks.showItems = [&](const QStringList &shown) { items = shown; };
        parseReply(frame("RangeOK=0&Error=Bad&"), r, hooks);
        QCOMPARE(items, (QStringList{"RangeOK=0", "Error=Bad", ""}));
    }
};

QTEST_GUILESS_MAIN(ReplyParserTest)
#include "tst_replyparser.moc"
