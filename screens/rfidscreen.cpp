#include "screens/rfidscreen.h"

#include "link/ipsend.h"
#include "platform/decimalseparator.h"
#include "platform/messagepump.h"
#include "screens/outercontrols.h"
#include "screens/readerinput.h"
#include "shell/mainscreen.h"
#include "shell/windowset.h"

#include <QEvent>
#include <QGuiApplication>
#include <QTimer>
#include <QWindow>
#include <exception>
#include <utility>

namespace {

const QString waiting = QStringLiteral("waiting...");
const QString waitingCaption = QStringLiteral("waiting....");

// Text controls size themselves to their text.
void setText(QLabel *label, const QString &text)
{
    label->setText(text);
    label->adjustSize();
}

// Runs its action only when the scope is left by an error.
template <typename Action> class OnError
{
public:
    explicit OnError(Action action)
        : m_action(std::move(action)), m_errors(std::uncaught_exceptions())
    {
    }
    ~OnError()
    {
        if (std::uncaught_exceptions() > m_errors)
            m_action();
    }
    OnError(const OnError &) = delete;
    OnError &operator=(const OnError &) = delete;

private:
    Action m_action;
    int m_errors;
};

} // namespace

Trfidscreen::Trfidscreen(QWidget *parent) : CustomerScreen(parent)
{
    // Found by the layout's names: the window by its instance's, set before the layout
    // would give it the class's.
    setObjectName(QStringLiteral("rfidscreen"));
    setupUi(this);
    finishSetup(edcardno, [this](QChar key) { edcardnoKeyPress(key); },
                {stext, mtext, ltext, Label5, Label3, Label6, lblAccountType, lblAccountBalance,
                 Label4, label1, Label2, Label7});
    outerControls().addFooterLine(Label2, Label8);
    outerControls().addFooterLine(Label7, Label9);

    timeout = new QTimer(this);
    timeout->setObjectName(QStringLiteral("timeout"));
    timeout->setInterval(30000);
    connect(timeout, &QTimer::timeout, this, &Trfidscreen::timeoutTimer);

    connect(imgreturn, &ClickArea::clicked, this, &Trfidscreen::imgreturnClick);
    connect(imgsmallbucket, &ClickArea::clicked, this, &Trfidscreen::imgsmallbucketClick);
    connect(imgmediumbucket, &ClickArea::clicked, this, &Trfidscreen::imgmediumbucketClick);
    connect(imglargebucket, &ClickArea::clicked, this, &Trfidscreen::imglargebucketClick);

    // The screen activates again only when another of the program's windows (a message box,
    // for example) was active in between. Reports about a window that is hidden by the time
    // they are handled (the main screen, just left) are stale and say nothing.
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow *focus) {
        if (focus && focus != windowHandle() && focus->isVisible() && isVisible())
            m_otherWindowWasActive = true;
    });
}

Trfidscreen::~Trfidscreen() = default;

void Trfidscreen::setVisible(bool visible)
{
    const bool opening = visible && !isVisible();
    QWidget::setVisible(visible);
    if (opening && isVisible()) {
        m_otherWindowWasActive = false;
        FormActivate();
    }
}

bool Trfidscreen::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::WindowActivate:
        // The window system's own report of the activation that show() already ran comes
        // late or not at all; only a return from another window activates again.
        if (m_otherWindowWasActive) {
            m_otherWindowWasActive = false;
            FormActivate();
        }
        break;
    default:
        break;
    }
    return CustomerScreen::event(event);
}

void Trfidscreen::FormShow()
{
    edcardno->selectAll();
    nal->hide();
    nam->hide();
    nas->hide();
    imgsmallbucket->setEnabled(false);
    imgmediumbucket->setEnabled(false);
    imglargebucket->setEnabled(false);
    setText(label1, QStringLiteral("Please insert membership card."));
    // Characters of a read that never got its Enter belong to an earlier customer.
    bc.clear();
}

void Trfidscreen::FormActivate()
{
    setWindowState(windowState() | Qt::WindowMaximized);
    if (mainscreen)
        mainscreen->hide();
    choices = 0;
    setText(lblAccountBalance, waiting);
    edcardno->setText(waiting);
    setText(lblAccountType, waiting);
    setText(ltext, waitingCaption);
    setText(mtext, waitingCaption);
    setText(stext, waitingCaption);
    if (!timeout->isActive())
        timeout->start();
    setText(label1, QStringLiteral("Please insert membership card and then remove"));
    imgreturn->setEnabled(true);
    edcardno->setFocus();
    edcardno->selectAll();
}

void Trfidscreen::FormHide()
{
    timeout->stop();
}

