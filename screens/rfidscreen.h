#pragma once

#include "ui_rfidscreen.h"

#include <QWidget>

// The members card screen.
class Trfidscreen : public QWidget, public Ui::Trfidscreen
{
    Q_OBJECT
public:
    explicit Trfidscreen(QWidget *parent = nullptr);
};
