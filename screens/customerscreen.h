#pragma once

#include <QList>
#include <QWidget>
#include <functional>
#include <utility>

class OuterControls;
class QEvent;
class QLabel;
class QLineEdit;
class ScreenCover;

// What the voucher screen and the members card screen share as windows, so that a guard
// mended on one of them holds on the other too:
// - borderless, over the whole screen, with the controls beyond the design area placed for
//   the screen's shape, and no context menu on any control (ScreenCover);
// - the showing and hiding steps run on real showing and hiding only;
// - every text label shows plain text, whatever a reply puts into it;
// - the entry box's selected "waiting..." drawn in the box's own colours (SelectionColours);
// - the reader's input, where a read that begins while the screen is busy is ignored whole;
// - which opening an exchange's answer belongs to;
// - the bucket under way: its count, its usage report and the pause after it, during
//   which a stop waits (BucketUnderWay).
class CustomerScreen : public QWidget
{
    Q_OBJECT
public:
    // The showing and hiding steps. The window system also hides and shows a window on its
    // own (a desktop switch, a minimise and restore); the customer is still in the middle of
    // the same opening then, so those run neither step.
    virtual void FormShow() = 0;
    virtual void FormHide() = 0;

    // True while a validation or a countdown runs.
    virtual bool busy() const = 0;

protected:
    explicit CustomerScreen(QWidget *parent);

    // For the screen's constructor, once its layout is built: the entry box that takes the
    // reader's characters and the handler that receives them, and the captions that are
    // fitted to their text when the screen is shown.
    void finishSetup(QLineEdit *entryBox, std::function<void(QChar)> keyPress,
                     const QList<QLabel *> &captions);
    // Where the screen registers its return area and footer beyond the design area.
    OuterControls &outerControls();

    // One showing of the screen, from a real showing to the next real hiding. A handler that
    // asks the server takes the opening first: the pumps inside the exchange can run a
    // return touch or the timeout, and then a new customer's opening, before the answer
    // comes back.
    struct Opening
    {
        quint64 number = 0;
    };
    Opening opening() const { return Opening{m_openings}; }
    // Not opened again since: an answer still belongs to this customer.
    bool sameOpening(Opening asked) const { return asked.number == m_openings; }
    // Neither closed nor opened again since: the customer still sees the screen.
    bool stillOpen(Opening asked) const { return sameOpening(asked) && m_open; }

    // One bucket, from the first step of its count to the end of the pause after its usage
    // report: journalled and kept as a record while it lasts, and a stop (systemd's, a
    // reboot's, an upgrade's) waits for it to end (see platform::StopControl). Held by the
    // dispensing handler for the whole of its work; when it goes, a stop that waited ends
    // the kiosk.
    class BucketUnderWay
    {
    public:
        // screen: "voucher" or "card"; issueGroup 0 for a voucher.
        BucketUnderWay(const QString &screen, const QString &reference, int issueGroup, int balls);
        ~BucketUnderWay();
        BucketUnderWay(const BucketUnderWay &) = delete;
        BucketUnderWay &operator=(const BucketUnderWay &) = delete;

        // The count: "Dispensing: " and what is left, from the bucket's balls down to 0 (no
        // step for a negative count), on the message line; one step every stepMs, the
        // pending window messages handled at each.
        void countDown(QLabel *messageLine, int stepMs);

        // Runs the usage report's exchange and returns its result; the bucket's record goes
        // once the exchange has ended, however it ended. Never sent twice.
        template <typename Exchange> int report(Exchange &&exchange)
        {
            const Reporting reporting;
            return std::forward<Exchange>(exchange)();
        }

    private:
        struct Reporting
        {
            Reporting();
            ~Reporting();
            Reporting(const Reporting &) = delete;
            Reporting &operator=(const Reporting &) = delete;
        };
        const int m_balls;
    };

    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool admit(QChar key);

    ScreenCover *const m_cover;
    QLineEdit *m_entryBox = nullptr;
    std::function<void(QChar)> m_keyPress;
    QList<QLabel *> m_captions;
    quint64 m_openings = 0;
    bool m_open = false;
    // The characters since the last Enter began while the screen was busy.
    bool m_ignoringRead = false;
};
