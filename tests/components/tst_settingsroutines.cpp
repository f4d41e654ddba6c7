#include "components/settingsroutines.h"

#include "components/routinetypes.h"

#include "autostarthelpers.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace autostarttest;

namespace {

const QString kReadFailed = QStringLiteral("Failed reading from registry");

} // namespace

class SettingsRoutinesTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> tmp;
    SettingsRoutines routines;
    QStringList messages;

private slots:
    void init();
    void registryRoundTrip_data();
    void registryRoundTrip();
    void readOfMissingValueCreatesKey();
    void nonTextValueShowsReadFailure();
    void handEditedFileReads_data();
    void handEditedFileReads();
    void writeKeepsEveryOtherLine_data();
    void writeKeepsEveryOtherLine();
    void filesOfQSettings_data();
    void filesOfQSettings();
    void unwritableStoreShowsWriteFailure();
    void namesStayInsideTheSettingsFolder();
    void defaultRootsFollowQSettings();
    void autostartEntryRunsItsCommand();
    void autostartLeavesOtherEntriesAlone();
    void autostartNeedsItsFolder();
    void autostartFailedWriteRaises();
    void startPage();
    void startPageFailedWriteRaises();
};

void SettingsRoutinesTest::init()
{
    tmp = std::make_unique<QTemporaryDir>();
    routines = SettingsRoutines();
    routines.UserSettingsRoot = tmp->filePath(QStringLiteral("user"));
    routines.SystemSettingsRoot = tmp->filePath(QStringLiteral("system"));
    // The folders for every user, in this test's own folder whoever runs it.
    routines.SystemWide = true;
    routines.SystemAutostartDir = tmp->filePath(QStringLiteral("autostart"));
    routines.RunOnceFolder = tmp->filePath(QStringLiteral("run-once"));
    QDir().mkpath(routines.SystemAutostartDir);
    messages.clear();
    routines.ShowMessage = [this](const QString &text) { messages << text; };
}

void SettingsRoutinesTest::registryRoundTrip_data()
{
    QTest::addColumn<bool>("global");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::newRow("user") << false << "Path"
                          << "C:\\Range\\data";
    QTest::newRow("system") << true << "Path"
                            << "/srv/range";
    QTest::newRow("commas stay text") << false << "List"
                                      << "a, b,c";
    QTest::newRow("unnamed value") << false << ""
                                   << "default";
    QTest::newRow("blank and unicode") << true << "Greeting text" << QStringLiteral("Grüße ⛳ ");
    QTest::newRow("empty value") << false << "Empty"
                                 << "";
}

void SettingsRoutinesTest::registryRoundTrip()
{
    QFETCH(bool, global);
    QFETCH(QString, name);
    QFETCH(QString, value);
    routines.RegWrite("Acme", "Range Tool", name, value, global);
    QCOMPARE(routines.RegRead("Acme", "Range Tool", name, global), value);
    const QString root = global ? routines.SystemSettingsRoot : routines.UserSettingsRoot;
    QVERIFY(QFileInfo(root + "/Acme/Range Tool.ini").isFile());
    // The other scope is another key and does not see the value.
    QCOMPARE(routines.RegRead("Acme", "Range Tool", name, !global), QString());
    QVERIFY(messages.isEmpty());
}

void SettingsRoutinesTest::readOfMissingValueCreatesKey()
{
    QCOMPARE(routines.RegRead("Acme", "Fresh", "Nothing", false), QString());
    QVERIFY(QFileInfo(routines.UserSettingsRoot + "/Acme/Fresh.ini").isFile());
    QVERIFY(messages.isEmpty());
}

void SettingsRoutinesTest::nonTextValueShowsReadFailure()
{
    writeText(routines.UserSettingsRoot + "/Acme/Edited.ini",
              "[General]\nlist=a,b\nbytes=@ByteArray(xyz)\nplain=ok\n");
    QCOMPARE(routines.RegRead("Acme", "Edited", "list", false), QString());
    QCOMPARE(routines.RegRead("Acme", "Edited", "bytes", false), QString());
    QCOMPARE(messages, QStringList(2, QStringLiteral("Failed reading from registry")));
    QCOMPARE(routines.RegRead("Acme", "Edited", "plain", false), QStringLiteral("ok"));
    QCOMPARE(messages.size(), 2);
}

