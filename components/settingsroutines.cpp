#include "components/settingsroutines.h"

#include "components/inifile.h"
#include "components/ownedfolder.h"
#include "components/routinetypes.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>

#include <optional>
#include <unistd.h>

namespace {

const QString kReadFailed = QStringLiteral("Failed reading from registry");
const QString kWriteFailed = QStringLiteral("Failed writing to registry");
const QString kStartPage = QStringLiteral("Start Page");
// The key that marks the autostart entries this component wrote, and its two values.
const QString kMarkKey = QStringLiteral("X-Orvanta");
const QString kMarkAutoStart = QStringLiteral("AutoStart");
const QString kMarkRunOnce = QStringLiteral("RunOnce");
// An autostart entry is a few lines; a file much larger is none of ours.
constexpr qint64 kEntryLimit = 1 << 20;

// A settings key cannot be empty; the unnamed value of a key gets a name of its own.
QString valueName(const QString &name)
{
    return name.isEmpty() ? QStringLiteral("(Default)") : name;
}

QString scopeRoot(const QString &chosen, QSettings::Scope scope)
{
    if (!chosen.isEmpty())
        return chosen;
    const QSettings probe(QSettings::IniFormat, scope, QStringLiteral("o"), QStringLiteral("a"));
    return QFileInfo(QFileInfo(probe.fileName()).absolutePath()).absolutePath();
}

// Opening with the right to create: a missing key file is created empty, with its folders.
bool openKey(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    if (info.exists())
        return info.isFile() && info.isReadable();
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append);
}

// One argument of a desktop entry's Exec line: quoted, with the characters that the
// quoting reserves escaped and the field-code mark doubled.
QString execArgument(const QString &arg)
{
    QString out(u'"');
    for (const QChar c : arg) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            out += u'\\';
        else if (c == u'%')
            out += u'%';
        out += c;
    }
    return out + u'"';
}

// The escapes of a desktop entry string value.
QString entryValue(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'\\':
            out += QStringLiteral("\\\\");
            break;
        case u'\n':
            out += QStringLiteral("\\n");
            break;
        case u'\t':
            out += QStringLiteral("\\t");
            break;
        case u'\r':
            out += QStringLiteral("\\r");
            break;
        default:
            out += c;
        }
    }
    if (out.startsWith(u' '))
        out.replace(0, 1, QStringLiteral("\\s"));
    return out;
}

// A value of the [Desktop Entry] group of a desktop entry file, its escapes undone; empty
// when the key is missing.
QString desktopEntryValue(const QByteArray &content, const QString &key)
{
    bool inGroup = false;
    const QString prefix = key + u'=';
    for (const QString &line : QString::fromUtf8(content).split(u'\n')) {
        const QString text = line.endsWith(u'\r') ? line.chopped(1) : line;
        if (text.startsWith(u'[')) {
            inGroup = text == QStringLiteral("[Desktop Entry]");
            continue;
        }
        if (!inGroup || !text.startsWith(prefix))
            continue;
        QString value;
        for (qsizetype i = prefix.size(); i < text.size(); ++i) {
            if (text.at(i) != u'\\' || i + 1 == text.size()) {
                value += text.at(i);
                continue;
            }
            const QChar next = text.at(++i);
            value += next == u's'   ? QChar(u' ')
                     : next == u'n' ? QChar(u'\n')
                     : next == u't' ? QChar(u'\t')
                     : next == u'r' ? QChar(u'\r')
                                    : next;
        }
        return value;
    }
    return QString();
}

// The file name of a title's entry; empty for a title that is no plain file name.
QString entryName(const QString &AppTitle)
{
    if (AppTitle.isEmpty() || AppTitle.contains(u'/') || AppTitle.contains(QChar(0)) ||
        AppTitle == u"." || AppTitle == u"..")
        return QString();
    return AppTitle + QStringLiteral(".desktop");
}

QString markName(const QString &AppTitle)
{
    return AppTitle + QStringLiteral(".pending");
}

// An XDG base folder: the variable when it holds an absolute path, else the fallback
// under the home folder, as the base directory rules say.
QString xdgFolder(const char *variable, const QString &fallback)
{
    const QString set = qEnvironmentVariable(variable);
    return set.startsWith(u'/') ? set : QDir::homePath() + u'/' + fallback;
}

// Each account claims its one run in a folder of its own ($XDG_STATE_HOME/orvanta/run-once,
// worked out by the session that runs the entry): the first session of that account to
// create <id>.done (noclobber: O_EXCL) runs the command, later ones find it there and end.
// No account can claim, cancel or repeat another's run. A user's own entry also deletes
// itself and its mark. Arguments: $0 the entry, $1 the mark, $2 the registration's id.
QString claimScript(bool systemWide)
{
    QString script = QStringLiteral(
        "s=${XDG_STATE_HOME:-}\n"
        "case $s in /*) ;; *) s=${HOME:?}/.local/state ;; esac\n"
        "s=$s/orvanta/run-once\n"
        "mkdir -p -- \"$s\" 2>/dev/null && (set -C && : >\"$s/$2.done\") 2>/dev/null || exit 0\n");
    if (!systemWide)
        script += QStringLiteral("rm -f -- \"$0\" \"$1\" 2>/dev/null\n");
    return script;
}

