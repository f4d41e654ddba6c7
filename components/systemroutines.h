#pragma once

#include <QChar>
#include <QHash>
#include <QString>

// Process, drive and system-information routines of the utility component. Linux has no
// drive letters: DriveRoots says which folder a letter stands for (C is the root file
// system), and MapNetWorkDrive adds letters for shares that are mounted.
class SystemRoutines
{
public:
    // The program that opens documents and URLs in their default application.
    QString DocumentOpener = QStringLiteral("xdg-open");
    // ExecAndWait waits on the process's pidfd; off, a timer polls instead, as it does on
    // kernels that have no pidfd.
    bool WaitWithPidfd = true;
    QHash<QChar, QString> DriveRoots{{QChar(u'C'), QStringLiteral("/")}};

    bool ExecAndWait(const QString &ExecuteFile, const QString &ParamString);
    bool DiskInDrive(QChar Drive);
    QString GetVolumeInfo(QChar c1);
    bool MapNetWorkDrive(const QString &MapChar, const QString &MapPath, const char16_t *PassWord,
                         const char16_t *UserName);
    static QString WinDir(qint32 optWin);
    static QString GetProgVersion();
    static QString GetCurrUser();
    static QString WinVer();
    static QString GetScreenRes();
    static QString GetDay();
};