void Trfidscreen::edcardnoKeyPress(QChar key)
{
    if (m_busy)
        return;
    if (key.unicode() != 13) {
        bc += key;
        return;
    }

    readerinput::ScopedFlag busy(m_busy);
    // A validation that ends in an error (an unreadable reply, a bad port) leaves no offer
    // behind that could be dispensed and reported under this read's card number.
    OnError failed([this] {
        withdrawOffers();
        bc.clear();
    });

    const Opening asked = opening();
    edcardno->setText(readerinput::trimmed(bc));
    platform::pumpMessages();
    // Opened again at a pump: the screen is the next customer's by now.
    if (!sameOpening(asked))
        return;
    cardno = edcardno->text();
    setText(label1, QStringLiteral("Please wait"));
    platform::pumpMessages();
    if (!sameOpening(asked))
        return;

    const int result = IPsend->sendinput(cardno, QStringLiteral("C"));
    // The answer is the card holder's who asked. Shown to the next customer, who opened the
    // screen at the link's pump, it would offer them this card's buckets under its number.
    if (!sameOpening(asked))
        return;
    if (result == 1) {
        setText(lblAccountType, QStringLiteral("Cash "));
        setText(lblAccountBalance, decimalToText(IPsend->CardBalance));
        fillprices();
        bc.clear();
        // A full 30 s from now for a customer who still sees the offers. A screen closed
        // meanwhile keeps its timeout stopped: a running one would cut its next opening short.
        if (stillOpen(asked))
            timeout->start();
    } else if (result == 9) {
        setText(label1, QStringLiteral("Bad Link To Server - Call for Support"));
        platform::pumpMessages();
        endRead();
        platform::blockingPause(linkErrorPauseMs);
    } else {
        // The link's own refusals carry no text of the server's, and IPerror may hold an
        // earlier card's reason: a card number the link would not send is simply not
        // valid, and a read that came while another exchange ran is asked for again. The
        // technician finds the link's reason in the link test window.
        QString refusal;
        if (result == linkresult::refusedByLink)
            refusal = QStringLiteral("Card not valid");
        else if (result == linkresult::busy)
            refusal = QStringLiteral("Please insert membership card and then remove");
        else
            refusal = QString(IPsend->IPerror).replace(QChar('+'), QChar(' '));
        setText(label1, refusal);
        endRead();
    }
}

void Trfidscreen::endRead()
{
    edcardno->setText(waiting);
    cardno.clear();
    bc.clear();
    edcardno->selectAll();
    // The offers of an earlier read on this showing belong to another card.
    withdrawOffers();
}

void Trfidscreen::withdrawOffers()
{
    nas->hide();
    nam->hide();
    nal->hide();
    imgsmallbucket->setEnabled(false);
    imgmediumbucket->setEnabled(false);
    imglargebucket->setEnabled(false);
    choices = 0;
    setText(ltext, waitingCaption);
    setText(mtext, waitingCaption);
    setText(stext, waitingCaption);
}

void Trfidscreen::fillprices()
{
    // Computed before anything changes: an amount that cannot be converted leaves the
    // screen as it was.
    const BucketOffers offers =
        computeBucketOffers({IPsend->CardBalance, IPsend->number1, IPsend->number2, IPsend->number3,
                             IPsend->Price1, IPsend->Price2, IPsend->Price3});

    nas->hide();
    nam->hide();
    nal->hide();
    credit = offers.credit;
    sb = offers.sb;
    mb = offers.mb;
    lb = offers.lb;
    sp = offers.sp;
    mp = offers.mp;
    lp = offers.lp;
    choices = offers.choices;
    // Click areas are only ever enabled here; a lower choices keeps an area that an earlier
    // read enabled from dispensing.
    const std::pair<QLabel *, ClickArea *> buckets[] = {
        {nas, imgsmallbucket}, {nam, imgmediumbucket}, {nal, imglargebucket}};
    const bool offered[] = {offers.smallOffered, offers.mediumOffered, offers.largeOffered};
    for (int i = 0; i < 3; ++i) {
        if (offered[i]) {
            buckets[i].first->show();
            buckets[i].second->setEnabled(true);
        }
    }
    setText(ltext, offers.ltext);
    setText(mtext, offers.mtext);
    setText(stext, offers.stext);
    setText(label1, QStringLiteral("Place bucket under dispenser. "));
}

void Trfidscreen::imgsmallbucketClick()
{
    if (choices == 0 || m_busy)
        return;
    dispense(sb, nas, 1);
}

void Trfidscreen::imgmediumbucketClick()
{
    if (choices < 2 || m_busy)
        return;
    dispense(mb, nam, 2);
}

void Trfidscreen::imglargebucketClick()
{
    if (choices < 3 || m_busy)
        return;
    dispense(lb, nal, 3);
}

void Trfidscreen::dispense(int count, QLabel *keptPicture, int issueGroup)
{
    readerinput::ScopedFlag busy(m_busy);
    timeout->stop();
    imgsmallbucket->hide();
    imgmediumbucket->hide();
    imglargebucket->hide();
    for (QLabel *picture : {nas, nam, nal}) {
        if (picture != keptPicture)
            picture->hide();
    }
    imgreturn->setEnabled(false);
    // A usage report that ends in an error still hands the kiosk back to the main screen:
    // with return disabled and the timeout stopped the screen would otherwise stay for good.
    OnError failed([this] { endDispensing(); });

    balls = count;
    // A stop waits from the first step to the main screen.
    BucketUnderWay bucket(QStringLiteral("card"), cardno, issueGroup, balls);
    bucket.countDown(label1, stepMs);
    setText(label1, QStringLiteral("Finished "));
    platform::pumpMessages();
    bucket.report(
        [&] { return IPsend->sendcardvendstatus(cardno, QStringLiteral("C"), issueGroup); });
    platform::blockingPause(reportPauseMs);
    endDispensing();

    if (issueGroup == 1 && mainscreen) {
        mainscreen->Label5->setText(QStringLiteral("Please choose payment method"));
        platform::pumpMessages();
    }
}

void Trfidscreen::endDispensing()
{
    for (QWidget *control : std::initializer_list<QWidget *>{nas, nam, nal, imgsmallbucket,
                                                             imgmediumbucket, imglargebucket})
        control->show();
    imgreturn->setEnabled(true);
    if (mainscreen)
        mainscreen->show();
    close();
}

void Trfidscreen::imgreturnClick()
{
    timeout->stop();
    hide();
    if (mainscreen)
        mainscreen->show();
}

void Trfidscreen::timeoutTimer()
{
    // Hiding stops the timeout, and an answer that comes back to a closed screen starts
    // none; should a tick still reach a hidden screen, it must not bring the main screen
    // over whatever the customer sees by then.
    if (!isVisible()) {
        timeout->stop();
        return;
    }
    if (mainscreen)
        mainscreen->show();
    close();
}