// A fresh id for each registration, so that registering a title again asks every account
// for one run more.
QString registrationId()
{
    QRandomGenerator *random = QRandomGenerator::system();
    return QStringLiteral("%1%2")
        .arg(random->generate64(), 16, 16, QChar(u'0'))
        .arg(random->generate64(), 16, 16, QChar(u'0'));
}

// The mark is an executable file because the entry names it as its TryExec: sessions skip
// the entry once the mark is gone. Nothing ever runs it.
QByteArray markText(const QString &entry, const QString &id)
{
    return "#!/bin/sh\n# Pending run-once autostart entry " + QFile::encodeName(entry) +
           "\n# Registration " + id.toLatin1() +
           ": each account runs the entry once, at its next logon.\nexit 0\n";
}

// Run-once entries whose mark is not in our marks folder: deleted by hand, or written by
// an older version that kept its marks in a folder that any account could change (so that
// anyone could cancel or repeat the run). When the marks folder cannot be checked, nothing
// is deleted.
void removeSpentEntries(const OwnedFolder &autostart, const QString &marksPath)
{
    const OwnedFolder marks = OwnedFolder::open(marksPath);
    if (!marks.isOpen() && marks.status() != OwnedFolder::Status::Missing)
        return;
    const QString folder = QDir::cleanPath(marksPath);
    for (const QString &file : autostart.files(QStringLiteral(".desktop"))) {
        const std::optional<QByteArray> content = autostart.read(file, kEntryLimit);
        if (!content || desktopEntryValue(*content, kMarkKey) != kMarkRunOnce)
            continue;
        const QFileInfo mark(desktopEntryValue(*content, QStringLiteral("TryExec")));
        if (QDir::cleanPath(mark.path()) != folder || !marks.exists(mark.fileName()))
            autostart.remove(file);
    }
}

} // namespace

void SettingsRoutines::report(const QString &message) const
{
    if (ShowMessage)
        ShowMessage(message);
    else
        qWarning().noquote() << message;
}

