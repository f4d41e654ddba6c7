#pragma once

#include <QString>
#include <stdexcept>

// The kiosk reports failures that leave a handler as exceptions: they end where the window
// framework called into the program, which shows their text (platform::runHandler in
// platform/errorreport.h; the application object catches the rest at the event dispatch).
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
