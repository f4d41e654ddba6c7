#include "components/settingsroutines.h"

#include "components/inifile.h"
#include "components/routinetypes.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kReadFailed = QStringLiteral("Failed reading from registry");
const QString kWriteFailed = QStringLiteral("Failed writing to registry");
const QString kStartPage = QStringLiteral("Start Page");
// The key that marks the autostart entries this component wrote, and its two values.
const QString kMarkKey = QStringLiteral("X-Orvanta");
const QString kMarkAutoStart = QStringLiteral("AutoStart");
const QString kMarkRunOnce = QStringLiteral("RunOnce");

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
// when the file or the key is missing.
QString desktopEntryValue(const QString &path, const QString &key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    bool inGroup = false;
    const QString prefix = key + u'=';
    for (const QString &line : QString::fromUtf8(file.readAll()).split(u'\n')) {
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

// Only entries that this component wrote are changed or deleted: the others belong to
// packages or to the administrator.
bool isOurEntry(const QString &path)
{
    return !desktopEntryValue(path, kMarkKey).isEmpty();
}

// A folder that every user may delete files in: the marks of pending run-once entries,
// which the first session to log in deletes to claim the run. It must be a real folder of
// our own, not a link someone planted.
bool prepareRunOnceFolder(const QString &folder)
{
    if (!QDir().mkpath(folder))
        return false;
    const QByteArray path = QFile::encodeName(folder);
    struct stat st;
    return ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           ::chmod(path.constData(), 0777) == 0;
}

// The mark is an executable file because the entry names it as its TryExec: a session
// skips the entry once the mark is gone. Nothing ever runs it. Created afresh, never
// through a link that someone put in its place.
bool writeRunOnceMark(const QString &mark, const QString &entry)
{
    const QByteArray path = QFile::encodeName(mark);
    if (::unlink(path.constData()) != 0 && errno != ENOENT)
        return false;
    const int fd =
        ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755);
    if (fd < 0)
        return false;
    const QByteArray text = "#!/bin/sh\n# Pending run-once autostart entry " +
                            QFile::encodeName(entry) +
                            "\n# The first session that runs the entry removes this file.\n"
                            "exit 0\n";
    const bool written = ::write(fd, text.constData(), size_t(text.size())) == text.size() &&
                         ::fchmod(fd, 0755) == 0;
    return ::close(fd) == 0 && written;
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

// The entry's file name is the title; a title that is no plain file name has no entry.
QString SettingsRoutines::autostartEntry(const QString &AppTitle) const
{
    if (AppTitle.isEmpty() || AppTitle.contains(u'/') || AppTitle == u"." || AppTitle == u"..")
        return QString();
    return SystemAutostartDir + u'/' + AppTitle + QStringLiteral(".desktop");
}

// Programs for every user at logon: an entry in the system's XDG autostart folder whose
// command line AppName runs through the shell. The folder is never created.
void SettingsRoutines::SetAutoStart(const QString &AppName, const QString &AppTitle, bool Register)
{
    writeAutostart(AppName, AppTitle, Register, false);
}

// As SetAutoStart, for one run in the next session that starts, whoever logs in: the
// entry's command first deletes the entry's mark in RunOnceFolder, and only the session
// that managed to delete it runs AppName. The entry names the mark as its TryExec, so
// sessions skip it from then on; the command also deletes the entry itself where the user
// may, and the component deletes spent entries whenever it writes autostart entries.
void SettingsRoutines::SetAutoStartOnce(const QString &AppName, const QString &AppTitle,
                                        bool Register)
{
    writeAutostart(AppName, AppTitle, Register, true);
}

QString SettingsRoutines::runOnceMark(const QString &AppTitle) const
{
    return RunOnceFolder + u'/' + AppTitle + QStringLiteral(".pending");
}

// Run-once entries whose mark is gone have run; a session that could not delete them
// leaves them to whoever can.
void SettingsRoutines::removeSpentEntries() const
{
    const QFileInfoList entries =
        QDir(SystemAutostartDir).entryInfoList({QStringLiteral("*.desktop")}, QDir::Files);
    for (const QFileInfo &entry : entries) {
        if (desktopEntryValue(entry.filePath(), kMarkKey) != kMarkRunOnce)
            continue;
        const QString mark = desktopEntryValue(entry.filePath(), QStringLiteral("TryExec"));
        if (!mark.isEmpty() && !QFileInfo::exists(mark))
            QFile::remove(entry.filePath());
    }
}

void SettingsRoutines::writeAutostart(const QString &AppName, const QString &AppTitle,
                                      bool Register, bool once)
{
    if (!QFileInfo(SystemAutostartDir).isDir())
        return;
    removeSpentEntries();
    const QString entry = autostartEntry(AppTitle);
    const bool foreign = !entry.isEmpty() && QFileInfo::exists(entry) && !isOurEntry(entry);
    if (!Register) {
        if (!entry.isEmpty() && !foreign) {
            QFile::remove(entry);
            QFile::remove(runOnceMark(AppTitle));
        }
        return;
    }
    const RegistryError failed(QStringLiteral("Failed to set data for '%1'").arg(AppTitle));
    if (entry.isEmpty() || foreign)
        throw failed;
    const QString mark = runOnceMark(AppTitle);
    QString exec = QStringLiteral("/bin/sh -c ");
    QString extra;
    if (once) {
        if (!prepareRunOnceFolder(RunOnceFolder) || !writeRunOnceMark(mark, entry))
            throw failed;
        exec += execArgument(QStringLiteral("unlink \"$1\" 2>/dev/null || exit 0\n"
                                            "rm -f -- \"$0\" 2>/dev/null\n") +
                             AppName) +
                u' ' + execArgument(entry) + u' ' + execArgument(mark);
        extra = QStringLiteral("TryExec=") + entryValue(mark) + u'\n';
    } else {
        QFile::remove(mark);
        exec += execArgument(AppName);
    }
    const QString content = QStringLiteral("[Desktop Entry]\nType=Application\nName=") +
                            entryValue(AppTitle) + u'\n' + extra + QStringLiteral("Exec=") +
                            entryValue(exec) + u'\n' + kMarkKey + u'=' +
                            (once ? kMarkRunOnce : kMarkAutoStart) + u'\n';
    QSaveFile file(entry);
    if (!file.open(QIODevice::WriteOnly) || file.write(content.toUtf8()) < 0 || !file.commit()) {
        if (once)
            QFile::remove(mark);
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
