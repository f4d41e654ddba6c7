#include "floodkiosk.h"

#include "link/ipsend.h"
#include "screens/barcodescreen.h"
#include "screens/clickarea.h"
#include "screens/rfidscreen.h"
#include "shell/doubleclickarea.h"
#include "shell/mainscreen.h"
#include "shell/windowset.h"
#include "tools/quillmark-sim/simserver.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTest>

#include <optional>

namespace floods {

namespace {

const QString kDispensing = QStringLiteral("Dispensing: ");
const QString kOffer = QStringLiteral("Place bucket under dispenser. ");
const QString kPleaseWait = QStringLiteral("Please wait");
const QString kLinkFailure = QStringLiteral("Bad Link To Server - Call for Support");

QLabel *messageLine(Screen screen)
{
    return screen == Screen::Barcode ? barcodescreen->Label1 : rfidscreen->label1;
}

QWidget *window(Screen screen)
{
    return screen == Screen::Barcode ? static_cast<QWidget *>(barcodescreen)
                                     : static_cast<QWidget *>(rfidscreen);
}

// The customer screen that is up, if any; the voucher screen first, as it is raised over
// everything when it opens.
QWidget *customerWindow()
{
    if (barcodescreen->isVisible())
        return barcodescreen;
    if (rfidscreen->isVisible())
        return rfidscreen;
    return nullptr;
}

// The innermost visible child under a point (in parent's coordinates), later siblings
// over earlier ones, as the window system picks the target of a touch. Areas past the
// window's own size count too, as on a screen large enough to show them.
QWidget *widgetAt(QWidget *parent, const QPoint &point)
{
    const QObjectList &children = parent->children();
    for (auto it = children.crbegin(); it != children.crend(); ++it) {
        auto *child = qobject_cast<QWidget *>(*it);
        if (!child || child->isWindow() || child->isHidden() ||
            child->testAttribute(Qt::WA_TransparentForMouseEvents) ||
            !child->geometry().contains(point))
            continue;
        QWidget *inner = widgetAt(child, point - child->pos());
        return inner ? inner : child;
    }
    return nullptr;
}

class InputEvent : public QEvent
{
public:
    static QEvent::Type type()
    {
        static const int registered = QEvent::registerEventType();
        return static_cast<QEvent::Type>(registered);
    }
    InputEvent(QChar key) : QEvent(type()), key(key) {}
    InputEvent(QWidget *window, const QPoint &point) : QEvent(type()), window(window), point(point)
    {
    }
    QChar key;
    QPointer<QWidget> window;
    QPoint point;
};

} // namespace

const QString Accounts::linkFailure = QStringLiteral("4040404");
const QString Accounts::refused = QStringLiteral("1000001");

State stateOf(Screen screen)
{
    if (!window(screen)->isVisible())
        return State::Hidden;
    const QString text = messageLine(screen)->text();
    if (text == kPleaseWait)
        return State::Validating;
    if (text == kOffer)
        return State::Offering;
    if (text == QStringLiteral("Finished ") || text == kDispensing + QLatin1Char('0'))
        return State::Reporting;
    if (text.startsWith(kDispensing))
        return State::Dispensing;
    if (text == kLinkFailure || text == QStringLiteral("Voucher not valid"))
        return State::Failed;
    return State::Waiting;
}

bool onMainScreen()
{
    return mainscreen->isVisible() && !barcodescreen->isVisible() && !rfidscreen->isVisible();
}

Accounts::Accounts(int count)
{
    for (int i = 1; i <= count; ++i) {
        const QString n = QString::number(i).rightJustified(3, QLatin1Char('0'));
        vouchers << QStringLiteral("7100") + n;
        voucherBalls.insert(vouchers.last(), 2 + i % 5);
        slowVouchers << QStringLiteral("7200") + n;
        voucherBalls.insert(slowVouchers.last(), 2 + i % 5);
        cards << QStringLiteral("5500000") + n;
        slowCards << QStringLiteral("5600000") + n;
    }
}

QByteArray Accounts::json() const
{
    QJsonArray prices;
    const char *amounts[] = {"20.00", "35.00", "50.00"};
    for (int i = 0; i < 3; ++i)
        prices.append(QJsonObject{{"balls", bucketBalls[i]}, {"price", amounts[i]}});
    QJsonArray cardList;
    for (const QString &number : cards + slowCards)
        cardList.append(QJsonObject{{"number", number}, {"balance", "5000.00"}});
    QJsonArray voucherList;
    for (const QString &number : vouchers + slowVouchers)
        voucherList.append(QJsonObject{
            {"number", number}, {"balls", voucherBalls.value(number)}, {"used", false}});
    QJsonObject faults{{linkFailure, QJsonObject{{"mode", "close"}}}};
    // Long enough that the flood piles up behind the blocked validation.
    for (const QString &number : slowVouchers + slowCards)
        faults.insert(number, QJsonObject{{"mode", "delay"}, {"ms", 150}});
    return QJsonDocument(QJsonObject{{"prices", prices},
                                     {"cards", cardList},
                                     {"vouchers", voucherList},
                                     {"faults", faults}})
        .toJson(QJsonDocument::Compact);
}

CountdownWatch::CountdownWatch()
{
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [this] { sample(); });
    timer.start();
    sample();
}

