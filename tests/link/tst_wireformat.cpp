// The message format: code page, number texts, request frames and the reply grammar.

#include "link/wireformat.h"
#include "platform/codepage.h"
#include "platform/decimalseparator.h"
#include "platform/errors.h"

#include <QTest>

class WireFormatTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { setDecimalSeparator(QLatin1Char('.')); }

    void codePageRoundTrip()
    {
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        QCOMPARE(platform::toCodePage(platform::fromCodePage(all)), all);
        QCOMPARE(platform::fromCodePage("\x80\x9f\xe9"), QStringLiteral("€Ÿé"));
        // Characters outside Windows-1252 become its substitute.
        QCOMPARE(platform::toCodePage(u"Ω€x\u4e2d"), QByteArray("?\x80x?"));
        QVERIFY(!platform::codePageCarries(QChar(0x3A9)));
    }

    void decimalTexts_data()
    {
        QTest::addColumn<QChar>("separator");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<double>("value");
        QTest::newRow("plain") << QChar('.') << "250.00" << true << 250.0;
        QTest::newRow("sign") << QChar('.') << "-12.50" << true << -12.5;
        QTest::newRow("no digits after point") << QChar('.') << "3." << true << 3.0;
        QTest::newRow("comma separator") << QChar(',') << "2,5" << true << 2.5;
        QTest::newRow("point under comma") << QChar(',') << "2.5" << false << 0.0;
        QTest::newRow("thousands") << QChar('.') << "1,250.00" << false << 0.0;
        QTest::newRow("two points") << QChar('.') << "1.2.3" << false << 0.0;
        QTest::newRow("empty") << QChar('.') << "" << false << 0.0;
        QTest::newRow("sign only") << QChar('.') << "-" << false << 0.0;
        QTest::newRow("exponent") << QChar('.') << "1.5E2" << true << 150.0;
        QTest::newRow("letters") << QChar('.') << "12x" << false << 0.0;
    }
    void decimalTexts()
    {
        QFETCH(QChar, separator);
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(double, value);
        setDecimalSeparator(separator);
        if (valid)
            QCOMPARE(textToDecimal(text), value);
        else
            QVERIFY_THROWS_EXCEPTION(ConversionError, textToDecimal(text));
    }

    void integerTexts()
    {
        QCOMPARE(textToInteger("  -42"), -42);
        QCOMPARE(textToInteger("2147483647"), 2147483647);
        QCOMPARE(textToInteger("-2147483648"), int(-2147483648LL));
        for (const char *bad : {"", "-", "2147483648", "12 ", "1.0", "0x10", "5013x"})
            QVERIFY_THROWS_EXCEPTION(ConversionError, textToInteger(QString::fromLatin1(bad)));
    }

    void generalNumberFormat()
    {
        QCOMPARE(decimalToText(12.5), QStringLiteral("12.5"));
        QCOMPARE(decimalToText(250.0), QStringLiteral("250"));
        QCOMPARE(decimalToText(-0.1), QStringLiteral("-0.1"));
        QCOMPARE(decimalToText(1e20), QStringLiteral("1E20"));
        QCOMPARE(decimalToText(1.5e-7), QStringLiteral("1.5E-7"));
        QCOMPARE(decimalToText(0.1 + 0.2), QStringLiteral("0.3")); // 15 significant digits
        setDecimalSeparator(QLatin1Char(','));
        QCOMPARE(decimalToText(1234.75), QStringLiteral("1234,75"));
    }

    void dateAndTime()
    {
        QCOMPARE(wire::encodeDate(QDate(2024, 12, 9)), QStringLiteral("09%2F12%2F24"));
        QCOMPARE(wire::encodeDate(QDate(2000, 1, 31)), QStringLiteral("31%2F01%2F00"));
        QCOMPARE(wire::encodeTime(QTime(14, 5, 30)), QStringLiteral("14%3A05%3A30"));
        QCOMPARE(wire::encodeTime(QTime(0, 0, 0)), QStringLiteral("00%3A00%3A00"));
    }

    // The worked example: validation of card 12345678 on 09/12/24 at 14:05:30.
    void validationFrame()
    {
        const QString body =
            wire::validationBody("C", "12345678", wire::encodeDate(QDate(2024, 12, 9)),
                                 wire::encodeTime(QTime(14, 5, 30)));
        QCOMPARE(body, QStringLiteral("Command=ValidateRangeId&RangeType=C&Reference=12345678&"
                                      "Date=09%2F12%2F24&Time=14%3A05%3A30&"));
        QCOMPARE(body.size(), 91);
        QCOMPARE(wire::frameLength(body), 95);
        const QByteArray bytes = wire::encodeFrame(wire::frameText(body)) + "\r\n";
        QCOMPARE(bytes.size(), 97);
        QCOMPARE(bytes.first(12).toHex(' '), QByteArray("00 5f 00 04 43 6f 6d 6d 61 6e 64 3d"));
        QCOMPARE(bytes.last(5).toHex(' '), QByteArray("33 30 26 0d 0a"));
    }

    void usageReportBodies()
    {
        QCOMPARE(wire::usageReportBody("P", "900001", "09%2F12%2F24", "14%3A05%3A30"),
                 QStringLiteral("Command=SetRangeUsage&RangeType=P&Reference=900001&"
                                "Date=09%2F12%2F24&Time=14%3A05%3A30&"));
        QCOMPARE(wire::cardUsageReportBody("C", "12345678", 2, "09%2F12%2F24", "14%3A05%3A30"),
                 QStringLiteral("Command=SetRangeUsage&RangeType=C&Reference=12345678&"
                                "IssueGroup=2&Date=09%2F12%2F24&Time=14%3A05%3A30&"));
    }

    // The length byte is L itself up to 255, also where Windows-1252 has no character
    // for the code point (0x81) or a different one (0x80..0x9F).
    void lengthByte()
    {
        for (int length : {5, 127, 128, 129, 141, 159, 160, 200, 255}) {
            const QString body(length - 4, QLatin1Char('x'));
            const QByteArray bytes = wire::encodeFrame(wire::frameText(body));
            QCOMPARE(bytes.size(), length);
            QCOMPARE(static_cast<unsigned char>(bytes[1]), length);
            QVERIFY(wire::frameLengthReason(length).isEmpty());
        }
        QVERIFY(!wire::frameLengthReason(256).isEmpty());
    }

    void unsafeValues()
    {
        for (const QString &safe : {QString(), QStringLiteral("12345678"),
                                    QStringLiteral("AB-12/34.x"), QStringLiteral("€é")})
            QVERIFY2(wire::unsafeValueReason(safe).isEmpty(), qPrintable(safe));
        for (const QString &unsafe :
             {QStringLiteral("12&3"), QStringLiteral("a=b"), QStringLiteral("5%2E"),
              QStringLiteral("1+2"), QStringLiteral("\"q"), QStringLiteral("12 34"),
              QStringLiteral("12\t"), QString(QChar(0x7F)), QString(QChar(0xA0)),
              QStringLiteral("Ω")}) {
            const QString reason = wire::unsafeValueReason(unsafe);
            QVERIFY2(!reason.isEmpty(), qPrintable(unsafe));
            QVERIFY(!reason.contains(QLatin1Char(' ')));
        }
    }

    void items_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("items");
        QTest::newRow("final amp adds empty") << "A=1&B=2&" << QStringList{"A=1", "B=2", ""};
        QTest::newRow("no final amp") << "A=1&B=2" << QStringList{"A=1", "B=2"};
        QTest::newRow("blank ends item")
            << "Error=Card not valid&X=1&" << QStringList{"Error=Card", "not", "valid", "X=1", ""};
        QTest::newRow("leading blanks") << "   A=1&  B=2" << QStringList{"A=1", "B=2"};
        QTest::newRow("quoted") << "\"Error=Card not & valid\"&A=1"
                                << QStringList{"Error=Card not & valid", "A=1"};
        QTest::newRow("doubled quotes") << "\"a\"\"b\"&" << QStringList{"a\"b", ""};
        QTest::newRow("after closing quote") << "\"a b\"c&d" << QStringList{"a b", "c", "d"};
        QTest::newRow("unclosed quote") << "A=1&\"Error=x y" << QStringList{"A=1", "Error=x y"};
        QTest::newRow("empty middle item") << "A=1&&B=2" << QStringList{"A=1", "", "B=2"};
        QTest::newRow("empty") << "" << QStringList{};
        QTest::newRow("blanks only") << "   " << QStringList{};
        QTest::newRow("amp only") << "&" << QStringList{"", ""};
    }
    void items()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, items);
        QCOMPARE(wire::splitItems(text), items);
    }

    void values()
    {
        const QStringList items{"4RangeOK=1", "=5", "NoValue", "rangeok=2", "RANGEOK=3", "A=b=c"};
        QCOMPARE(wire::itemValue(items, u"RangeOK"), QStringLiteral("2"));
        QCOMPARE(wire::itemValue(items, u"a"), QStringLiteral("b=c"));
        QCOMPARE(wire::itemValue(items, u"NoValue"), QString());
        QCOMPARE(wire::itemValue(u"=5"), QString());
        QCOMPARE(wire::itemValue(u"1310"), QString());
    }

    void replyBodyAndRendering()
    {
        QCOMPARE(wire::replyBody(QByteArray("\0\x0e\0\x04RangeOK=3&\r\n", 16)),
                 QByteArrayView("RangeOK=3&"));
        QCOMPARE(wire::replyBody(QByteArray("\0\x0e\0\x04RangeOK=3&", 14)),
                 QByteArrayView("RangeOK=3&"));
        QVERIFY(wire::replyBody(QByteArray("\0\x0e\0\x04", 4)).isEmpty());
        QCOMPARE(wire::renderBytes(QByteArray("\0a\x0d\x0a\x80", 5)), QStringLiteral("0a1310€"));
        QCOMPARE(wire::decodeDecimalPoints("1%2e5 %A0 %a0 %2E", QLatin1Char(',')),
                 QStringLiteral("1,5 , , ,"));
    }
};

QTEST_GUILESS_MAIN(WireFormatTest)
#include "tst_wireformat.moc"
