#pragma once

#include <QWidget>

// The barcode voucher screen.
class Tbarcodescreen : public QWidget
{
    Q_OBJECT
public:
    explicit Tbarcodescreen(QWidget *parent = nullptr);
};
