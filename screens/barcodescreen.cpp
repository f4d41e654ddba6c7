#include "screens/barcodescreen.h"

Tbarcodescreen::Tbarcodescreen(QWidget *parent) : QWidget(parent)
{
    setupUi(this);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
}
