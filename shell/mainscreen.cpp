#include "shell/mainscreen.h"

Tmainscreen::Tmainscreen(QWidget *parent) : QWidget(parent)
{
    setWindowTitle("Orvanta");
}
