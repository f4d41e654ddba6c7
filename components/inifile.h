#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// A settings file in the INI layout that QSettings writes, read and changed line by line,
// because people edit these files by hand: comments ("#" or ";" first), blank lines and
// lines that hold no setting are kept byte for byte, and a write changes only the line of
// the value it writes, or adds one. Keys and values are escaped as QSettings escapes them,
// so files that QSettings wrote read here and the other way round.
//
// A key is a QSettings key: one without "/" is a value of the [General] section (or of the
// lines before the first section); "Group/name" is "name" in the section [Group].
class IniFile
{
public:
    enum class Kind {
        Missing, // no such key
        Text,    // a text value
        NotText, // a list, a byte array or another typed value
    };
    struct Value
    {
        Kind kind = Kind::Missing;
        QString text;
    };

    // A missing file loads as an empty one; false when the file is there and cannot be read.
    bool load(const QString &path);
    // Writes all lines to the file, replacing it as a whole once they are written.
    bool save(const QString &path) const;

    // The last line of a key counts when it is there more than once, as in QSettings.
    Value value(const QString &key) const;
    // False for a key that names nothing (empty, or only slashes).
    bool setValue(const QString &key, const QString &text);

    QByteArray content() const;

    static QByteArray escapedKey(const QString &key);
    static QString unescapedKey(QByteArrayView raw);
    static QByteArray escapedValue(const QString &text);
    static Value unescapedValue(QByteArrayView raw);

private:
    struct Line
    {
        QByteArray text; // without its line end
        QByteArray end;  // "\n", "\r\n", "\r" or empty for a last line without one
    };
    // What one line says, as far as the settings go.
    struct Entry
    {
        bool isEntry = false;
        bool isSection = false;
        QString key;        // the full key of an entry; the section of a section line
        qsizetype from = 0; // where the value starts in the line
        qsizetype to = 0;   // where it ends (before blanks and a comment)
    };
    Entry parse(qsizetype index, const QString &section) const;
    QByteArray lineEnd() const;

    QList<Line> m_lines;
};