void SettingsRoutinesTest::handEditedFileReads_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("value");
    QTest::newRow("# comment first")
        << QByteArray("# Range tool\n[General]\nName=value\n") << "value";
    QTest::newRow("commented-out value")
        << QByteArray("[General]\n# Name=commented\nName=value\n") << "value";
    QTest::newRow("; comment, blank, no section") << QByteArray("; c\n\nName=value\n") << "value";
    QTest::newRow("odd lines") << QByteArray("[General]\nName=value\nfoo\n[broken\nx=1\n")
                               << "value";
    QTest::newRow("lower-case section") << QByteArray("[general]\nName=value\n") << "value";
    QTest::newRow("byte order mark, CRLF")
        << QByteArray("\xEF\xBB\xBF[General]\r\nName=value\r\n") << "value";
    QTest::newRow("blanks and inline comment")
        << QByteArray("[General]\n  Name  =  spaced value  ; why\n") << "spaced value";
    QTest::newRow("the last of a repeated key")
        << QByteArray("[General]\nName=first\n[Other]\nName=other\n[General]\nName=last\n")
        << "last";
    QTest::newRow("quoted") << QByteArray("[General]\nName=\"quoted ; kept\"\n") << "quoted ; kept";
    QTest::newRow("UTF-8 by hand") << QByteArray("[General]\nName=Gr\xC3\xBC\xC3\x9F"
                                                 "e\n")
                                   << QStringLiteral("Grüße");
    QTest::newRow("a backslash typed by hand")
        << QByteArray("[General]\nName=C:\\Range\\data\n") << "C:\\Range\\data";
    QTest::newRow("only a comment") << QByteArray("[General]\n# Name\n") << "";
    QTest::newRow("in another section") << QByteArray("[Other]\nName=elsewhere\n") << "";
}

// A file that someone edited reads as it says, without a message.
void SettingsRoutinesTest::handEditedFileReads()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, value);
    writeText(routines.UserSettingsRoot + "/Acme/Edited.ini", file);
    QCOMPARE(routines.RegRead("Acme", "Edited", "Name", false), value);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(u'|')));
    QCOMPARE(readAll(routines.UserSettingsRoot + "/Acme/Edited.ini"), file);
}

void SettingsRoutinesTest::writeKeepsEveryOtherLine_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("comments survive")
        << QByteArray("# Range tool\n[General]\n; by hand\nName=old\n\nOther=1\n") << "Name"
        << "new" << QByteArray("# Range tool\n[General]\n; by hand\nName=new\n\nOther=1\n");
    QTest::newRow("new value after the last of its section")
        << QByteArray("[General]\nA=1\n# end of general\n\n[Printer]\nB=2\n") << "C"
        << "3" << QByteArray("[General]\nA=1\nC=3\n# end of general\n\n[Printer]\nB=2\n");
    QTest::newRow("values before any section") << QByteArray("# plain\nA=1\n") << "C"
                                               << "3" << QByteArray("# plain\nA=1\nC=3\n");
    QTest::newRow("no general section yet")
        << QByteArray("# comment\n[Printer]\nB=2") << "C"
        << "3" << QByteArray("# comment\n[Printer]\nB=2\n\n[General]\nC=3\n");
    QTest::newRow("CRLF kept") << QByteArray("[General]\r\nName=old\r\n# x\r\n") << "Add"
                               << "v" << QByteArray("[General]\r\nName=old\r\nAdd=v\r\n# x\r\n");
    QTest::newRow("spacing and inline comment")
        << QByteArray("[General]\nName = old ; why\n") << "Name"
        << "new" << QByteArray("[General]\nName = new ; why\n");
    QTest::newRow("odd lines stay")
        << QByteArray("[General]\nno setting here\nName=old\n[broken\n") << "Name"
        << "new" << QByteArray("[General]\nno setting here\nName=new\n[broken\n");
    QTest::newRow("empty file") << QByteArray() << "Name"
                                << "new" << QByteArray("[General]\nName=new\n");
    QTest::newRow("a value that needs quotes")
        << QByteArray("[General]\nName=old\n") << "Name"
        << "a, b" << QByteArray("[General]\nName=\"a, b\"\n");
}

// A write changes the one line of its value, or adds one, and reports nothing.
void SettingsRoutinesTest::writeKeepsEveryOtherLine()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, name);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    const QString path = routines.UserSettingsRoot + "/Acme/Edited.ini";
    writeText(path, before);
    routines.RegWrite("Acme", "Edited", name, value, false);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(u'|')));
    QCOMPARE(readAll(path), after);
    QCOMPARE(routines.RegRead("Acme", "Edited", name, false), value);
}

