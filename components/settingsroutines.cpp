#include "components/settingsroutines.h"

#include "components/routinetypes.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>

namespace {

const QString kReadFailed = QStringLiteral("Failed reading from registry");
const QString kWriteFailed = QStringLiteral("Failed writing to registry");
const QString kStartPage = QStringLiteral("Start Page");

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
// cannot be read as text is the failure that is shown.
QString SettingsRoutines::RegRead(const QString &Company, const QString &Programname,
                                  const QString &Value, bool GlobalKey)
{
    const QString path = keyFile(Company, Programname, GlobalKey);
    if (!openKey(path))
        return QString();
    const QSettings store(path, QSettings::IniFormat);
    const QString name = valueName(Value);
    if (store.status() == QSettings::NoError && !store.contains(name))
        return QString();
    const QVariant value = store.value(name);
    if (store.status() != QSettings::NoError || value.typeId() != QMetaType::QString) {
        report(kReadFailed);
        return QString();
    }
    return value.toString();
}

void SettingsRoutines::RegWrite(const QString &Company, const QString &Programname,
                                const QString &Name, const QString &Value, bool GlobalKey)
{
    const QString path = keyFile(Company, Programname, GlobalKey);
    if (!openKey(path)) {
        report(kWriteFailed);
        return;
    }
    QSettings store(path, QSettings::IniFormat);
    store.setValue(valueName(Name), Value);
    store.sync();
    if (store.status() != QSettings::NoError)
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

// As SetAutoStart, but the entry first deletes its own file and runs AppName only when
// that worked: it runs once, in the first session allowed to remove it (as RunOnce of the
// machine runs at an administrator's logon).
void SettingsRoutines::SetAutoStartOnce(const QString &AppName, const QString &AppTitle,
                                        bool Register)
{
    writeAutostart(AppName, AppTitle, Register, true);
}

void SettingsRoutines::writeAutostart(const QString &AppName, const QString &AppTitle,
                                      bool Register, bool once)
{
    if (!QFileInfo(SystemAutostartDir).isDir())
        return;
    const QString entry = autostartEntry(AppTitle);
    if (!Register) {
        if (!entry.isEmpty())
            QFile::remove(entry);
        return;
    }
    QString exec = QStringLiteral("/bin/sh -c ");
    if (once)
        exec += execArgument(QStringLiteral("rm -f -- \"$0\" || exit 1\n") + AppName) + u' ' +
                execArgument(entry);
    else
        exec += execArgument(AppName);
    const QString content = QStringLiteral("[Desktop Entry]\nType=Application\nName=") +
                            entryValue(AppTitle) + QStringLiteral("\nExec=") + entryValue(exec) +
                            u'\n';
    QSaveFile file(entry);
    if (entry.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(content.toUtf8()) < 0 ||
        !file.commit())
        throw RegistryError(QStringLiteral("Failed to set data for '%1'").arg(AppTitle));
}

// The browser start page is a value of our own, in the user's Orvanta/Browser.ini.
QString SettingsRoutines::startPageFile() const
{
    return scopeRoot(UserSettingsRoot, QSettings::UserScope) +
           QStringLiteral("/Orvanta/Browser.ini");
}

QString SettingsRoutines::GetIEStartPage()
{
    const QString path = startPageFile();
    if (!QFileInfo(path).isFile())
        return QString();
    const QSettings store(path, QSettings::IniFormat);
    const QVariant value = store.value(kStartPage);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

bool SettingsRoutines::SetIEStartPage(const QString &APage)
{
    QSettings::Status status;
    {
        QSettings store(startPageFile(), QSettings::IniFormat);
        store.setValue(kStartPage, APage);
        store.sync();
        status = store.status();
    }
    if (status != QSettings::NoError)
        throw RegistryError(QStringLiteral("Failed to set data for '%1'").arg(kStartPage));
    return true;
}
