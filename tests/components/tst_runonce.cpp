#include "components/settingsroutines.h"

#include "components/routinetypes.h"

#include "autostarthelpers.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/wait.h>

using namespace autostarttest;

// Run-once autostart entries: each account's one run, the folders of each scope, and what
// another local account can no longer do to root's state.
class RunOnceTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> tmp;
    SettingsRoutines routines;

private slots:
    void init();
    void autostartOnceEntryRemovesItself();
    void autostartOnceRunsOnceForEachAccount();
    void autostartOfAUserStaysInTheirFolders();
    void runOnceStateBelongsToRoot();
    void runOnceFolderThroughLinks_data();
    void runOnceFolderThroughLinks();
    void otherAccountCannotChangeRootsRunOnceState_data();
    void otherAccountCannotChangeRootsRunOnceState();
    void folderSwapByItsParentsOwnerChangesNothingOfRoots();
};

void RunOnceTest::init()
{
    tmp = std::make_unique<QTemporaryDir>();
    routines = SettingsRoutines();
    // The folders for every user, in this test's own folder whoever runs it.
    routines.SystemWide = true;
    routines.SystemAutostartDir = tmp->filePath(QStringLiteral("autostart"));
    routines.RunOnceFolder = tmp->filePath(QStringLiteral("run-once"));
    QDir().mkpath(routines.SystemAutostartDir);
}

// A user's own entry: the first session of that user runs it and deletes it and its mark.
void RunOnceTest::autostartOnceEntryRemovesItself()
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
void RunOnceTest::autostartOnceRunsOnceForEachAccount()
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
void RunOnceTest::autostartOfAUserStaysInTheirFolders()
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
void RunOnceTest::runOnceStateBelongsToRoot()
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

void RunOnceTest::runOnceFolderThroughLinks_data()
{
    QTest::addColumn<bool>("othersLink");
    QTest::addColumn<bool>("followed");
    QTest::newRow("a link of root's to a folder of root's is followed") << false << true;
    QTest::newRow("a link that another account owns is not") << true << false;
}

// A link on the way to the run-once folder leads on only when it is root's (or the
// caller's): in a folder that no one else may write in, no one else could have put it
// there. A link of another account's is refused, and nothing is written where it leads.
void RunOnceTest::runOnceFolderThroughLinks()
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
void RunOnceTest::otherAccountCannotChangeRootsRunOnceState_data()
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

void RunOnceTest::otherAccountCannotChangeRootsRunOnceState()
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
void RunOnceTest::folderSwapByItsParentsOwnerChangesNothingOfRoots()
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

QTEST_GUILESS_MAIN(RunOnceTest)
#include "tst_runonce.moc"
