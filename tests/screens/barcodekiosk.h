#pragma once

// The whole kiosk against a simulated management server, for the voucher screen's tests:
// the real windows on the offscreen platform, the server in its own thread.

#include "link/ipsend.h"
#include "screens/barcodescreen.h"
#include "shell/mainscreen.h"
#include "shell/windowset.h"
#include "support/simfixture.h"

#include <QLabel>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

namespace barcodetest {

inline const QString instruction =
    QStringLiteral("Please place barcode face up under the red light and wait for a beep");

// Vouchers the tests use; faults make the server misbehave for one reference.
inline const QByteArray data = R"({
    "prices": [ {"balls": 30, "price": "20.00"}, {"balls": 60, "price": "35.00"},
                {"balls": 90, "price": "50.00"} ],
    "cards": [],
    "vouchers": [ {"number": "900003", "balls": 3, "used": false},
                  {"number": "900020", "balls": 20, "used": false},
                  {"number": "900000", "balls": 0, "used": false},
                  {"number": "900040", "balls": 40, "used": false},
                  {"number": "900099", "balls": 40, "used": true},
                  {"number": "F-delay", "balls": 5, "used": false} ],
    "faults": {
        "F-delay":  {"mode": "delay", "ms": 400},
        "F-close":  {"mode": "close"},
        "F-nine":   {"mode": "nine"},
        "F-notanumber": {"mode": "notanumber"},
        "F-refused": {"mode": "raw", "body": "RangeOK=0&Error=Secret+server+reason&"},
        "F-minus":  {"mode": "raw", "body": "RangeOK=1&Number1=-2&Number2=0&Number3=0&"}
    } })";

struct Kiosk
{
    explicit Kiosk(const QByteArray &json = data) : sim(json), windows(sim.writeConfig(dir.path()))
    {
        // Short pauses keep the suite quick; the countdown step keeps its own test.
        barcodescreen->stepMs = 1;
        barcodescreen->failurePauseMs = 60;
        barcodescreen->reportPauseMs = 60;
    }

    // The customer chooses "Barcode" on the main screen.
    void open() { mainscreen->Image2Click(); }

    // The reader types the number and Enter into the entry box.
    void read(const QString &number)
    {
        QTest::keyClicks(barcodescreen->edbarcode, number);
        QTest::keyClick(barcodescreen->edbarcode, Qt::Key_Return);
    }

    void touchBucket() { QTest::mouseClick(barcodescreen->nas, Qt::LeftButton); }

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

// A sequence of screen texts in one line, each in brackets so that trailing blanks show
// when a comparison fails.
inline QString seq(const QStringList &texts)
{
    return QLatin1Char('[') + texts.join(QStringLiteral("] [")) + QLatin1Char(']');
}

// Records the texts a label shows at every pass over the event queue, and so at every
// pump that the screen or the link makes: a zero-interval timer fires once per pass.
class TextRecorder
{
public:
    explicit TextRecorder(QLabel *label, std::function<void(const QString &)> onText = {})
        : m_label(label), m_onText(std::move(onText))
    {
        m_timer.setInterval(0);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { sample(); });
        m_timer.start();
        sample();
    }

    // Takes the text now, for the state a handler leaves when it returns.
    void sample()
    {
        const QString text = m_label->text();
        if (!texts.isEmpty() && texts.last() == text)
            return;
        texts << text;
        if (m_onText)
            m_onText(text);
    }

    QStringList texts;

private:
    QLabel *m_label;
    std::function<void(const QString &)> m_onText;
    QTimer m_timer;
};

} // namespace barcodetest
