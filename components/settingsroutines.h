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
    // Run as root, SetAutoStart and SetAutoStartOnce write entries for every user; run as
    // anyone else, entries of that user alone, in the user's own folders.
    bool SystemWide = isRoot();
    // Where programs started for every user at logon are listed (root's; never created).
    QString SystemAutostartDir = QStringLiteral("/etc/xdg/autostart");
    // Root's marks of pending run-once entries: a folder of root's alone, outside any
    // folder that a less privileged account owns (/var/lib/orvanta is the kiosk account's).
    QString RunOnceFolder = QStringLiteral("/var/lib/orvanta-run-once");
    // A user's own entries and marks; empty: $XDG_CONFIG_HOME/autostart (~/.config/autostart)
    // and $XDG_STATE_HOME/orvanta/run-once (~/.local/state/orvanta/run-once).
    QString UserAutostartDir;
    QString UserRunOnceFolder;

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
    // The entry and the run-once mark of a title, in the folders that SystemWide chooses.
    QString autostartEntry(const QString &AppTitle) const;
    QString runOnceMark(const QString &AppTitle) const;
    QString autostartFolder() const;
    QString runOnceFolder() const;

private:
    static bool isRoot();
    void report(const QString &message) const;
    void writeAutostart(const QString &AppName, const QString &AppTitle, bool Register, bool once);
};
