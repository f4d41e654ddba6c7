#pragma once

#include <QString>
#include <memory>

class Tmainscreen;
class Tbarcodescreen;
class Trfidscreen;
class TIPsend;

// The four windows by their instance names. They are set while a WindowSet lives and
// null otherwise; the windows call each other through them.
extern Tmainscreen *mainscreen;
extern Tbarcodescreen *barcodescreen;
extern Trfidscreen *rfidscreen;
extern TIPsend *IPsend;

// Owns the kiosk's four windows: created hidden in their fixed order (main screen,
// barcode voucher screen, members card screen, link client), destroyed in reverse.
class WindowSet
{
public:
    // settingsPath: the link settings file; empty means config.ini beside the executable.
    explicit WindowSet(const QString &settingsPath = QString());
    ~WindowSet();
    WindowSet(const WindowSet &) = delete;
    WindowSet &operator=(const WindowSet &) = delete;

private:
    std::unique_ptr<Tmainscreen> m_main;
    std::unique_ptr<Tbarcodescreen> m_barcode;
    std::unique_ptr<Trfidscreen> m_rfid;
    std::unique_ptr<TIPsend> m_ipsend;
};