void SettingsRoutinesTest::filesOfQSettings_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::newRow("backslashes") << "Path"
                                 << "C:\\Range\\data";
    QTest::newRow("commas") << "List"
                            << "a, b,c";
    QTest::newRow("unnamed") << ""
                             << "default";
    QTest::newRow("blank in name, unicode") << "Greeting text" << QStringLiteral("Grüße ⛳ ");
    QTest::newRow("empty") << "Empty"
                           << "";
    QTest::newRow("leading @") << "At"
                               << "@home";
    QTest::newRow("looks typed") << "Typed"
                                 << "@ByteArray(x)";
    QTest::newRow("controls") << "Controls"
                              << QString::fromLatin1("a\x01"
                                                     "b\tc\n0\r\x1f"
                                                     "f\x7f");
    QTest::newRow("nul") << "Nul" << QString(QChar(0)) + u'1';
    QTest::newRow("quotes, ; and =") << "Quotes"
                                     << "say \"hi\"; a=b";
    QTest::newRow("outside the basic plane") << "Wide" << QStringLiteral("\U0001D11E clef");
    QTest::newRow("unicode name") << QStringLiteral("Ünï") << "k";
    QTest::newRow("group in name") << "group/name"
                                   << "nested";
    QTest::newRow("blanks at both ends") << "Padded"
                                         << "  both  ";
}

// Files that QSettings wrote before read back, and QSettings reads what is written now.
void SettingsRoutinesTest::filesOfQSettings()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    const QString key = name.isEmpty() ? QStringLiteral("(Default)") : name;
    const QString written = routines.keyFile("Acme", "ByQt", false);
    QVERIFY(QDir().mkpath(QFileInfo(written).absolutePath()));
    {
        QSettings qt(written, QSettings::IniFormat);
        qt.setValue(QStringLiteral("Before"), QStringLiteral("x"));
        qt.setValue(key, value);
        qt.setValue(QStringLiteral("zzz/After"), QStringLiteral("y"));
    }
    QCOMPARE(routines.RegRead("Acme", "ByQt", name, false), value);

    routines.RegWrite("Acme", "ByUs", name, value, false);
    const QSettings qt(routines.keyFile("Acme", "ByUs", false), QSettings::IniFormat);
    QCOMPARE(qt.status(), QSettings::NoError);
    QCOMPARE(qt.value(key), QVariant(value));
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(u'|')));
}

// A settings folder below a plain file can be neither created nor written.
void SettingsRoutinesTest::unwritableStoreShowsWriteFailure()
{
    writeText(tmp->filePath("blocker"), "not a folder");
    routines.UserSettingsRoot = tmp->filePath("blocker/settings");
    routines.RegWrite("Acme", "Tool", "Name", "value", false);
    QCOMPARE(messages, QStringList{QStringLiteral("Failed writing to registry")});
    // A key that cannot be opened reads as empty, without a message.
    QCOMPARE(routines.RegRead("Acme", "Tool", "Name", false), QString());
    QCOMPARE(messages.size(), 1);
}

void SettingsRoutinesTest::namesStayInsideTheSettingsFolder()
{
    routines.RegWrite("..", "escape", "Name", "value", false);
    routines.RegWrite("Acme", "..\\..\\escape", "Name", "value", false);
    QCOMPARE(messages, QStringList(2, QStringLiteral("Failed writing to registry")));
    QVERIFY(!QFileInfo::exists(tmp->filePath("escape.ini")));
    QVERIFY(!QFileInfo::exists(tmp->filePath("user/escape.ini")));
    // Backslashes nest keys, as they do in a registry path.
    routines.RegWrite("Acme\\Sub", "Tool", "Name", "nested", false);
    QVERIFY(QFileInfo(routines.UserSettingsRoot + "/Acme/Sub/Tool.ini").isFile());
    QCOMPARE(routines.RegRead("Acme", "Sub\\Tool", "Name", false), QStringLiteral("nested"));
}

void SettingsRoutinesTest::defaultRootsFollowQSettings()
{
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, tmp->filePath("qt-user"));
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, tmp->filePath("qt-system"));
    SettingsRoutines defaults;
    QCOMPARE(defaults.keyFile("Acme", "Tool", false), tmp->filePath("qt-user/Acme/Tool.ini"));
    QCOMPARE(defaults.keyFile("Acme", "Tool", true), tmp->filePath("qt-system/Acme/Tool.ini"));
}

