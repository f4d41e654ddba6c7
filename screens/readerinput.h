#pragma once

#include <QString>

// Small pieces the customer screens share in handling the reader's input.
namespace readerinput {

// The reader's characters without the blanks and control characters around them.
inline QString trimmed(const QString &text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first).unicode() <= 32)
        ++first;
    while (last > first && text.at(last - 1).unicode() <= 32)
        --last;
    return text.mid(first, last - first);
}

// Holds a busy flag for the length of a scope, also when an error leaves it.
class ScopedFlag
{
public:
    explicit ScopedFlag(bool &flag) : m_flag(flag) { m_flag = true; }
    ~ScopedFlag() { m_flag = false; }
    ScopedFlag(const ScopedFlag &) = delete;
    ScopedFlag &operator=(const ScopedFlag &) = delete;

private:
    bool &m_flag;
};

} // namespace readerinput
