#include "components/inifile.h"

#include <QFile>
#include <QSaveFile>

namespace {

const QString kGeneral = QStringLiteral("General");

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArrayView trimmed(QByteArrayView text)
{
    qsizetype from = 0;
    qsizetype to = text.size();
    while (from < to && isBlank(text[from]))
        ++from;
    while (to > from && isBlank(text[to - 1]))
        --to;
    return text.sliced(from, to - from);
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// QSettings' normal form of a key: no empty parts between, before or after slashes.
QString normalisedKey(const QString &key)
{
    return key.split(u'/', Qt::SkipEmptyParts).join(u'/');
}

// The section a full key lives in, and its name inside that section.
std::pair<QString, QString> splitKey(const QString &key)
{
    const qsizetype slash = key.indexOf(u'/');
    if (slash < 0)
        return {QString(), key};
    return {key.left(slash), key.mid(slash + 1)};
}

// Scans a value from `from` on: the unescaped text, whether it is a list (an unquoted
// comma), and where the value ends: at the end of the line or before a comment (an
// unquoted ";"), trailing blanks left out.
struct Scan
{
    QStringList parts;
    bool isList = false;
    qsizetype end = 0;
};

Scan scanValue(QByteArrayView line, qsizetype from)
{
    static const char escapes[][2] = {{'a', '\a'}, {'b', '\b'},  {'f', '\f'}, {'n', '\n'},
                                      {'r', '\r'}, {'t', '\t'},  {'v', '\v'}, {'"', '"'},
                                      {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    Scan scan;
    QString current;
    bool inQuotes = false;
    bool quoted = false;
    qsizetype keep = 0; // characters of `current` that trailing-blank removal must keep
    qsizetype i = from;
    qsizetype lastMeaningful = from;
    const auto finishPart = [&] {
        if (!quoted) {
            qsizetype n = current.size();
            while (n > keep && (current.at(n - 1) == u' ' || current.at(n - 1) == u'\t'))
                --n;
            current.truncate(n);
        }
        scan.parts.append(current);
        current.clear();
        quoted = false;
        keep = 0;
    };
    const auto skipBlanks = [&] {
        while (i < line.size() && isBlank(line[i]))
            ++i;
    };
    skipBlanks();
    while (i < line.size()) {
        const char c = line[i];
        if (c == '\\') {
            ++i;
            if (i >= line.size())
                break;
            const char e = line[i++];
            bool known = false;
            for (const auto &pair : escapes) {
                if (e == pair[0]) {
                    current += QChar(uchar(pair[1]));
                    known = true;
                }
            }
            if (!known && (e == 'x' || (e >= '0' && e <= '7'))) {
                const int base = e == 'x' ? 16 : 8;
                uint code = e == 'x' ? 0 : uint(e - '0');
                while (i < line.size()) {
                    const int d = hexDigit(line[i]);
                    if (d < 0 || d >= base)
                        break;
                    code = code * base + uint(d);
                    ++i;
                }
                current += QChar(char16_t(code));
            } else if (!known) {
                // No escape QSettings writes: a hand-typed "C:\Range" keeps its backslash.
                current += u'\\';
                --i;
            }
            keep = current.size();
            lastMeaningful = i;
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            lastMeaningful = i;
            if (!inQuotes)
                skipBlanks();
        } else if (!inQuotes && c == ',') {
            finishPart();
            scan.isList = true;
            ++i;
            lastMeaningful = i;
            skipBlanks();
        } else if (!inQuotes && c == ';') {
            break;
        } else {
            qsizetype j = i + 1;
            while (j < line.size() && line[j] != '\\' && line[j] != '"' && line[j] != ',' &&
                   line[j] != ';')
                ++j;
            current += QString::fromUtf8(line.sliced(i, j - i));
            qsizetype end = j;
            while (end > i && isBlank(line[end - 1]))
                --end;
            if (end > i)
                lastMeaningful = end;
            i = j;
        }
    }
    finishPart();
    scan.end = lastMeaningful;
    return scan;
}

} // namespace

bool IniFile::load(const QString &path)
{
    m_lines.clear();
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray all = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return false;
    qsizetype start = 0;
    for (qsizetype i = 0; i < all.size(); ++i) {
        if (all[i] != '\n' && all[i] != '\r')
            continue;
        const qsizetype endLength = all[i] == '\r' && i + 1 < all.size() && all[i + 1] == '\n';
        m_lines.append({all.sliced(start, i - start), all.sliced(i, endLength + 1)});
        i += endLength;
        start = i + 1;
    }
    if (start < all.size())
        m_lines.append({all.sliced(start), QByteArray()});
    return true;
}

QByteArray IniFile::content() const
{
    QByteArray all;
    for (const Line &line : m_lines)
        all += line.text + line.end;
    return all;
}

bool IniFile::save(const QString &path) const
{
    QSaveFile file(path);
    // A file that may be written in a folder that may not (as QSettings allows too).
    file.setDirectWriteFallback(true);
    const QByteArray all = content();
    return file.open(QIODevice::WriteOnly) && file.write(all) == all.size() && file.commit();
}

// The line end of the file's own first line, so that added lines match the rest.
QByteArray IniFile::lineEnd() const
{
    for (const Line &line : m_lines) {
        if (!line.end.isEmpty())
            return line.end;
    }
    return QByteArrayLiteral("\n");
}

IniFile::Entry IniFile::parse(qsizetype index, const QString &section) const
{
    QByteArrayView text = m_lines.at(index).text;
    if (index == 0 && text.startsWith("\xEF\xBB\xBF"))
        text = text.sliced(3); // a byte order mark
    const QByteArrayView content = trimmed(text);
    Entry entry;
    if (content.isEmpty() || content[0] == ';' || content[0] == '#')
        return entry;
    if (content[0] == '[') {
        qsizetype close = content.indexOf(']');
        const QByteArrayView name =
            trimmed(content.sliced(1, (close < 0 ? content.size() : close) - 1));
        entry.isSection = true;
        if (QString::fromUtf8(name).compare(kGeneral, Qt::CaseInsensitive) == 0)
            entry.key = QString();
        else if (name.startsWith('%') &&
                 QString::fromUtf8(name.sliced(1)).compare(kGeneral, Qt::CaseInsensitive) == 0)
            entry.key = QString::fromUtf8(name.sliced(1));
        else
            entry.key = normalisedKey(unescapedKey(name));
        return entry;
    }
    const qsizetype equals = content.indexOf('=');
    if (equals < 0)
        return entry; // a line that is no setting: kept, never read
    const QString name = normalisedKey(unescapedKey(trimmed(content.first(equals))));
    entry.isEntry = true;
    entry.key = section.isEmpty() ? name : section + u'/' + name;
    const qsizetype offset = content.data() - m_lines.at(index).text.constData();
    const qsizetype valueStart = offset + equals + 1;
    entry.to = scanValue(m_lines.at(index).text, valueStart).end;
    entry.from = valueStart;
    while (entry.from < entry.to && isBlank(m_lines.at(index).text.at(entry.from)))
        ++entry.from;
    return entry;
}

IniFile::Value IniFile::value(const QString &key) const
{
    const QString wanted = normalisedKey(key);
    Value result;
    if (wanted.isEmpty())
        return result;
    QString section;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const Entry entry = parse(i, section);
        if (entry.isSection)
            section = entry.key;
        else if (entry.isEntry && entry.key == wanted)
            result = unescapedValue(QByteArrayView(m_lines.at(i).text).sliced(entry.from));
    }
    return result;
}

bool IniFile::setValue(const QString &key, const QString &text)
{
    const QString wanted = normalisedKey(key);
    if (wanted.isEmpty())
        return false;
    const auto [wantedSection, name] = splitKey(wanted);
    qsizetype lastOfKey = -1;
    qsizetype lastInSection = -1; // the last entry, or else the header, of the section
    QString section;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const Entry entry = parse(i, section);
        if (entry.isSection) {
            section = entry.key;
            if (section == wantedSection)
                lastInSection = i;
        } else if (entry.isEntry) {
            if (entry.key == wanted)
                lastOfKey = i;
            if (section == wantedSection)
                lastInSection = i;
        }
    }
    const QByteArray escaped = escapedValue(text);
    if (lastOfKey >= 0) {
        Line &line = m_lines[lastOfKey];
        const Entry entry = parse(lastOfKey, wantedSection);
        line.text = line.text.left(entry.from) + escaped + line.text.mid(entry.to);
        return true;
    }
    const QByteArray end = lineEnd();
    const QByteArray newEntry = escapedKey(name) + '=' + escaped;
    if (lastInSection >= 0) {
        if (m_lines[lastInSection].end.isEmpty())
            m_lines[lastInSection].end = end;
        m_lines.insert(lastInSection + 1, {newEntry, end});
        return true;
    }
    // A new section goes at the end, after a blank line, where it separates no comment
    // from what it describes.
    if (!m_lines.isEmpty()) {
        if (m_lines.last().end.isEmpty())
            m_lines.last().end = end;
        if (!trimmed(m_lines.last().text).isEmpty())
            m_lines.append({QByteArray(), end});
    }
    QByteArray header;
    if (wantedSection.isEmpty())
        header = kGeneral.toLatin1();
    else if (wantedSection.compare(kGeneral, Qt::CaseInsensitive) == 0)
        header = '%' + wantedSection.toLatin1();
    else
        header = escapedKey(wantedSection);
    m_lines.append({'[' + header + ']', end});
    m_lines.append({newEntry, end});
    return true;
}

// Letters, digits, "_", "-" and "." as they are; "/" as "\"; the rest as %XX or %UXXXX.
QByteArray IniFile::escapedKey(const QString &key)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    for (const QChar qc : key) {
        const char16_t c = qc.unicode();
        if (c == u'/') {
            out += '\\';
        } else if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                   (c >= u'0' && c <= u'9') || c == u'_' || c == u'-' || c == u'.') {
            out += char(c);
        } else if (c <= 0xFF) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hex[(c >> shift) & 15];
        }
    }
    return out;
}

