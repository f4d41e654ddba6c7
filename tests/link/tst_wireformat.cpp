// The message format: code page, number texts, request frames and the reply grammar.

#include "link/wireformat.h"
#include "platform/codepage.h"
#include "platform/decimalseparator.h"
#include "platform/errors.h"

#include <QLocale>
#include <QTest>
#include <clocale>

class WireFormatTest : public QObject
{
    Q_OBJECT

    // Sets the C library's locale, as QApplication does from the environment, and Qt's
    // default locale to match.
    static void useLocale(const QByteArray &name)
    {
        QVERIFY2(std::setlocale(LC_ALL, name.constData()),
                 qPrintable(QStringLiteral("locale %1 is not generated (tools/prepare.sh does)")
                                .arg(QString::fromLatin1(name))));
        QLocale::setDefault(QLocale(QString::fromLatin1(name.left(name.indexOf('.')))));
    }

private slots:
    void cleanup()
    {
        setDecimalSeparator(QLatin1Char('.'));
        std::setlocale(LC_ALL, "C");
        QLocale::setDefault(QLocale::c());
    }

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

    // Every conversion between decimal numbers and text under the C library locales a
    // kiosk meets: QApplication sets the C locale from the environment, and a conversion
    // that went through it (strtod, printf) read "12.50" as 12 under de_DE and fr_FR.
    void decimalTexts_data()
    {
        QTest::addColumn<QByteArray>("locale");
        QTest::addColumn<QChar>("separator");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<double>("value");
        struct Case
        {
            const char *fault;
            char separator;
            const char *text;
            bool valid;
            double value;
        };
        const Case cases[] = {
            {"fraction kept (12.50 read as 12)", '.', "12.50", true, 12.5},
            {"fraction kept below a price (19.50 read as 19)", '.', "19.50", true, 19.5},
            {"sign and fraction (-12.50 read as -12)", '.', "-12.50", true, -12.5},
            {"plus sign", '.', "+2.25", true, 2.25},
            {"no digits after the point", '.', "3.", true, 3.0},
            {"no digits before the point", '.', ".5", true, 0.5},
            {"comma separator from the settings (2,5 read as 2)", ',', "2,5", true, 2.5},
            {"point under a comma separator is no number", ',', "2.5", false, 0.0},
            {"thousands separator is no number", '.', "1,250.00", false, 0.0},
            {"two separators", '.', "1.2.3", false, 0.0},
            {"empty", '.', "", false, 0.0},
            {"sign only", '.', "-", false, 0.0},
            {"exponent is no decimal value (1.5E2 read as 150)", '.', "1.5E2", false, 0.0},
            {"exponent is no decimal value (1E3 read as 1000)", '.', "1E3", false, 0.0},
            {"leading blank", '.', " 2.5", false, 0.0},
            {"trailing blank", '.', "2.5 ", false, 0.0},
            {"letters after digits", '.', "12x", false, 0.0},
            {"infinity spelt out", '.', "inf", false, 0.0},
        };
        for (const char *locale : {"C", "en_US.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8"}) {
            for (const Case &c : cases) {
                QTest::addRow("%s: %s", locale, c.fault)
                    << QByteArray(locale) << QChar(c.separator) << QString::fromLatin1(c.text)
                    << c.valid << c.value;
            }
            QTest::addRow("%s: beyond the double range", locale)
                << QByteArray(locale) << QChar('.') << "1" + QString(400, QLatin1Char('0')) << false
                << 0.0;
        }
    }
    void decimalTexts()
    {
        QFETCH(QByteArray, locale);
        QFETCH(QChar, separator);
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(double, value);
        useLocale(locale);
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

    // The general number format, under each locale: printf wrote the C locale's comma
    // whatever separator the settings gave ("Balance: 12,5" with "." configured).
    void generalNumberFormat_data()
    {
        QTest::addColumn<QByteArray>("locale");
        for (const char *locale : {"C", "en_US.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8"})
            QTest::newRow(locale) << QByteArray(locale);
    }
    void generalNumberFormat()
    {
        QFETCH(QByteArray, locale);
        useLocale(locale);
        setDecimalSeparator(QLatin1Char('.'));
        QCOMPARE(decimalToText(12.5), QStringLiteral("12.5"));
        QCOMPARE(decimalToText(250.0), QStringLiteral("250"));
        QCOMPARE(decimalToText(-0.1), QStringLiteral("-0.1"));
        QCOMPARE(decimalToText(1e20), QStringLiteral("1E20"));
        QCOMPARE(decimalToText(1.5e-7), QStringLiteral("1.5E-7"));
        QCOMPARE(decimalToText(0.1 + 0.2), QStringLiteral("0.3")); // 15 significant digits
        QCOMPARE(decimalToText(123456789012345.0), QStringLiteral("123456789012345"));
        QCOMPARE(decimalToText(1e15), QStringLiteral("1E15"));
        QCOMPARE(decimalToText(0.0001), QStringLiteral("0.0001"));
        setDecimalSeparator(QLatin1Char(','));
        QCOMPARE(decimalToText(1234.75), QStringLiteral("1234,75"));
        QCOMPARE(decimalToText(-2.5e-9), QStringLiteral("-2,5E-9"));
        // Written and read back with the same separator, the value survives.
        QCOMPARE(textToDecimal(decimalToText(19.99)), 19.99);
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
            QVERIFY2(reason.startsWith(QStringLiteral("Reference holds ")), qPrintable(unsafe));
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
