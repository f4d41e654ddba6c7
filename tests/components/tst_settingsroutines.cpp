#include "components/settingsroutines.h"

#include "components/routinetypes.h"

#include "childrun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void writeText(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The value of a key of an autostart entry, as written (escapes left in).
QString entryKey(const QString &entry, const QString &key)
{
    for (const QString &line : QString::fromUtf8(readAll(entry)).split(u'\n')) {
        if (line.startsWith(key + u'='))
            return line.mid(key.size() + 1);
    }
    return QString();
}

// An autostart entry's command as a session runs it: the Exec value with its string
// escapes undone and %% as a plain percent sign. Its quoting is the shell's double quoting.
QString entryCommand(const QString &entry)
{
    const QString exec = entryKey(entry, QStringLiteral("Exec"));
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
    return command;
}

// Runs a shell command as a session would, by the user that `wrapper` makes (none: this
// one), with `stateHome` as that session's XDG_STATE_HOME (none: as inherited).
int runCommand(const QString &command, const QStringList &wrapper = {},
               const QString &stateHome = {})
{
    if (command.isEmpty())
        return -1;
    QStringList args = wrapper;
    args << QStringLiteral("/bin/sh") << QStringLiteral("-c") << command;
    QProcess shell;
    if (!stateHome.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_STATE_HOME"), stateHome);
        shell.setProcessEnvironment(env);
    }
    // A command that never ends fails the test here, not at the suite's time limit.
    shell.start(args.takeFirst(), args);
    if (!shell.waitForFinished(10000)) {
        shell.kill();
        shell.waitForFinished(1000);
        return -2;
    }
    return shell.exitStatus() == QProcess::NormalExit ? shell.exitCode() : -1;
}

int runEntry(const QString &entry, const QStringList &wrapper = {}, const QString &stateHome = {})
{
    return runCommand(entryCommand(entry), wrapper, stateHome);
}

// Gives a folder (and what is in it) to the user nobody.
void giveToNobody(const QString &path)
{
    QProcess chown;
    chown.start(QStringLiteral("chown"),
                {QStringLiteral("-R"), QStringLiteral("65534:65534"), path});
    if (!chown.waitForFinished() || chown.exitCode() != 0)
        qFatal("cannot give %s to nobody", qPrintable(path));
}

mode_t modeOf(const QString &path, uid_t *owner = nullptr)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    if (owner)
        *owner = st.st_uid;
    return st.st_mode;
}

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
    void autostartOnceEntryRemovesItself();
    void autostartOnceRunsOnceForEachAccount();
    void autostartOfAUserStaysInTheirFolders();
    void runOnceStateBelongsToRoot();
    void runOnceFolderThroughLinks_data();
    void runOnceFolderThroughLinks();
    void otherAccountCannotChangeRootsRunOnceState_data();
    void otherAccountCannotChangeRootsRunOnceState();
    void folderSwapByItsParentsOwnerChangesNothingOfRoots();
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

// A user's own entry: the first session of that user runs it and deletes it and its mark.
void SettingsRoutinesTest::autostartOnceEntryRemovesItself()
{
    routines.SystemWide = false;
    routines.UserAutostartDir = tmp->filePath(QStringLiteral("user-autostart"));
    const QString state = tmp->filePath(QStringLiteral("user-state"));
    routines.UserRunOnceFolder = state + "/orvanta/run-once";
    const QString marker = tmp->filePath("once \"quoted\" `tick`");
    routines.SetAutoStartOnce("touch '" + marker + "'", "Range Once", true);
    const QString entry = routines.UserAutostartDir + "/Range Once.desktop";
    QCOMPARE(routines.autostartEntry("Range Once"), entry);
    const QString mark = entryKey(entry, QStringLiteral("TryExec"));
    QCOMPARE(mark, routines.UserRunOnceFolder + "/Range Once.pending");
    QVERIFY(QFileInfo(mark).isExecutable());
    const QString command = entryCommand(entry);
    QCOMPARE(runCommand(command, {}, state), 0);
    QVERIFY(QFileInfo::exists(marker));
    QVERIFY(!QFileInfo::exists(entry));
    QVERIFY(!QFileInfo::exists(mark));
    // A second session that had read the entry before it went runs nothing.
    QVERIFY(QFile::remove(marker));
    QCOMPARE(runCommand(command, {}, state), 0);
    QVERIFY(!QFileInfo::exists(marker));
}

