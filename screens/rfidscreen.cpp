#include "screens/rfidscreen.h"

Trfidscreen::Trfidscreen(QWidget *parent) : QWidget(parent)
{
    setWindowTitle("Orvanta");
}
