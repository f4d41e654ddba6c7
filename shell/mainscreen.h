#pragma once

#include <QWidget>

// The payment choice screen; the program's main window.
class Tmainscreen : public QWidget
{
    Q_OBJECT
public:
    explicit Tmainscreen(QWidget *parent = nullptr);
};
