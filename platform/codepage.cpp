#include "platform/codepage.h"

#include <array>

namespace platform {
namespace {

// Windows-1252 differs from Latin-1 only in 0x80..0x9F. The five bytes it leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 controls of the same value,
// as the system's own conversion does, so every byte survives a round trip.
constexpr std::array<char16_t, 32> highControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, // 98..9F
};

// The byte for c, or -1 when the code page lacks it.
int byteOf(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return c;
    for (std::size_t i = 0; i < highControls.size(); ++i) {
        if (highControls[i] == c)
            return int(0x80 + i);
    }
    return -1;
}

} // namespace

bool codePageCarries(QChar c)
{
    return byteOf(c.unicode()) >= 0;
}

QByteArray toCodePage(QStringView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (const QChar c : text) {
        const int b = byteOf(c.unicode());
        bytes.append(b < 0 ? codePageSubstitute : char(b));
    }
    return bytes;
}

QChar codePageChar(unsigned char byte)
{
    if (byte >= 0x80 && byte < 0xA0)
        return QChar(highControls[byte - 0x80]);
    return QChar(byte);
}

QString fromCodePage(QByteArrayView bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (const char b : bytes)
        text.append(codePageChar(static_cast<unsigned char>(b)));
    return text;
}

} // namespace platform
