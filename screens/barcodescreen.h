#pragma once

#include "screens/customerscreen.h"
#include "ui_barcodescreen.h"

#include <QString>

class QEvent;
class QTimer;

// The barcode voucher screen: takes a voucher read from the reader, has it validated by
// the management server, offers the voucher's one bucket, counts the balls out when the
// bucket is touched and reports the issued bucket back.
class Tbarcodescreen : public CustomerScreen, public Ui::Tbarcodescreen
{
    Q_OBJECT
public:
    explicit Tbarcodescreen(QWidget *parent = nullptr);

    // Characters collected from the reader since the screen was opened.
    QString bc;
    // Voucher number of the current read; the reference of validation and usage report.
    QString barcode;
    // 1 while the voucher's bucket is on offer; gates the bucket click.
    qint32 choices = 0;
    // Ball count of the offered bucket.
    qint32 nsb = 0;

    // Returns to the main screen 30 s after the opening.
    QTimer *const timeout;

    // Pauses in milliseconds; public so that tests can shorten them.
    int stepMs = 100;          // one countdown step
    int failurePauseMs = 5000; // after a refusal or a link failure
    int reportPauseMs = 2000;  // after the usage report

    void FormShow() override;
    void FormActivate();
    void FormHide() override;
    void edbarcodeKeyPress(QChar key);
    void Fillprices();
    void nasClick();
    void imgreturnClick();
    void timeoutTimer();

    // True while a validation or a dispensing runs; reads and bucket touches are
    // ignored then.
    bool busy() const override { return m_validating || m_dispensing; }

    void setVisible(bool visible) override;

protected:
    bool event(QEvent *event) override;

private:
    void showFailure(const QString &message);
    void leaveToMainScreen();

    bool m_validating = false;
    bool m_dispensing = false;
    // Set once the activation steps have run for the current spell of activation, so
    // that the platform's own activation notice after a showing does not run them twice.
    bool m_activationHandled = false;
};
