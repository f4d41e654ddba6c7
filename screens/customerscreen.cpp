#include "screens/customerscreen.h"

#include "link/exchangerecord.h"
#include "platform/errorreport.h"
#include "platform/messagepump.h"
#include "platform/stopcontrol.h"
#include "screens/deferredlayout.h"
#include "screens/screencover.h"
#include "screens/selectioncolours.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <utility>

// The flags go to the constructor: set after the layout, they would make every control
// inherit its style a second time.
CustomerScreen::CustomerScreen(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), m_cover(new ScreenCover(this))
{
    // Closing a customer screen hands over to the main screen; it never ends the program.
    setAttribute(Qt::WA_QuitOnClose, false);
}

OuterControls &CustomerScreen::outerControls()
{
    return m_cover->outerControls();
}

void CustomerScreen::finishSetup(QLineEdit *entryBox, std::function<void(QChar)> keyPress,
                                 const QList<QLabel *> &captions)
{
    m_entryBox = entryBox;
    m_keyPress = std::move(keyPress);
    m_captions = captions;
    m_entryBox->installEventFilter(this);
    new SelectionColours(m_entryBox);
    // Texts from a reply (the server's reason for a refusal above all) show as they came:
    // markup in them is not rendered, and an image tag loads no file.
    const auto labels = findChildren<QLabel *>();
    for (QLabel *label : labels)
        label->setTextFormat(Qt::PlainText);
}

bool CustomerScreen::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::Show:
        screens::finishLayout(this, m_captions);
        if (!event->spontaneous()) {
            ++m_openings;
            m_open = true;
            // A new customer: nothing of an earlier customer's read is held against theirs.
            m_ignoringRead = false;
            FormShow();
        }
        break;
    case QEvent::Hide:
        if (!event->spontaneous()) {
            m_open = false;
            FormHide();
        }
        break;
    default:
        break;
    }
    return QWidget::event(event);
}

bool CustomerScreen::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_entryBox || event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    // The handler sees each character first and consumes none that it takes: the entry box
    // goes on to show what the reader typed.
    const auto *key = static_cast<QKeyEvent *>(event);
    const QString keys = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter
                             ? QString(QChar(13))
                             : key->text();
    bool ignored = false;
    for (const QChar c : keys) {
        if (admit(c))
            platform::runHandler([&] { m_keyPress(c); });
        else
            ignored = true;
    }
    // What the screen ignores does not show in the entry box either.
    return ignored;
}

// The readers type a whole number and Enter in one burst, and some repeat it for as long
// as a card is held. A read that begins while a validation or a countdown runs is ignored
// up to and including its Enter, also where its tail arrives after the busy phase: taken
// alone, the tail would be validated as a number of its own.
bool CustomerScreen::admit(QChar key)
{
    const bool enter = key.unicode() == 13;
    // A hidden screen has no reader input.
    if (m_ignoringRead || busy() || !isVisible()) {
        m_ignoringRead = !enter;
        return false;
    }
    return true;
}

CustomerScreen::BucketUnderWay::BucketUnderWay(const QString &screen, const QString &reference,
                                               int issueGroup, int balls)
    : m_balls(balls)
{
    if (platform::StopControl *stops = platform::StopControl::current()) {
        platform::Bucket bucket;
        bucket.screen = screen;
        bucket.reference = reference.isEmpty() ? QString() : journalText(reference.right(4));
        bucket.issueGroup = issueGroup;
        bucket.balls = balls;
        stops->bucketStarted(bucket);
    }
}

CustomerScreen::BucketUnderWay::~BucketUnderWay()
{
    if (platform::StopControl *stops = platform::StopControl::current())
        stops->bucketEnded();
}

void CustomerScreen::BucketUnderWay::countDown(QLabel *messageLine, int stepMs)
{
    const qint64 steps = qint64(m_balls) + 1;
    for (qint64 i = 0; i < steps; ++i) {
        if (platform::StopControl *stops = platform::StopControl::current())
            stops->bucketStep(int(i + 1), int(steps));
        messageLine->setText(QStringLiteral("Dispensing: ") + QString::number(m_balls - i));
        messageLine->adjustSize();
        platform::pumpMessages();
        platform::blockingPause(stepMs);
    }
}

CustomerScreen::BucketUnderWay::Reporting::Reporting()
{
    if (platform::StopControl *stops = platform::StopControl::current())
        stops->reportStarted();
}

CustomerScreen::BucketUnderWay::Reporting::~Reporting()
{
    if (platform::StopControl *stops = platform::StopControl::current())
        stops->reportEnded();
}
