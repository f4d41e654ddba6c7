#pragma once

#include <QString>
#include <stdexcept>

// The kiosk reports failures that leave a handler as exceptions: the application object
// catches them at the event dispatch and shows their text (see shell/application.h).
class KioskError : public std::runtime_error
{
public:
    explicit KioskError(const QString &message)
        : std::runtime_error(message.toStdString()), m_message(message)
    {
    }
    const QString &message() const noexcept { return m_message; }

private:
    QString m_message;
};

// A text that should have been a number, or an argument of the wrong form.
class ConversionError : public KioskError
{
public:
    using KioskError::KioskError;
};

// An index outside a list (for example the first item of an empty reply).
class IndexError : public KioskError
{
public:
    using KioskError::KioskError;
};

// A file that could not be opened, read or written.
class FileError : public KioskError
{
public:
    using KioskError::KioskError;
};
