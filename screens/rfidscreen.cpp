#include "screens/rfidscreen.h"

Trfidscreen::Trfidscreen(QWidget *parent) : QWidget(parent)
{
    setupUi(this);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
}
