#include "screens/barcodescreen.h"

#include "link/ipsend.h"
#include "platform/errors.h"
#include "platform/messagepump.h"
#include "screens/outercontrols.h"
#include "screens/readerinput.h"
#include "shell/mainscreen.h"
#include "shell/windowset.h"

#include <QEvent>
#include <QTimer>

#include <exception>

namespace {

const QString kWaiting = QStringLiteral("waiting...");
const QString kInstruction =
    QStringLiteral("Please place barcode face up under the red light and wait for a beep");

// Text labels size themselves to their text, so a boxed text keeps its white box tight.
void setCaption(QLabel *label, const QString &text)
{
    label->setText(text);
    label->adjustSize();
}

// Keeps the two return areas disabled for the length of a scope.
class ReturnAreasDisabled
{
public:
    explicit ReturnAreasDisabled(Tbarcodescreen &screen) : m_screen(screen) { set(false); }
    ~ReturnAreasDisabled() { set(true); }
    ReturnAreasDisabled(const ReturnAreasDisabled &) = delete;
    ReturnAreasDisabled &operator=(const ReturnAreasDisabled &) = delete;

private:
    void set(bool enabled)
    {
        m_screen.imgreturn->setEnabled(enabled);
        m_screen.Image1->setEnabled(enabled);
    }
    Tbarcodescreen &m_screen;
};

} // namespace

Tbarcodescreen::Tbarcodescreen(QWidget *parent) : CustomerScreen(parent), timeout(new QTimer(this))
{
    // Found by the layout's names: the window by its instance's, set before the layout
    // would give it the class's.
    setObjectName(QStringLiteral("barcodescreen"));
    timeout->setObjectName(QStringLiteral("timeout"));
    setupUi(this);
    // The entry box lies over everything, and its top rows reach into the balance above it:
    // they cut the descender of the g, and "waiting..." read "waitina". Both keep their
    // places; the balance is drawn over the box instead, where it covers only the box's
    // blank top margin, white on white.
    lblAccountBalance->raise();
    setWindowState(Qt::WindowMaximized);
    finishSetup(edbarcode, [this](QChar key) { edbarcodeKeyPress(key); },
                {Label1, Label2, sbtext, Label5, Label3, lblAccountBalance, Label4, Label7});
    outerControls().addCornerControl(Image1);
    outerControls().addFooterLine(Label4, Label8);
    outerControls().addFooterLine(Label7, Label9);

    timeout->setInterval(30000);
    connect(timeout, &QTimer::timeout, this, &Tbarcodescreen::timeoutTimer);
    connect(nas, &ClickArea::clicked, this, &Tbarcodescreen::nasClick);
    connect(imgreturn, &ClickArea::clicked, this, &Tbarcodescreen::imgreturnClick);
    connect(Image1, &ClickArea::clicked, this, &Tbarcodescreen::imgreturnClick);
}

void Tbarcodescreen::setVisible(bool visible)
{
    const bool wasVisible = isVisible();
    QWidget::setVisible(visible);
    if (!isVisible()) {
        m_activationHandled = false;
        return;
    }
    if (wasVisible)
        return;
    // Activation follows every showing at once, inside the call that shows the screen:
    // the platform's own activation notice comes later or, on some platforms, never.
    m_activationHandled = true;
    activateWindow();
    FormActivate();
}

bool Tbarcodescreen::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::WindowActivate:
        if (isVisible() && !m_activationHandled) {
            m_activationHandled = true;
            FormActivate();
        }
        break;
    case QEvent::WindowDeactivate:
        if (isVisible())
            m_activationHandled = false;
        break;
    default:
        break;
    }
    return CustomerScreen::event(event);
}

void Tbarcodescreen::FormShow()
{
    setCaption(lblAccountBalance, kWaiting);
    edbarcode->setText(kWaiting);
    barcode.clear();
    bc.clear();
}