void SettingsRoutinesTest::autostartEntryRunsItsCommand()
{
    const QString marker = tmp->filePath("ran $HOME 100%");
    const QString command = "touch '" + marker + "'";
    routines.SetAutoStart(command, "Range App", true);
    const QString entry = routines.SystemAutostartDir + "/Range App.desktop";
    QVERIFY(QFileInfo(entry).isFile());
    QCOMPARE(runEntry(entry), 0);
    QVERIFY(QFileInfo::exists(marker));
    QVERIFY(QFileInfo::exists(entry));

    routines.SetAutoStart(command, "Range App", false);
    QVERIFY(!QFileInfo::exists(entry));
    // Deleting what is not there is no failure.
    routines.SetAutoStart(command, "Range App", false);
}

// Entries of packages or of the administrator are neither deleted nor overwritten.
void SettingsRoutinesTest::autostartLeavesOtherEntriesAlone()
{
    const QByteArray package = "[Desktop Entry]\nType=Application\nName=User folders update\n"
                               "Exec=xdg-user-dirs-update\n";
    const QString entry = routines.SystemAutostartDir + "/xdg-user-dirs.desktop";
    writeText(entry, package);
    routines.SetAutoStart("true", "xdg-user-dirs", false);
    routines.SetAutoStartOnce("true", "xdg-user-dirs", false);
    QCOMPARE(readAll(entry), package);
    QVERIFY_THROWS_EXCEPTION(RegistryError, routines.SetAutoStart("true", "xdg-user-dirs", true));
    QVERIFY_THROWS_EXCEPTION(RegistryError,
                             routines.SetAutoStartOnce("true", "xdg-user-dirs", true));
    QCOMPARE(readAll(entry), package);
    QVERIFY(!QFileInfo::exists(routines.runOnceMark("xdg-user-dirs")));

    routines.SetAutoStart("true", "Ours", true);
    QCOMPARE(entryKey(routines.SystemAutostartDir + "/Ours.desktop", "X-Orvanta"),
             QStringLiteral("AutoStart"));
    routines.SetAutoStart("true", "Ours", false);
    QVERIFY(!QFileInfo::exists(routines.SystemAutostartDir + "/Ours.desktop"));
}

void SettingsRoutinesTest::autostartNeedsItsFolder()
{
    routines.SystemAutostartDir = tmp->filePath("no-autostart");
    routines.SetAutoStart("true", "Range App", true);
    routines.SetAutoStartOnce("true", "Range App", true);
    QVERIFY(!QFileInfo::exists(routines.SystemAutostartDir));
}

void SettingsRoutinesTest::autostartFailedWriteRaises()
{
    QVERIFY(QDir().mkpath(routines.SystemAutostartDir + "/Blocked.desktop"));
    QVERIFY_THROWS_EXCEPTION(RegistryError, routines.SetAutoStart("true", "Blocked", true));
    QVERIFY_THROWS_EXCEPTION(RegistryError, routines.SetAutoStartOnce("true", "../Out", true));
    QVERIFY(!QFileInfo::exists(tmp->filePath("Out.desktop")));
    routines.SetAutoStart("true", "Blocked", false); // a failed delete is ignored
}

void SettingsRoutinesTest::startPage()
{
    QCOMPARE(routines.GetIEStartPage(), QString());
    QVERIFY(!QFileInfo::exists(routines.startPageFile()));
    QVERIFY(routines.SetIEStartPage("http://range.example/welcome"));
    QCOMPARE(routines.GetIEStartPage(), QStringLiteral("http://range.example/welcome"));
    QCOMPARE(routines.startPageFile(), routines.UserSettingsRoot + "/Orvanta/Browser.ini");
    QVERIFY(messages.isEmpty());
}

void SettingsRoutinesTest::startPageFailedWriteRaises()
{
    writeText(tmp->filePath("blocker"), "not a folder");
    routines.UserSettingsRoot = tmp->filePath("blocker/settings");
    QVERIFY_THROWS_EXCEPTION(RegistryError, routines.SetIEStartPage("about:blank"));
    QCOMPARE(routines.GetIEStartPage(), QString());
}

QTEST_GUILESS_MAIN(SettingsRoutinesTest)
#include "tst_settingsroutines.moc"
