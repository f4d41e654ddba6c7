#include "components/textroutines.h"

#include <QTest>

class TextRoutinesTest : public QObject
{
    Q_OBJECT

private slots:
    void checkBS_data();
    void checkBS();
    void remExt_data();
    void remExt();
    void isNumVal_data();
    void isNumVal();
    void shiftRoundTrip_data();
    void shiftRoundTrip();
    void countBelowOneGivesBlanks_data();
    void countBelowOneGivesBlanks();
};

void TextRoutinesTest::checkBS_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("ends in backslash") << "C:\\data\\"
                                       << "C:\\data\\";
    QTest::newRow("no backslash") << "C:\\data"
                                  << "C:\\data\\";
    QTest::newRow("slash is not a backslash") << "/tmp/"
                                              << "/tmp/\\";
    QTest::newRow("single backslash") << "\\"
                                      << "\\";
}

void TextRoutinesTest::checkBS()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(TextRoutines::CheckBS(text), expected);
}

void TextRoutinesTest::remExt_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no dot") << "readme"
                            << "readme";
    QTest::newRow("one extension") << "report.txt"
                                   << "report";
    QTest::newRow("two extensions lose both") << "backup.tar.gz"
                                              << "backup";
    QTest::newRow("leading dot") << ".profile"
                                 << "";
    QTest::newRow("dot only") << "."
                              << "";
    QTest::newRow("empty") << ""
                           << "";
    // The one open case: a trailing dot keeps the text before it.
    QTest::newRow("trailing dot") << "name."
                                  << "name";
    QTest::newRow("dot in folder") << "C:\\my.dir\\file"
                                   << "C:\\my";
}

void TextRoutinesTest::remExt()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(TextRoutines::RemExt(text), expected);
}

void TextRoutinesTest::isNumVal_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("numeric");
    QTest::newRow("empty") << "" << true;
    QTest::newRow("minus") << "-" << true;
    QTest::newRow("point") << "." << true;
    QTest::newRow("minus point") << "-." << true;
    QTest::newRow("negative decimal") << "-12.50" << true;
    QTest::newRow("integer") << "0123456789" << true;
    QTest::newRow("two points") << "1.2.3" << false;
    QTest::newRow("plus sign") << "+5" << false;
    QTest::newRow("minus later") << "5-" << false;
    QTest::newRow("leading blank") << " 5" << false;
    QTest::newRow("comma separator") << "1,5" << false;
    QTest::newRow("exponent") << "1e5" << false;
    QTest::newRow("arabic-indic digit") << QString(QChar(0x0661)) << false;
    QTest::newRow("fullwidth digit") << QString(QChar(0xFF11)) << false;
}

void TextRoutinesTest::isNumVal()
{
    QFETCH(QString, text);
    QFETCH(bool, numeric);
    QCOMPARE(TextRoutines::IsNumVal(text), numeric);
}

void TextRoutinesTest::shiftRoundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("count");
    const QString edges = QString(QChar(0)) + QChar(1) + QChar(0xFFFE) + QChar(0xFFFF);
    const QString surrogates = QStringLiteral("golf \U0001F3CC");
    QTest::newRow("plain by 1") << "Orvanta" << 1;
    QTest::newRow("edges by 1") << edges << 1;
    QTest::newRow("edges by 2") << edges << 2;
    QTest::newRow("edges by 65535") << edges << 65535;
    QTest::newRow("edges by 65536") << edges << 65536;
    QTest::newRow("edges by max") << edges << std::numeric_limits<int>::max();
    QTest::newRow("surrogate halves by 7") << surrogates << 7;
}

void TextRoutinesTest::shiftRoundTrip()
{
    QFETCH(QString, text);
    QFETCH(int, count);
    const QString encrypted = TextRoutines::EncryptMsg(text, count);
    QCOMPARE(encrypted.size(), text.size());
    for (qsizetype i = 0; i < text.size(); ++i)
        QCOMPARE(encrypted.at(i).unicode(), char16_t((text.at(i).unicode() + quint32(count))));
    QCOMPARE(TextRoutines::DecryptMsg(encrypted, count), text);
}

void TextRoutinesTest::countBelowOneGivesBlanks_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("zero") << 0;
    QTest::newRow("minus one") << -1;
    QTest::newRow("most negative") << std::numeric_limits<int>::min();
}

void TextRoutinesTest::countBelowOneGivesBlanks()
{
    QFETCH(int, count);
    const QString text = QStringLiteral("ab\U0001F3CC");
    QCOMPARE(TextRoutines::EncryptMsg(text, count), QString(4, u' '));
    QCOMPARE(TextRoutines::DecryptMsg(text, count), QString(4, u' '));
    QCOMPARE(TextRoutines::EncryptMsg(QString(), count), QString());
}

QTEST_APPLESS_MAIN(TextRoutinesTest)
#include "tst_textroutines.moc"
