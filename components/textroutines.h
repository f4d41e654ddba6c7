#pragma once

#include <QString>

// Text routines of the utility component. They work on UTF-16 code units, as the
// component always has: a character outside the basic plane counts as two units.
class TextRoutines
{
public:
    static QString CheckBS(const QString &tempstr);
    static QString RemExt(const QString &strang);
    static bool IsNumVal(const QString &StrVal);
    static QString EncryptMsg(const QString &Msg1, qint32 EncryptNo);
    static QString DecryptMsg(const QString &Msg1, qint32 DecryptNo);
};