// The key "software\Company\Programname" is the file Company/Programname.ini under the
// scope's settings folder; backslashes in the names nest folders as they nest keys.
QString SettingsRoutines::keyFile(const QString &Company, const QString &Programname,
                                  bool GlobalKey) const
{
    static const QRegularExpression separators(QStringLiteral("[\\\\/]"));
    const QStringList parts = (Company + u'\\' + Programname).split(separators, Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return QString();
    for (const QString &part : parts) {
        if (part == u"." || part == u"..")
            return QString();
    }
    const QString root = GlobalKey ? scopeRoot(SystemSettingsRoot, QSettings::SystemScope)
                                   : scopeRoot(UserSettingsRoot, QSettings::UserScope);
    return root + u'/' + parts.join(u'/') + QStringLiteral(".ini");
}

// A key that cannot be opened reads as empty without a message; a value that is there but
// is no text (a list, a byte array) is the failure that is shown. Comments and lines that
// hold no setting are passed over.
QString SettingsRoutines::RegRead(const QString &Company, const QString &Programname,
                                  const QString &Value, bool GlobalKey)
{
    const QString path = keyFile(Company, Programname, GlobalKey);
    if (!openKey(path))
        return QString();
    IniFile store;
    if (!store.load(path)) {
        report(kReadFailed);
        return QString();
    }
    const IniFile::Value value = store.value(valueName(Value));
    if (value.kind == IniFile::Kind::NotText)
        report(kReadFailed);
    return value.kind == IniFile::Kind::Text ? value.text : QString();
}

// Changes the value's own line (or adds one) and keeps every other line as it was.
void SettingsRoutines::RegWrite(const QString &Company, const QString &Programname,
                                const QString &Name, const QString &Value, bool GlobalKey)
{
    const QString path = keyFile(Company, Programname, GlobalKey);
    IniFile store;
    if (!openKey(path) || !store.load(path) || !store.setValue(valueName(Name), Value) ||
        !store.save(path))
        report(kWriteFailed);
}

bool SettingsRoutines::isRoot()
{
    return ::geteuid() == 0;
}

QString SettingsRoutines::autostartFolder() const
{
    if (SystemWide)
        return SystemAutostartDir;
    return UserAutostartDir.isEmpty() ? xdgFolder("XDG_CONFIG_HOME", QStringLiteral(".config")) +
                                            QStringLiteral("/autostart")
                                      : UserAutostartDir;
}

QString SettingsRoutines::runOnceFolder() const
{
    if (SystemWide)
        return RunOnceFolder;
    return UserRunOnceFolder.isEmpty()
               ? xdgFolder("XDG_STATE_HOME", QStringLiteral(".local/state")) +
                     QStringLiteral("/orvanta/run-once")
               : UserRunOnceFolder;
}

// The entry's file name is the title; a title that is no plain file name has no entry.
QString SettingsRoutines::autostartEntry(const QString &AppTitle) const
{
    const QString name = entryName(AppTitle);
    return name.isEmpty() ? QString() : autostartFolder() + u'/' + name;
}

QString SettingsRoutines::runOnceMark(const QString &AppTitle) const
{
    return runOnceFolder() + u'/' + markName(AppTitle);
}

// Programs at logon: an entry in the autostart folder whose command line AppName runs
// through the shell. As root, for every user: the system's folder, which is never
// created; otherwise the user's own, created when missing.
void SettingsRoutines::SetAutoStart(const QString &AppName, const QString &AppTitle, bool Register)
{
    writeAutostart(AppName, AppTitle, Register, false);
}

// As SetAutoStart, for one run at the next logon: the entry names a mark as its TryExec
// (sessions skip it once the mark is gone) and carries a fresh id. Each account that logs
// in runs it once, claimed in its own state folder (see claimScript), so no account can
// cancel, repeat or block another's run. Root's marks lie in RunOnceFolder, a folder of
// root's alone; a user's entry deletes itself and its mark when it has run.
void SettingsRoutines::SetAutoStartOnce(const QString &AppName, const QString &AppTitle,
                                        bool Register)
{
    writeAutostart(AppName, AppTitle, Register, true);
}

// Every step on the folders works on the folder checked when it was opened (OwnedFolder):
// nothing is changed by name after a check, so a link swapped in meanwhile leads nowhere.
void SettingsRoutines::writeAutostart(const QString &AppName, const QString &AppTitle,
                                      bool Register, bool once)
{
    const mode_t folderMode = SystemWide ? 0755 : 0700;
    // The system's autostart folder belongs to the distribution: never made, never changed.
    const OwnedFolder autostart =
        OwnedFolder::open(autostartFolder(), OwnedFolder::Options{!SystemWide, folderMode, false});
    if (!autostart.isOpen())
        return;
    const QString marksPath = runOnceFolder();
    removeSpentEntries(autostart, marksPath);
    const QString name = entryName(AppTitle);
    const QString mark = runOnceMark(AppTitle);
    // Only entries that this component wrote are changed or deleted: the others (links
    // included) belong to packages or to the administrator.
    bool foreign = false;
    if (!name.isEmpty() && autostart.exists(name)) {
        const std::optional<QByteArray> content = autostart.read(name, kEntryLimit);
        foreign = !content || desktopEntryValue(*content, kMarkKey).isEmpty();
    }
    if (!Register) {
        if (!name.isEmpty() && !foreign) {
            autostart.remove(name);
            OwnedFolder::open(marksPath).remove(markName(AppTitle));
        }
        return;
    }
    const RegistryError failed(QStringLiteral("Failed to set data for '%1'").arg(AppTitle));
    if (name.isEmpty() || foreign)
        throw failed;
    const QString entry = autostartFolder() + u'/' + name;
    const OwnedFolder marks = OwnedFolder::open(
        marksPath, once ? OwnedFolder::Options{true, folderMode, true} : OwnedFolder::Options{});
    QString exec = QStringLiteral("/bin/sh -c ");
    QString extra;
    if (once) {
        const QString id = registrationId();
        if (!marks.isOpen() || !marks.write(markName(AppTitle), markText(entry, id), folderMode))
            throw failed;
        exec += execArgument(claimScript(SystemWide) + AppName) + u' ' + execArgument(entry) +
                u' ' + execArgument(mark) + u' ' + execArgument(id);
        extra = QStringLiteral("TryExec=") + entryValue(mark) + u'\n';
    } else {
        marks.remove(markName(AppTitle));
        exec += execArgument(AppName);
    }
    const QString content = QStringLiteral("[Desktop Entry]\nType=Application\nName=") +
                            entryValue(AppTitle) + u'\n' + extra + QStringLiteral("Exec=") +
                            entryValue(exec) + u'\n' + kMarkKey + u'=' +
                            (once ? kMarkRunOnce : kMarkAutoStart) + u'\n';
    if (!autostart.write(name, content.toUtf8(), 0644)) {
        if (once)
            marks.remove(markName(AppTitle));
        throw failed;
    }
}

// The browser start page is a value of our own, in the user's Orvanta/Browser.ini.
QString SettingsRoutines::startPageFile() const
{
    return scopeRoot(UserSettingsRoot, QSettings::UserScope) +
           QStringLiteral("/Orvanta/Browser.ini");
}

QString SettingsRoutines::GetIEStartPage()
{
    IniFile store;
    if (!QFileInfo(startPageFile()).isFile() || !store.load(startPageFile()))
        return QString();
    return store.value(kStartPage).text;
}

bool SettingsRoutines::SetIEStartPage(const QString &APage)
{
    const QString path = startPageFile();
    IniFile store;
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !store.load(path) ||
        !store.setValue(kStartPage, APage) || !store.save(path))
        throw RegistryError(QStringLiteral("Failed to set data for '%1'").arg(kStartPage));
    return true;
}