void CountdownWatch::sample()
{
    for (const Screen screen : {Screen::Barcode, Screen::Card}) {
        QString &previous = last[int(screen)];
        const QString text = messageLine(screen)->text();
        if (text == previous)
            continue;
        if (text.startsWith(kDispensing)) {
            const int balls = text.mid(kDispensing.size()).toInt();
            const bool restarted = previous.startsWith(kDispensing) &&
                                   balls >= previous.mid(kDispensing.size()).toInt();
            if (!previous.startsWith(kDispensing) || restarted)
                countdowns << Countdown{screen, balls};
        }
        previous = text;
    }
}

Fingers::Fingers()
{
    for (QWidget *top :
         {static_cast<QWidget *>(mainscreen), window(Screen::Barcode), window(Screen::Card)}) {
        for (ClickArea *area : top->findChildren<ClickArea *>()) {
            if (qobject_cast<DoubleClickArea *>(area))
                continue; // staff only, and answers double clicks alone
            targets << Target{top, QRect(area->mapTo(top, QPoint(0, 0)), area->size())};
        }
    }
}

void Fingers::typeNow(QChar key)
{
    QWidget *screen = customerWindow();
    if (!screen)
        return;
    QWidget *box = screen == barcodescreen ? static_cast<QWidget *>(barcodescreen->edbarcode)
                                           : static_cast<QWidget *>(rfidscreen->edcardno);
    const bool enter = key.unicode() == 13;
    const int code = enter ? int(Qt::Key_Return) : 0;
    QKeyEvent press(QEvent::KeyPress, code, Qt::NoModifier, QString(key));
    QApplication::sendEvent(box, &press);
    QKeyEvent release(QEvent::KeyRelease, code, Qt::NoModifier, QString(key));
    QApplication::sendEvent(box, &release);
}

void Fingers::tapNow(QWidget * /*aimedAt*/, const QPoint &point)
{
    // The tap lands on the window on top at the time it is handled, whichever screen the
    // finger had in view.
    QWidget *top = customerWindow();
    if (!top)
        top = mainscreen->isVisible() ? mainscreen : nullptr;
    if (!top)
        return;
    QWidget *target = widgetAt(top, point);
    if (!target)
        target = top;
    const QPointF local = target->mapFrom(top, point);
    const QPointF global = top->mapToGlobal(point);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QPointer<QWidget> guard(target);
    QApplication::sendEvent(target, &press);
    if (!guard)
        return;
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(target, &release);
}

void Fingers::typeLater(QChar key)
{
    QCoreApplication::postEvent(this, new InputEvent(key));
}

