#include "shell/windowset.h"

#include "link/ipsend.h"
#include "screens/barcodescreen.h"
#include "screens/deferredlayout.h"
#include "screens/rfidscreen.h"
#include "shell/configcheck.h"
#include "shell/mainscreen.h"

#include "platform/errorreport.h"
#include "platform/errors.h"

Tmainscreen *mainscreen = nullptr;
Tbarcodescreen *barcodescreen = nullptr;
Trfidscreen *rfidscreen = nullptr;
TIPsend *IPsend = nullptr;

WindowSet::WindowSet(const QString &settingsPath)
{
    m_main = std::make_unique<Tmainscreen>();
    mainscreen = m_main.get();
    m_barcode = std::make_unique<Tbarcodescreen>();
    barcodescreen = m_barcode.get();
    m_rfid = std::make_unique<Trfidscreen>();
    rfidscreen = m_rfid.get();
    m_ipsend = std::make_unique<TIPsend>();
    IPsend = m_ipsend.get();
    // The three hidden windows are polished when first shown, not before the main screen's
    // first paint.
    for (QWidget *hidden : std::initializer_list<QWidget *>{barcodescreen, rfidscreen, IPsend})
        screens::deferPolish(hidden);
    const QString path = settingsPath.isEmpty() ? kioskSettingsPath() : settingsPath;
    // An error in a creation handler is reported like any unhandled error; the window
    // still exists and start-up goes on.
    try {
        IPsend->FormCreate(path);
    } catch (const KioskError &e) {
        platform::reportError(e.message());
    }
}

WindowSet::~WindowSet()
{
    IPsend = nullptr;
    m_ipsend.reset();
    rfidscreen = nullptr;
    m_rfid.reset();
    barcodescreen = nullptr;
    m_barcode.reset();
    mainscreen = nullptr;
    m_main.reset();
}
