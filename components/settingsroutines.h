#pragma once

#include <QString>
#include <functional>

// Settings-store routines of the utility component, on Linux's conventions: a key is an
// INI file under the user's or the system's settings folder, an autostart value is an XDG
// autostart entry. Each routine opens its file, works and closes it again.
class SettingsRoutines
{
public:
    // Shows "Failed reading from registry" and the like; the component connects a modal
    // message box. Without a hook the text goes to the warning log.
    std::function<void(const QString &)> ShowMessage;
    // Empty: the INI locations Qt uses for the user's and the system's scope
    // (~/.config and /etc/xdg on Linux, or what QSettings::setPath set).
    QString UserSettingsRoot;
    QString SystemSettingsRoot;
    // Where programs started for every user at logon are listed.
    QString SystemAutostartDir = QStringLiteral("/etc/xdg/autostart");
    // Where pending run-once entries keep their marks (a folder every user may delete in).
    QString RunOnceFolder = QStringLiteral("/var/lib/orvanta/run-once");

    QString RegRead(const QString &Company, const QString &Programname, const QString &Value,
                    bool GlobalKey);
    void RegWrite(const QString &Company, const QString &Programname, const QString &Name,
                  const QString &Value, bool GlobalKey);
    void SetAutoStart(const QString &AppName, const QString &AppTitle, bool Register);
    void SetAutoStartOnce(const QString &AppName, const QString &AppTitle, bool Register);
    QString GetIEStartPage();
    bool SetIEStartPage(const QString &APage);

    // The INI file that stands for the key "software\Company\Programname" of a scope;
    // empty when the names would lead outside the settings folder.
    QString keyFile(const QString &Company, const QString &Programname, bool GlobalKey) const;
    QString startPageFile() const;
    QString autostartEntry(const QString &AppTitle) const;
    QString runOnceMark(const QString &AppTitle) const;

private:
    void report(const QString &message) const;
    void writeAutostart(const QString &AppName, const QString &AppTitle, bool Register, bool once);
    void removeSpentEntries() const;
};
