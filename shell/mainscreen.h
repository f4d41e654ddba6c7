#pragma once

#include "ui_mainscreen.h"

#include <QWidget>

class QCloseEvent;
class QShowEvent;
class QTimer;
class TBriskRoutines;

// The payment choice screen and the program's main window. A customer picks the barcode
// voucher or the members card; staff end the program with a double-click gesture on two
// areas below the design area, which only a tall screen shows.
class Tmainscreen : public QWidget, public Ui::Tmainscreen
{
    Q_OBJECT
public:
    explicit Tmainscreen(QWidget *parent = nullptr);

    // Double clicks so far on the two exit areas together; never reset.
    qint32 shutdown = 0;

    // Runs from the screen's creation until the first payment choice or its own first
    // tick; public so that tests can shorten the interval.
    QTimer *const Timer2;

    // The utility routines component that this screen carries; nothing here calls it.
    TBriskRoutines *const BriskRoutines;

    void FormCreate();
    void FormShow();
    void Image2Click();
    void Image3Click();
    void Image5DblClick();
    void Image6DblClick();
    void Timer2Timer();
    void FormClose();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
};
