#include "link/ipsend.h"

#include "screens/barcodescreen.h"
#include "screens/rfidscreen.h"
#include "shell/windowset.h"

TIPsend::TIPsend(QWidget *parent) : QWidget(parent) {}

void TIPsend::FormCreate(const QString &settingsPath)
{
    readSettings(settingsPath);
}

void TIPsend::settingsRead(const QString &server, const QString &port)
{
    if (rfidscreen) {
        rfidscreen->Label8->setText(server);
        rfidscreen->Label9->setText(port);
    }
    if (barcodescreen) {
        barcodescreen->Label8->setText(server);
        barcodescreen->Label9->setText(port);
    }
}
