#include "components/textroutines.h"

namespace {

// A count below 1 leaves the current character at its starting blank, so such a call
// yields blanks; callers have relied on that as a cheap way to mask a text.
QString shiftUnits(const QString &text, qint32 count, int direction)
{
    QString result;
    result.reserve(text.size());
    char16_t current = u' ';
    for (const QChar unit : text) {
        if (count >= 1)
            // Unsigned arithmetic: wraps modulo 2^32 and so modulo 65536, for any count.
            current = char16_t(quint32(unit.unicode()) + quint32(direction) * quint32(count));
        result.append(QChar(current));
    }
    return result;
}

} // namespace

QString TextRoutines::CheckBS(const QString &tempstr)
{
    if (tempstr.isEmpty() || tempstr.endsWith(u'\\'))
        return tempstr;
    return tempstr + u'\\';
}

// A name whose only dot is its last character keeps the text before that dot, like every
// other name, rather than coming out empty.
QString TextRoutines::RemExt(const QString &strang)
{
    const qsizetype dot = strang.indexOf(u'.');
    return dot < 0 ? strang : strang.left(dot);
}

QString TextRoutines::EncryptMsg(const QString &Msg1, qint32 EncryptNo)
{
    return shiftUnits(Msg1, EncryptNo, +1);
}

QString TextRoutines::DecryptMsg(const QString &Msg1, qint32 DecryptNo)
{
    return shiftUnits(Msg1, DecryptNo, -1);
}

bool TextRoutines::IsNumVal(const QString &StrVal)
{
    int points = 0;
    for (qsizetype i = 0; i < StrVal.size(); ++i) {
        const char16_t unit = StrVal.at(i).unicode();
        if (unit >= u'0' && unit <= u'9')
            continue;
        if (unit == u'.')
            ++points;
        else if (!(unit == u'-' && i == 0))
            return false;
    }
    return points <= 1;
}
