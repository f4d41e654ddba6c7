#include "link/ipsend.h"

#include "link/windowdrag.h"
#include "link/wireformat.h"
#include "platform/errorreport.h"
#include "screens/barcodescreen.h"
#include "screens/deferredlayout.h"
#include "screens/rfidscreen.h"
#include "shell/windowset.h"

#include <QKeyEvent>
#include <QLocale>
#include <QTimer>

namespace {

// The separator a format of the system locale puts between its numbers, or fallback when
// the format has none (the C locale writes its short date with a month name).
QChar localeSeparator(const QString &format, QChar fallback)
{
    for (const QChar c : format) {
        if (c.isPunct() && c != QLatin1Char('\''))
            return c;
    }
    return fallback;
}

// "dd/mm/yy" and "hh:mm:ss" (24-hour) with the locale's separators. A separator is
// punctuation and never a quote, so it stands for itself in the pattern.
QString dateText(const QDate &date)
{
    const QChar separator =
        localeSeparator(QLocale::system().dateFormat(QLocale::ShortFormat), QLatin1Char('/'));
    return date.toString(QStringLiteral("dd%1MM%1yy").arg(separator));
}

QString timeText(const QTime &time)
{
    const QChar separator =
        localeSeparator(QLocale::system().timeFormat(QLocale::ShortFormat), QLatin1Char(':'));
    return time.toString(QStringLiteral("HH%1mm%1ss").arg(separator));
}

// The preview takes a date or time field by character positions only (1-2, 4-5 and the
// last two), whatever the technician typed, and joins the pieces with the escape.
QString piecesByPosition(const QString &field, QLatin1StringView escape)
{
    return field.left(2) + escape + field.mid(3, 2) + escape + field.right(2);
}

} // namespace

// The flags go to the constructor: set after the layout, they would make every control
// inherit its style a second time. A window manager keeps the window above its other
// windows; above the kiosk's full-screen screens it is kept by KeepAbove, with or without
// one (see linktest::showBeside).
TIPsend::TIPsend(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                          Qt::CustomizeWindowHint | Qt::WindowStaysOnTopHint),
      Timer1(new QTimer(this))
{
    // Found by the layout's names: the window by its instance's, set before the layout
    // would give it the class's.
    setObjectName(QStringLiteral("IPsend"));
    Timer1->setObjectName(QStringLiteral("Timer1"));
    setupUi(this);
    setFixedSize(size());
    // Closing only hides the window (it is never destroyed: the link lives in it), and
    // the kiosk must run on when it was the last window on the screen.
    setAttribute(Qt::WA_QuitOnClose, false);
    // Without a window manager there is no title bar: the window moves by a drag on its
    // body and closes with Escape.
    new WindowDrag(this, {GroupBox1, GroupBox2, GroupBox3});

    // textChanged fires only when the text really changes, so a tick that writes the
    // same time rebuilds nothing.
    connect(Command, &QLineEdit::textChanged, this, &TIPsend::CommandChange);
    connect(RangeType, &QLineEdit::textChanged, this, &TIPsend::RangeTypeChange);
    connect(Reference, &QLineEdit::textChanged, this, &TIPsend::ReferenceChange);
    connect(Date, &QLineEdit::textChanged, this, &TIPsend::DateChange);
    connect(Time, &QLineEdit::textChanged, this, &TIPsend::TimeChange);
    connect(Edit1, &QLineEdit::textChanged, this, &TIPsend::Edit1Change);
    connect(Button1, &QPushButton::clicked, this,
            [this] { platform::runHandler([this] { Button1Click(); }); });

    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TIPsend::Timer1Timer);
    Timer1->start();
}

void TIPsend::showEvent(QShowEvent *event)
{
    // Most runs never show this window: its captions are fitted to their text when it is.
    screens::finishLayout(this, {Label1, Label2, Label3, Label4, Label5, Label6, Label7, Label8,
                                 Label9, Label10, Label11});
    QWidget::showEvent(event);
}

void TIPsend::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TIPsend::FormCreate(const QString &settingsPath)
{
    Date->setText(dateText(clock().date()));
    readSettings(settingsPath);
}

void TIPsend::Timer1Timer()
{
    Time->setText(timeText(clock().time()));
}

void TIPsend::CommandChange()
{
    refreshmessage();
}

void TIPsend::RangeTypeChange()
{
    refreshmessage();
}

void TIPsend::ReferenceChange()
{
    refreshmessage();
}

void TIPsend::DateChange()
{
    refreshmessage();
}

void TIPsend::TimeChange()
{
    refreshmessage();
}

void TIPsend::Edit1Change()
{
    noofbytes->setText(QString::number(Edit1->text().size()) + QStringLiteral(" bytes"));
}

void TIPsend::Button1Click()
{
    sendMessageTo(ServerIP->text(), Port->text());
}

void TIPsend::refreshmessage()
{
    const QString body =
        wire::validationBody(QStringLiteral("P"), Reference->text(),
                             piecesByPosition(Date->text(), QLatin1StringView("%2F")),
                             piecesByPosition(Time->text(), QLatin1StringView("%3A")));
    intmessagelength = qint16(wire::frameLength(body));
    // Edit1's own change handler writes its length in bytes into noofbytes first; the
    // frame length written last is what stays.
    Edit1->setText(body);
    messagestring = wire::frameText(body);
    noofbytes->setText(QString::number(intmessagelength));
}

void TIPsend::settingsRead(const QString &server, const QString &port)
{
    if (rfidscreen) {
        rfidscreen->Label8->setText(server);
        rfidscreen->Label9->setText(port);
    }
    if (barcodescreen) {
        barcodescreen->Label8->setText(server);
        barcodescreen->Label9->setText(port);
    }
}

void TIPsend::showReplyLength(int value)
{
    Edit2->setText(QString::number(value));
}

void TIPsend::showReplyItems(const QStringList &items)
{
    strlist->setPlainText(items.join(QLatin1Char('\n')));
}

void TIPsend::showEnding(const QString &text)
{
    SendStatus->setText(text);
}
