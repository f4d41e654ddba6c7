#include "components/settingsroutines.h"

#include "components/routinetypes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

void writeText(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        qFatal("cannot write %s", qPrintable(path));
}

// Runs an autostart entry's command as a session would: the Exec value with its string
// escapes undone and %% as a plain percent sign. Its quoting is the shell's double quoting.
int runEntry(const QString &entry)
{
    QFile file(entry);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    QString exec;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(u'\n')) {
        if (line.startsWith(QStringLiteral("Exec=")))
            exec = line.mid(5);
    }
    QString command;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        if (exec.at(i) == u'\\' && i + 1 < exec.size()) {
            const QChar next = exec.at(++i);
            command += next == u'n' ? QChar(u'\n') : next == u's' ? QChar(u' ') : next;
        } else if (exec.at(i) == u'%' && i + 1 < exec.size() && exec.at(i + 1) == u'%') {
            command += u'%';
            ++i;
        } else {
            command += exec.at(i);
        }
    }
    // A command that never ends fails the test here, not at the suite's time limit.
    QProcess shell;
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    if (!shell.waitForFinished(10000)) {
        shell.kill();
        shell.waitForFinished(1000);
        return -2;
    }
    return shell.exitStatus() == QProcess::NormalExit ? shell.exitCode() : -1;
}

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
    void unwritableStoreShowsWriteFailure();
    void namesStayInsideTheSettingsFolder();
    void defaultRootsFollowQSettings();
    void autostartEntryRunsItsCommand();
    void autostartOnceEntryRemovesItself();
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
    routines.SystemAutostartDir = tmp->filePath(QStringLiteral("autostart"));
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

void SettingsRoutinesTest::autostartOnceEntryRemovesItself()
{
    const QString marker = tmp->filePath("once \"quoted\" `tick`");
    routines.SetAutoStartOnce("touch '" + marker + "'", "Range Once", true);
    const QString entry = routines.SystemAutostartDir + "/Range Once.desktop";
    QVERIFY(QFileInfo(entry).isFile());
    QCOMPARE(runEntry(entry), 0);
    QVERIFY(QFileInfo::exists(marker));
    QVERIFY(!QFileInfo::exists(entry));
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
