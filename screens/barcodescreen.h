#pragma once

#include "ui_barcodescreen.h"

#include <QWidget>

// The barcode voucher screen.
class Tbarcodescreen : public QWidget, public Ui::Tbarcodescreen
{
    Q_OBJECT
public:
    explicit Tbarcodescreen(QWidget *parent = nullptr);
};
