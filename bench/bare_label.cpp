// The yardstick of the start-up benchmark: the least a Qt Widgets program does to put a
// 1024x768 picture-sized window on the screen. It ends after its first paint, as the kiosk
// does under --quit-when-shown.
#include "shell/quitafterfirstpaint.h"

#include <QApplication>
#include <QLabel>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QLabel label(QStringLiteral("Orvanta"));
    label.setAlignment(Qt::AlignCenter);
    label.resize(1024, 768);
    QuitAfterFirstPaint quitter;
    label.installEventFilter(&quitter);
    label.show();
    return QApplication::exec();
}