// An entry for every user runs once for each account, at its next logon: here the user
// nobody and root, each with a state folder of its own. Neither account's run changes
// the other's; registering the title again asks each account for one run more.
void SettingsRoutinesTest::autostartOnceRunsOnceForEachAccount()
{
    if (!childrun::isRoot())
        QSKIP("the entry runs as the user nobody, which needs root to switch to");
    QVERIFY(QFile::setPermissions(tmp->path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                   QFileDevice::ExeOther));
    const QString out = tmp->filePath("out");
    QVERIFY(QDir().mkpath(out));
    QVERIFY(QFile::setPermissions(out, QFileDevice::ReadOther | QFileDevice::WriteOther |
                                           QFileDevice::ExeOther | QFileDevice::ReadOwner |
                                           QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    const QString nobodyHome = tmp->filePath("nobody");
    QVERIFY(QDir().mkpath(nobodyHome));
    giveToNobody(nobodyHome);
    const QString nobodyState = nobodyHome + "/.local/state";
    const QString rootState = tmp->filePath("root-state");
    const QString ran = out + "/ran";
    routines.SetAutoStartOnce("id -un >> '" + ran + "'", "Range Once", true);
    const QString entry = routines.SystemAutostartDir + "/Range Once.desktop";
    const QString mark = entryKey(entry, QStringLiteral("TryExec"));
    QVERIFY(QFileInfo(mark).isExecutable());

    QCOMPARE(runEntry(entry, childrun::asNobody(), nobodyState), 0);
    QCOMPARE(readAll(ran), QByteArray("nobody\n"));
    QCOMPARE(runEntry(entry, childrun::asNobody(), nobodyState), 0);
    QCOMPARE(runEntry(entry, {}, rootState), 0);
    QCOMPARE(runEntry(entry, {}, rootState), 0);
    QCOMPARE(readAll(ran), QByteArray("nobody\nroot\n"));
    // Root's entry and mark stay: no session deletes them, not even root's.
    QVERIFY(QFileInfo::exists(entry));
    QVERIFY(QFileInfo::exists(mark));

    routines.SetAutoStartOnce("id -un >> '" + ran + "'", "Range Once", true);
    QCOMPARE(runEntry(entry, childrun::asNobody(), nobodyState), 0);
    QCOMPARE(runEntry(entry, childrun::asNobody(), nobodyState), 0);
    QCOMPARE(readAll(ran), QByteArray("nobody\nroot\nnobody\n"));

    routines.SetAutoStartOnce("true", "Range Once", false);
    QVERIFY(!QFileInfo::exists(entry));
    QVERIFY(!QFileInfo::exists(mark));
    // An entry whose mark is gone (deleted by hand) is removed by the next write.
    routines.SetAutoStartOnce("true", "Range Gone", true);
    QVERIFY(QFile::remove(routines.runOnceMark("Range Gone")));
    routines.SetAutoStart("true", "Range Other", true);
    QVERIFY(!QFileInfo::exists(routines.SystemAutostartDir + "/Range Gone.desktop"));
    QVERIFY(QFileInfo::exists(routines.SystemAutostartDir + "/Range Other.desktop"));
}

// Run by a user, the routines write that user's own folders ($XDG_CONFIG_HOME/autostart,
// $XDG_STATE_HOME/orvanta/run-once), made closed to others, and nothing of root's.
void SettingsRoutinesTest::autostartOfAUserStaysInTheirFolders()
{
    if (childrun::isChild()) {
        const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
        const QString state = qEnvironmentVariable("XDG_STATE_HOME");
        SettingsRoutines user;
        QVERIFY(!user.SystemWide);
        user.SystemAutostartDir = qEnvironmentVariable("ORVANTA_TEST_SYSTEM_AUTOSTART");
        user.SetAutoStartOnce("echo once >> \"$HOME/ran\"", "Mine", true);
        const QString entry = config + "/autostart/Mine.desktop";
        QCOMPARE(user.autostartEntry("Mine"), entry);
        QCOMPARE(user.runOnceMark("Mine"), state + "/orvanta/run-once/Mine.pending");
        QVERIFY(QFileInfo(user.runOnceMark("Mine")).isExecutable());
        for (const QString &folder : {config + "/autostart", state + "/orvanta/run-once"}) {
            uid_t owner = 0;
            QCOMPARE(modeOf(folder, &owner) & 07777, mode_t(0700));
            QCOMPARE(owner, ::geteuid());
        }
        QVERIFY(QDir(user.SystemAutostartDir).isEmpty());
        QCOMPARE(runEntry(entry), 0);
        QCOMPARE(readAll(qEnvironmentVariable("HOME") + "/ran"), QByteArray("once\n"));
        QVERIFY(!QFileInfo::exists(entry));
        QVERIFY(!QFileInfo::exists(user.runOnceMark("Mine")));
        user.SetAutoStart("true", "Every", true);
        QVERIFY(QFileInfo(config + "/autostart/Every.desktop").isFile());
        QVERIFY(QDir(user.SystemAutostartDir).isEmpty());
        return;
    }
    if (!childrun::isRoot())
        QSKIP("the routines run as the user nobody, which needs root to switch to");
    QVERIFY(QFile::setPermissions(tmp->path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                   QFileDevice::ExeOther));
    const QString home = tmp->filePath("nobody");
    QVERIFY(QDir().mkpath(home));
    giveToNobody(home);
    const childrun::Outcome child =
        childrun::rerun(QStringLiteral("autostartOfAUserStaysInTheirFolders"), childrun::asNobody(),
                        {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config",
                         "XDG_STATE_HOME=" + home + "/.local/state",
                         "ORVANTA_TEST_SYSTEM_AUTOSTART=" + routines.SystemAutostartDir});
    QVERIFY2(child.passed(), qPrintable(child.output));
}

// Root's run-once folder and marks are root's alone, made so under any umask, and a folder
// that an older version left open to everyone is closed again.
void SettingsRoutinesTest::runOnceStateBelongsToRoot()
{
    if (!childrun::isRoot())
        QSKIP("the owner of the folder is root only when the registration runs as root");
    for (const bool leftOpen : {false, true}) {
        QDir(routines.RunOnceFolder).removeRecursively();
        const mode_t saved = ::umask(leftOpen ? 022 : 0);
        if (leftOpen) {
            QVERIFY(QDir().mkpath(routines.RunOnceFolder));
            QCOMPARE(::chmod(QFile::encodeName(routines.RunOnceFolder).constData(), 0777), 0);
        }
        routines.SetAutoStartOnce("true", "Range Once", true);
        ::umask(saved);
        uid_t owner = 1;
        const mode_t folder = modeOf(routines.RunOnceFolder, &owner);
        QVERIFY(S_ISDIR(folder));
        QCOMPARE(folder & 07777, mode_t(0755));
        QCOMPARE(owner, uid_t(0));
        owner = 1;
        const mode_t mark = modeOf(routines.runOnceMark("Range Once"), &owner);
        QVERIFY(S_ISREG(mark));
        QCOMPARE(mark & 07777, mode_t(0755));
        QCOMPARE(owner, uid_t(0));
        owner = 1;
        QCOMPARE(modeOf(routines.autostartEntry("Range Once"), &owner) & 07777, mode_t(0644));
        QCOMPARE(owner, uid_t(0));
    }
}

void SettingsRoutinesTest::runOnceFolderThroughLinks_data()
{
    QTest::addColumn<bool>("othersLink");
    QTest::addColumn<bool>("followed");
    QTest::newRow("a link of root's to a folder of root's is followed") << false << true;
    QTest::newRow("a link that another account owns is not") << true << false;
}

// A link on the way to the run-once folder leads on only when it is root's (or the
// caller's): in a folder that no one else may write in, no one else could have put it
// there. A link of another account's is refused, and nothing is written where it leads.
void SettingsRoutinesTest::runOnceFolderThroughLinks()
{
    QFETCH(bool, othersLink);
    QFETCH(bool, followed);
    if (othersLink && !childrun::isRoot())
        QSKIP("a link of another account's needs root to make");
    const QString target = tmp->filePath("state");
    QVERIFY(QDir().mkpath(target));
    const QString link = tmp->filePath("state-link");
    QVERIFY(QFile::link(target, link));
    if (othersLink)
        QCOMPARE(::lchown(QFile::encodeName(link).constData(), 65534, 65534), 0);
    routines.RunOnceFolder = link + "/run-once";
    bool registered = true;
    try {
        routines.SetAutoStartOnce("true", "Range Once", true);
    } catch (const RegistryError &) {
        registered = false;
    }
    QCOMPARE(registered, followed);
    QCOMPARE(QFileInfo(target + "/run-once/Range Once.pending").isFile(), followed);
    QCOMPARE(QFileInfo::exists(routines.SystemAutostartDir + "/Range Once.desktop"), followed);
}

// What another account tries on root's run-once state, each row a fault that a folder
// open to everyone allowed; none of it changes what root registered or what root's
// sessions run. F is the run-once folder, M the mark of "Range Once", T the test folder.
void SettingsRoutinesTest::otherAccountCannotChangeRootsRunOnceState_data()
{
    QTest::addColumn<QString>("before");  // before root registers "Range Once"
    QTest::addColumn<QString>("pending"); // after the registration
    QTest::addColumn<QString>("spent");   // after root's session has run it
    QTest::newRow("mark deleted: the run was cancelled") << ""
                                                         << "rm -f \"$M\""
                                                         << "";
    QTest::newRow("spent mark re-created: it ran again in every session")
        << ""
        << ""
        << "rm -f \"$M\"; printf '#!/bin/sh\\n' >\"$M\" && chmod 755 \"$M\"";
    QTest::newRow("title blocked: root's next registration failed") << "mkdir \"$M\""
                                                                    << ""
                                                                    << "";
    QTest::newRow("disk filled") << "head -c 1048576 /dev/zero >\"$F/fill\""
                                 << "head -c 1048576 /dev/zero >\"$F/fill2\""
                                 << "";
    QTest::newRow("folder swapped for a link")
        << "mkdir \"$T/out/elsewhere\" && mv \"$F\" \"$T/out/old\" && ln -s \"$T/out/elsewhere\" "
           "\"$F\""
        << ""
        << "";
}

void SettingsRoutinesTest::otherAccountCannotChangeRootsRunOnceState()
{
    QFETCH(QString, before);
    QFETCH(QString, pending);
    QFETCH(QString, spent);
    if (!childrun::isRoot())
        QSKIP("the other account is the user nobody, which needs root to switch to");
    QVERIFY(QFile::setPermissions(tmp->path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                   QFileDevice::ExeOther));
    const QString out = tmp->filePath("out");
    QVERIFY(QDir().mkpath(out));
    giveToNobody(out);
    const QString folder = routines.RunOnceFolder;
    const QString mark = routines.runOnceMark("Range Once");
    const auto attack = [&](const QString &script) {
        if (!script.isEmpty())
            runCommand("F='" + folder + "' M='" + mark + "' T='" + tmp->path() + "'; " + script,
                       childrun::asNobody());
    };
    routines.SetAutoStartOnce("true", "Range First", true); // the folder is there now
    attack(before);
    const QString ran = tmp->filePath("ran");
    try {
        routines.SetAutoStartOnce("echo ran >> '" + ran + "'", "Range Once", true);
    } catch (const RegistryError &error) {
        QFAIL(qPrintable("root's registration failed: " + error.message()));
    }
    const QString command = entryCommand(routines.SystemAutostartDir + "/Range Once.desktop");
    attack(pending);
    const QString rootState = tmp->filePath("root-state");
    QCOMPARE(runCommand(command, {}, rootState), 0);
    attack(spent);
    QCOMPARE(runCommand(command, {}, rootState), 0);
    QCOMPARE(readAll(ran), QByteArray("ran\n"));

    // The folder is a real folder of root's that no one else may write in, and all that
    // is in it is root's marks.
    const QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden |
                                                     QDir::System | QDir::NoDotAndDotDot);
    QCOMPARE(names, QStringList({"Range First.pending", "Range Once.pending"}));
    uid_t owner = 1;
    const mode_t mode = modeOf(folder, &owner);
    QVERIFY(S_ISDIR(mode));
    QCOMPARE(owner, uid_t(0));
    QCOMPARE(mode & 022, mode_t(0));
    for (const QString &name : names) {
        owner = 1;
        QVERIFY(S_ISREG(modeOf(folder + u'/' + name, &owner)));
        QCOMPARE(owner, uid_t(0));
    }
}

// /var/lib/orvanta belongs to the kiosk's account. Root's registrations there went wrong:
// that account swapped the run-once folder and a link to a file of root's (renameat2,
// RENAME_EXCHANGE) while root registered, and root's check-then-chmod by name set that
// 0600 file to 0777 within a few thousand calls. Root now writes nothing under a folder
// that another account owns: every registration there is refused.
void SettingsRoutinesTest::folderSwapByItsParentsOwnerChangesNothingOfRoots()
{
    if (!childrun::isRoot())
        QSKIP("the other account is the user nobody, which needs root to switch to");
    QVERIFY(QFile::setPermissions(tmp->path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                   QFileDevice::ExeOther));
    const QString home = tmp->filePath("home");
    QVERIFY(QDir().mkpath(home));
    giveToNobody(home);
    const QString secret = tmp->filePath("secret");
    writeText(secret, "root's own");
    QCOMPARE(::chmod(QFile::encodeName(secret).constData(), 0600), 0);
    routines.RunOnceFolder = home + "/run-once";
    const QByteArray folderPath = QFile::encodeName(routines.RunOnceFolder);
    const QByteArray linkPath = QFile::encodeName(home + "/link");
    const QByteArray secretPath = QFile::encodeName(secret);

    const pid_t swapper = ::fork();
    if (swapper == 0) {
        // The death signal is set after the change of user, which clears it.
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0 ||
            ::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 ||
            ::symlink(secretPath.constData(), linkPath.constData()) != 0)
            ::_exit(1);
        for (;;)
            ::renameat2(AT_FDCWD, folderPath.constData(), AT_FDCWD, linkPath.constData(),
                        RENAME_EXCHANGE);
    }
    QVERIFY(swapper > 0);
    int calls = 0;
    int refused = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    QElapsedTimer elapsed;
    elapsed.start();
    for (; calls < 20000 && elapsed.elapsed() < 20000; ++calls) {
        try {
            routines.SetAutoStartOnce("true", "Range Once", true);
        } catch (const RegistryError &) {
            ++refused;
        }
        mode = modeOf(secret, &owner);
        if ((mode & 07777) != 0600 || owner != 0)
            break;
    }
    ::kill(swapper, SIGKILL);
    int status = 0;
    ::waitpid(swapper, &status, 0);
    QVERIFY2((mode & 07777) == 0600 && owner == 0,
             qPrintable(QStringLiteral("after %1 calls root's file has mode %2")
                            .arg(calls + 1)
                            .arg(mode & 07777, 0, 8)));
    QCOMPARE(refused, calls);
    // Nothing of root's lies in the other account's folder.
    const QStringList names =
        QDir(home).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        owner = 0;
        modeOf(home + u'/' + name, &owner);
        QVERIFY2(owner != 0, qPrintable(name));
    }
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
