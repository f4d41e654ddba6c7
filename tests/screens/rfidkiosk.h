#pragma once

// The whole kiosk against a simulated management server, for the members card screen's
// tests: the real windows on the offscreen platform, the server in its own thread.

#include "barcodekiosk.h"
#include "link/ipsend.h"
#include "screens/offerrules.h"
#include "screens/rfidscreen.h"
#include "shell/mainscreen.h"
#include "shell/windowset.h"
#include "support/simfixture.h"

#include <QKeyEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

namespace rfidtest {

// Small ball counts keep the countdowns short. The faults make the server misbehave for
// one reference.
inline const QByteArray data = R"({
    "prices": [ {"balls": 5, "price": "20.00"}, {"balls": 8, "price": "35.00"},
                {"balls": 12, "price": "50.00"} ],
    "cards": [ {"number": "12345678", "balance": "250.00"},
               {"number": "22223333", "balance": "40.00"},
               {"number": "33334444", "balance": "10.00"},
               {"number": "44445555", "balance": "0.00"},
               {"number": "55556666", "balance": "27.50"},
               {"number": "F-delay", "balance": "250.00"} ],
    "vouchers": [],
    "faults": {
        "F-delay":   {"mode": "delay", "ms": 300},
        "F-close":   {"mode": "close"},
        "F-nine":    {"mode": "nine"},
        "F-refused": {"mode": "raw", "body": "RangeOK=0&Error=Card+blocked+by+staff&"},
        "F-huge":    {"mode": "raw",
                      "body": "RangeOK=1&CardBalance=1E20&Number1=5&Number2=8&Number3=12&Price1=20&Price2=35&Price3=50&"}
    } })";

struct Kiosk
{
    explicit Kiosk(QChar separator = '.')
        : sim(data), windows(sim.writeConfig(dir.path(), separator))
    {
        rfidscreen->stepMs = 1;
        rfidscreen->linkErrorPauseMs = 50;
        rfidscreen->reportPauseMs = 50;
        IPsend->validationWaitMs = 2000;
        mainscreen->show();
    }

    // What the main screen's members card choice does.
    void open()
    {
        mainscreen->hide();
        rfidscreen->setVisible(true);
    }

    // The reader types the number and then Enter into the entry box.
    static void read(const QString &number)
    {
        QTest::keyClicks(rfidscreen->edcardno, number);
        QTest::keyClick(rfidscreen->edcardno, Qt::Key_Return);
    }

    // One character as the reader delivers it, control characters included.
    static void type(QChar character)
    {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(character));
        QApplication::sendEvent(rfidscreen->edcardno, &press);
    }

    QList<SimRequest> requests(const QString &command) const
    {
        QList<SimRequest> found;
        for (const SimRequest &request : sim.requests())
            if (request.command == command)
                found << request;
        return found;
    }

    QTemporaryDir dir;
    SimFixture sim;
    WindowSet windows;
};

// Which pictures show and which click areas take clicks, as "sml" letters.
inline QString offered()
{
    QString shown;
    if (!rfidscreen->nas->isHidden())
        shown += 's';
    if (!rfidscreen->nam->isHidden())
        shown += 'm';
    if (!rfidscreen->nal->isHidden())
        shown += 'l';
    return shown;
}

inline QString enabledAreas()
{
    QString enabled;
    if (rfidscreen->imgsmallbucket->isEnabled())
        enabled += 's';
    if (rfidscreen->imgmediumbucket->isEnabled())
        enabled += 'm';
    if (rfidscreen->imglargebucket->isEnabled())
        enabled += 'l';
    return enabled;
}

inline QString caption(int balls, const char *price)
{
    return QString::number(balls) + QStringLiteral(" balls / ") +
           currencyText(toFixedCurrency(QString::fromLatin1(price).toDouble()));
}

// Records the message line's text now and every new text of it at each pump (the voucher
// screen's recorder, on this screen's message line).
class MessageWatch : public barcodetest::TextRecorder
{
public:
    explicit MessageWatch(std::function<void(const QString &)> onText = {})
        : TextRecorder(rfidscreen->label1, std::move(onText))
    {
    }
};

} // namespace rfidtest
