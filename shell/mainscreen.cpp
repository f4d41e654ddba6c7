#include "shell/mainscreen.h"

#include "components/BriskComponents.h"
#include "screens/barcodescreen.h"
#include "screens/deferredlayout.h"
#include "screens/rfidscreen.h"
#include "screens/screencover.h"
#include "shell/windowset.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QShowEvent>
#include <QTimer>

namespace {
const QString kWelcome = QStringLiteral("Welcome to Orvanta / Quillmark Integration");
constexpr int kIdleIntervalMs = 20000;
constexpr qint32 kExitDoubleClicks = 4;
constexpr Qt::WindowFlags kWindowFlags = Qt::Window | Qt::FramelessWindowHint;
} // namespace

// The flags go to the constructor too: set only after the layout, they would make every
// control inherit its style a second time.
Tmainscreen::Tmainscreen(QWidget *parent)
    : QWidget(parent, kWindowFlags), Timer2(new QTimer(this)),
      BriskRoutines(new TBriskRoutines(this))
{
    // Tools and tests find the window and its timer by the names the layout gives them;
    // the window keeps its instance name, which the layout would replace by the class's.
    setObjectName(QStringLiteral("mainscreen"));
    Timer2->setObjectName(QStringLiteral("Timer2"));
    setupUi(this);
    // The exit areas keep their distance from the screen's bottom-left corner under --fit.
    auto *cover = new ScreenCover(this);
    cover->outerControls().addCornerControl(Image5);
    cover->outerControls().addCornerControl(Image6);
    // The background at the screen's device pixel ratio (sharp under --fit).
    screens::finishLayout(this, {});
    BriskRoutines->setObjectName(QStringLiteral("BriskRoutines"));
    BriskRoutines->setProperty("Version", QStringLiteral("1.1"));
    // Text controls fit their text, so a caption takes clicks on its letters only.
    for (QLabel *label :
         {static_cast<QLabel *>(Label1), static_cast<QLabel *>(Label2), Label4, Label5})
        label->adjustSize();

    connect(Label1, &ClickArea::clicked, this, &Tmainscreen::Image2Click);
    connect(Image2, &ClickArea::clicked, this, &Tmainscreen::Image2Click);
    connect(Label2, &ClickArea::clicked, this, &Tmainscreen::Image3Click);
    connect(Image3, &ClickArea::clicked, this, &Tmainscreen::Image3Click);
    connect(Image5, &DoubleClickArea::doubleClicked, this, &Tmainscreen::Image5DblClick);
    connect(Image6, &DoubleClickArea::doubleClicked, this, &Tmainscreen::Image6DblClick);

    Timer2->setInterval(kIdleIntervalMs);
    connect(Timer2, &QTimer::timeout, this, &Tmainscreen::Timer2Timer);
    Timer2->start();

    FormCreate();
}

void Tmainscreen::FormCreate()
{
    if (windowFlags() != kWindowFlags)
        setWindowFlags(kWindowFlags);
    // Maximised, and over the whole screen with or without a window manager (ScreenCover).
    setWindowState(Qt::WindowMaximized);
    // A touch kiosk that is also serviced with a mouse: the pointer is never hidden.
    setCursor(Qt::ArrowCursor);
}

void Tmainscreen::FormShow()
{
    Label4->setText(kWelcome);
    Label4->adjustSize();
}

void Tmainscreen::Image2Click()
{
    hide();
    barcodescreen->show();
    barcodescreen->raise();
    barcodescreen->activateWindow();
    Timer2->stop();
}

void Tmainscreen::Image3Click()
{
    Timer2->stop();
    hide();
    rfidscreen->show();
}

void Tmainscreen::Image5DblClick()
{
    ++shutdown;
    if (shutdown == kExitDoubleClicks)
        QCoreApplication::quit();
}

void Tmainscreen::Image6DblClick()
{
    ++shutdown;
}

// The idle tick only ends the idle period. Hiding the screen here would leave the kiosk
// with no window until someone restarts it, since nothing else can show it again.
void Tmainscreen::Timer2Timer()
{
    Timer2->stop();
}

void Tmainscreen::FormClose()
{
    QCoreApplication::quit();
}

void Tmainscreen::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    FormShow();
}

void Tmainscreen::closeEvent(QCloseEvent *event)
{
    QWidget::closeEvent(event);
    FormClose();
}