void Tbarcodescreen::FormActivate()
{
    edbarcode->setFocus(Qt::ActiveWindowFocusReason);
    edbarcode->selectAll();
    bc.clear();
    choices = 0;
    setCaption(sbtext, QString());
    nas->hide();
    setWindowState(windowState() | Qt::WindowMaximized);
    setCaption(Label2, QStringLiteral("Welcome To Orvanta"));
    setCaption(Label1, kInstruction);
    // Rewriting the same text would drop the selection that lets the reader's first
    // character replace it.
    if (edbarcode->text() != kWaiting) {
        edbarcode->setText(kWaiting);
        edbarcode->selectAll();
    }
    barcode.clear();
    if (!timeout->isActive())
        timeout->start();
    imgreturn->setEnabled(true);
}

void Tbarcodescreen::FormHide()
{
    timeout->stop();
    if (mainscreen)
        mainscreen->show();
}

void Tbarcodescreen::edbarcodeKeyPress(QChar key)
{
    // A read that completes while a voucher is being validated or dispensed would replace
    // the voucher under the running exchange or report: such reads are ignored whole.
    // A hidden screen has no reader input.
    if (busy() || !isVisible())
        return;
    if (key.unicode() != 13) {
        bc += key;
        return;
    }
    const readerinput::ScopedFlag validating(m_validating);
    const Opening asked = opening();
    edbarcode->setText(readerinput::trimmed(bc));
    platform::pumpMessages();
    // Opened again at the pump: the entry box is the next customer's by now.
    if (!sameOpening(asked))
        return;
    barcode = edbarcode->text();
    Fillprices();
}

void Tbarcodescreen::Fillprices()
{
    const Opening asked = opening();
    setCaption(Label1, QStringLiteral("Please wait"));
    platform::pumpMessages();
    if (!sameOpening(asked))
        return;
    const int result = IPsend->sendinput(barcode, QStringLiteral("P"));
    // Opened again while the server was asked: the answer is not the new opening's, whose
    // voucher number is empty; taking it would offer a bucket and report it without one.
    if (!sameOpening(asked))
        return;
    if (result == 9) {
        showFailure(QStringLiteral("Bad Link To Server - Call for Support"));
        return;
    }
    if (result != 1) {
        // The server's reason stays off this screen.
        showFailure(QStringLiteral("Voucher not valid"));
        return;
    }
    nsb = IPsend->number1;
    setCaption(sbtext, QString::number(nsb) + QStringLiteral(" balls "));
    setCaption(lblAccountBalance, QString::number(nsb));
    setCaption(Label1, QStringLiteral("Place bucket under dispenser. "));
    choices = 1;
    nas->show();
}

void Tbarcodescreen::nasClick()
{
    // One voucher, one usage report: touches that arrive at the countdown's pumps, or
    // while a validation is under way, are ignored.
    if (choices < 1 || busy())
        return;
    const readerinput::ScopedFlag dispensing(m_dispensing);
    timeout->stop();
    std::exception_ptr reportError;
    {
        // A stop waits from the first step to the main screen.
        BucketUnderWay bucket(QStringLiteral("voucher"), barcode, 0, nsb);
        {
            const ReturnAreasDisabled returnAreasOff(*this);
            bucket.countDown(Label1, stepMs);
            // The result of the report is not examined. An error in it must not strand the
            // customer on a screen without a way out: the way back runs first, then the
            // error is reported as any other.
            try {
                bucket.report(
                    [this] { return IPsend->sendvendstatus(barcode, QStringLiteral("P")); });
            } catch (const KioskError &) {
                reportError = std::current_exception();
            }
        }
        platform::blockingPause(reportPauseMs);
        leaveToMainScreen();
    }
    if (reportError)
        std::rethrow_exception(reportError);
}

void Tbarcodescreen::imgreturnClick()
{
    timeout->stop();
    if (mainscreen)
        mainscreen->show();
    hide();
    barcode.clear();
    edbarcode->setText(kWaiting);
    bc.clear();
}

void Tbarcodescreen::timeoutTimer()
{
    if (mainscreen)
        mainscreen->show();
    timeout->stop();
    close();
}

void Tbarcodescreen::showFailure(const QString &message)
{
    setCaption(Label1, message);
    platform::pumpMessages();
    platform::blockingPause(failurePauseMs);
    leaveToMainScreen();
}

void Tbarcodescreen::leaveToMainScreen()
{
    if (mainscreen)
        mainscreen->show();
    close();
}
