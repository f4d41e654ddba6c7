#pragma once

#include "components/routinetypes.h"

#include <QString>

// File routines of the utility component: checks, checksums, copies and sizes.
// They raise FileError where the caller must hear of a failure and report the rest
// through their results.
class FileRoutines
{
public:
    static QString GetTempFile(const QString &Extension);
    static TDateTime GetFileLastAccessTime(const QString &sFileName);
    static bool FileIsAscii(const QString &NomeFile);
    static bool Are2FilesEqual(const QString &fileName1, const QString &fileName2);
    static quint32 GetCheckSum(const QString &FileName);
    static quint32 CalcCRC32(const QString &FileName);
    static void libFileCopy(const QString &sfile, const QString &tfile);
    // 64-bit so that a tree of more than 2 GiB still comes out as its true size.
    static qint64 GetDirSize(const QString &dir, bool subdir);
};
