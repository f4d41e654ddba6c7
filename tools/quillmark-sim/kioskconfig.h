#pragma once

#include <QString>

// Writes the kiosk's three-line config.ini (server address, port, decimal separator) into
// dir, so that a kiosk started from there talks to this server. Returns the file's path,
// or an empty string with the reason in error.
QString writeKioskConfig(const QString &dir, const QString &host, quint16 port, QChar separator,
                         QString *error);