QString IniFile::unescapedKey(QByteArrayView raw)
{
    QString out;
    qsizetype i = 0;
    while (i < raw.size()) {
        const char c = raw[i];
        if (c == '\\') {
            out += u'/';
            ++i;
            continue;
        }
        if (c == '%') {
            const bool wide = i + 1 < raw.size() && raw[i + 1] == 'U';
            const qsizetype first = i + (wide ? 2 : 1);
            const qsizetype digits = wide ? 4 : 2;
            uint code = 0;
            bool ok = first + digits <= raw.size();
            for (qsizetype k = first; ok && k < first + digits; ++k) {
                const int d = hexDigit(raw[k]);
                ok = d >= 0;
                code = code * 16 + uint(d);
            }
            if (ok) {
                out += QChar(char16_t(code));
                i = first + digits;
                continue;
            }
        }
        // Anything else is UTF-8 text as written.
        qsizetype j = i + 1;
        while (j < raw.size() && raw[j] != '\\' && raw[j] != '%')
            ++j;
        out += QString::fromUtf8(raw.sliced(i, j - i));
        i = j;
    }
    return out;
}

// As QSettings writes a text: C escapes for control characters, quotes around a text with
// ";", "," or "=" in it or with blanks at its ends, UTF-8 for the rest. A text that begins
// with "@" gets a second one, and a text with a NUL in it is written as @String(...), so
// that neither reads back as a typed value.
QByteArray IniFile::escapedValue(const QString &text)
{
    QString body = text;
    if (text.contains(QChar(u'\0')))
        body = QStringLiteral("@String(") + text + u')';
    else if (text.startsWith(u'@'))
        body = u'@' + text;
    QByteArray out;
    bool needsQuotes = false;
    bool escapeNextIfHex = false; // after \x or \0, a hex digit would join the escape
    for (qsizetype i = 0; i < body.size(); ++i) {
        const char16_t c = body.at(i).unicode();
        if (c == u';' || c == u',' || c == u'=')
            needsQuotes = true;
        if (escapeNextIfHex && c < 0x80 && hexDigit(char(c)) >= 0) {
            out += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        escapeNextIfHex = false;
        switch (c) {
        case u'\0':
            out += "\\0";
            escapeNextIfHex = true;
            break;
        case u'\a':
            out += "\\a";
            break;
        case u'\b':
            out += "\\b";
            break;
        case u'\f':
            out += "\\f";
            break;
        case u'\n':
            out += "\\n";
            break;
        case u'\r':
            out += "\\r";
            break;
        case u'\t':
            out += "\\t";
            break;
        case u'\v':
            out += "\\v";
            break;
        case u'"':
        case u'\\':
            out += '\\';
            out += char(c);
            break;
        default:
            if (c <= 0x1F ||
                (QChar::isSurrogate(c) && !(QChar::isHighSurrogate(c) && i + 1 < body.size() &&
                                            body.at(i + 1).isLowSurrogate()))) {
                // Control characters and halves of a character that UTF-8 cannot carry.
                out += "\\x" + QByteArray::number(c, 16);
                escapeNextIfHex = true;
            } else if (QChar::isHighSurrogate(c)) {
                out += body.mid(i, 2).toUtf8();
                ++i;
            } else {
                out += QString(QChar(c)).toUtf8();
            }
        }
    }
    if (needsQuotes || out.startsWith(' ') || out.endsWith(' '))
        out = '"' + out + '"';
    return out;
}

IniFile::Value IniFile::unescapedValue(QByteArrayView raw)
{
    const Scan scan = scanValue(raw, 0);
    if (scan.isList)
        return {Kind::NotText, QString()};
    const QString &s = scan.parts.first();
    if (s.startsWith(u'@')) {
        if (s.startsWith(QStringLiteral("@@")))
            return {Kind::Text, s.mid(1)};
        if (s.startsWith(QStringLiteral("@String(")) && s.endsWith(u')'))
            return {Kind::Text, s.sliced(8).chopped(1)};
        static const char *const typed[] = {"@ByteArray(", "@Variant(", "@DateTime(", "@Rect(",
                                            "@Size(",      "@Point(",   "@Invalid("};
        for (const char *prefix : typed) {
            if (s.startsWith(QLatin1StringView(prefix)) && s.endsWith(u')'))
                return {Kind::NotText, QString()};
        }
    }
    return {Kind::Text, s};
}
