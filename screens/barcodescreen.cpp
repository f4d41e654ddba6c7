#include "screens/barcodescreen.h"

Tbarcodescreen::Tbarcodescreen(QWidget *parent) : QWidget(parent)
{
    setWindowTitle("Orvanta");
}