void Fingers::tapLater(QWidget *window, const QPoint &point)
{
    QCoreApplication::postEvent(this, new InputEvent(window, point));
}

bool Fingers::event(QEvent *event)
{
    if (event->type() != InputEvent::type())
        return QObject::event(event);
    const auto *input = static_cast<InputEvent *>(event);
    if (input->window)
        tapNow(input->window, input->point);
    else
        typeNow(input->key);
    return true;
}

Flooder::Flooder(Fingers &fingers, std::mt19937 &random, std::function<bool()> when, int budget)
    : fingers(fingers), random(random), when(std::move(when)), budget(budget)
{
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [this] { tick(); });
    timer.start();
}

QChar Flooder::randomKey(std::mt19937 &random, int enterPercent)
{
    if (std::uniform_int_distribution<int>(0, 99)(random) < enterPercent)
        return QChar(13);
    const int kind = std::uniform_int_distribution<int>(0, 99)(random);
    if (kind < 8) // control characters, DEL included
        return QChar(std::uniform_int_distribution<int>(0, 32)(random) == 32
                         ? 127
                         : std::uniform_int_distribution<int>(0, 31)(random));
    if (kind < 16) // beyond ASCII, some beyond the wire's code page
        return QChar(std::uniform_int_distribution<int>(0xA0, 0x24F)(random));
    return QChar(std::uniform_int_distribution<int>(32, 126)(random));
}

void Flooder::tick()
{
    if (posted >= budget) {
        timer.stop();
        return;
    }
    if (!when())
        return;
    constexpr int burst = 250;
    for (int i = 0; i < burst && posted < budget; ++i, ++posted) {
        if (std::uniform_int_distribution<int>(0, 99)(random) < tapPercent) {
            const auto &target = fingers.targets.at(
                std::uniform_int_distribution<int>(0, int(fingers.targets.size()) - 1)(random));
            const QPoint point(target.rect.left() + std::uniform_int_distribution<int>(
                                                        0, target.rect.width() - 1)(random),
                               target.rect.top() + std::uniform_int_distribution<int>(
                                                       0, target.rect.height() - 1)(random));
            fingers.tapLater(target.window, point);
        } else {
            fingers.typeLater(randomKey(random, enterPercent));
        }
    }
}

FloodKiosk::FloodKiosk(int count)
    : accounts(count), sim(accounts.json(), [](SimServer &server) { server.logging = false; }),
      windows(std::make_unique<WindowSet>(sim.writeConfig(dir.path())))
{
    // Short pauses keep a flood quick; the timeout short enough that a screen left
    // waiting returns by itself while the run settles.
    barcodescreen->stepMs = 1;
    barcodescreen->failurePauseMs = 20;
    barcodescreen->reportPauseMs = 20;
    barcodescreen->timeout->setInterval(1000);
    rfidscreen->stepMs = 1;
    rfidscreen->linkErrorPauseMs = 20;
    rfidscreen->reportPauseMs = 20;
    rfidscreen->timeout->setInterval(1000);
    IPsend->validationWaitMs = 3000;
    IPsend->reportWaitMs = 3000;
    mainscreen->show();
}

FloodKiosk::~FloodKiosk() = default;

QString FloodKiosk::nextReference(Screen screen, bool slow)
{
    int &index = used[int(screen)][slow ? 1 : 0];
    const QStringList &list = screen == Screen::Barcode
                                  ? (slow ? accounts.slowVouchers : accounts.vouchers)
                                  : (slow ? accounts.slowCards : accounts.cards);
    // Past the end every number is one the server does not know: refused.
    return list.value(index++, Accounts::refused);
}

void FloodKiosk::read(const QString &reference)
{
    for (const QChar c : reference)
        fingers.typeNow(c);
    fingers.typeNow(QChar(13));
}

