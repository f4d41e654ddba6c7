#pragma once

#include <QWidget>

// The members card screen.
class Trfidscreen : public QWidget
{
    Q_OBJECT
public:
    explicit Trfidscreen(QWidget *parent = nullptr);
};