void FloodKiosk::customer(Screen screen, const QString &reference, std::mt19937 &random)
{
    if (!settles(5000))
        return;
    if (screen == Screen::Barcode)
        mainscreen->Image2Click();
    else
        mainscreen->Image3Click();
    QTest::qWait(10);
    read(reference);
    // The card screen lets the customer try again after a failed read.
    const State afterRead = stateOf(screen);
    if (screen == Screen::Card && (afterRead == State::Waiting || afterRead == State::Failed)) {
        QTest::qWait(10);
        read(nextReference(screen, false));
    }
    if (stateOf(screen) != State::Offering)
        return;
    QTest::qWait(10);
    QList<QWidget *> offered;
    if (screen == Screen::Barcode) {
        offered << barcodescreen->nas;
    } else {
        for (QWidget *area :
             {rfidscreen->imgsmallbucket, rfidscreen->imgmediumbucket, rfidscreen->imglargebucket})
            if (area->isEnabled() && area->isVisible())
                offered << area;
    }
    if (offered.isEmpty())
        return;
    QWidget *bucket =
        offered.at(std::uniform_int_distribution<int>(0, int(offered.size()) - 1)(random));
    fingers.tapNow(window(screen), bucket->mapTo(window(screen), bucket->rect().center()));
}

bool FloodKiosk::settles(int timeoutMs)
{
    return QTest::qWaitFor(onMainScreen, timeoutMs);
}

QStringList FloodKiosk::ledgerFaults(const QList<Countdown> &countdowns) const
{
    QStringList faults;
    QSet<QString> usedVouchers;
    struct Validation
    {
        QString reference, rangeType;
        bool accepted = false;
        int reports = 0;
    };
    std::optional<Validation> last;
    qsizetype next = 0; // the countdown the next report belongs to
    for (const SimRequest &request : sim.requests()) {
        const bool card = request.rangeType == QLatin1String("C");
        if (request.command == QLatin1String("ValidateRangeId")) {
            const bool known = card ? accounts.cards.contains(request.reference) ||
                                          accounts.slowCards.contains(request.reference)
                                    : accounts.voucherBalls.contains(request.reference);
            last = Validation{request.reference, request.rangeType,
                              known && (card || !usedVouchers.contains(request.reference))};
            continue;
        }
        const QString what =
            QStringLiteral("report %1 %2").arg(request.rangeType, request.reference);
        if (request.command != QLatin1String("SetRangeUsage")) {
            faults << QStringLiteral("unknown request ") + QString::fromLatin1(request.raw);
            continue;
        }
        if (!last || !last->accepted || last->rangeType != request.rangeType ||
            last->reference != request.reference)
            faults << what + QStringLiteral(": not the last accepted read (%1 %2)")
                                 .arg(last ? last->rangeType : QString(),
                                      last ? last->reference : QString());
        else if (++last->reports > 1)
            faults << what + QStringLiteral(": a second report for one offer");
        if (!card && usedVouchers.contains(request.reference))
            faults << what + QStringLiteral(": voucher reported before");
        usedVouchers.insert(request.reference);

        if (next >= countdowns.size()) {
            faults << what + QStringLiteral(": no bucket was counted out for it");
            continue;
        }
        const Countdown countdown = countdowns.at(next++);
        if ((countdown.screen == Screen::Card) != card) {
            faults << what + QStringLiteral(": the countdown ran on the other screen");
        } else if (card) {
            const int group = request.issueGroup.toInt();
            if (group < 1 || group > 3 || Accounts::bucketBalls[group - 1] != countdown.balls)
                faults << what + QStringLiteral(": group %1 for a countdown from %2")
                                     .arg(request.issueGroup)
                                     .arg(countdown.balls);
        } else if (accounts.voucherBalls.value(request.reference) != countdown.balls) {
            faults << what + QStringLiteral(": a countdown from %1").arg(countdown.balls);
        }
    }
    if (next < countdowns.size())
        faults << QStringLiteral("%1 buckets counted out, %2 reported")
                      .arg(countdowns.size())
                      .arg(next);
    return faults;
}

} // namespace floods
