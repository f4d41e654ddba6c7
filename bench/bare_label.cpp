// The yardstick of the start-up benchmark: the least a Qt Widgets program does to put a
// 1024x768 label on the screen. Without arguments the label shows a word; given a picture
// file, it shows that picture instead, so that the kiosk can also be compared with a program
// that decodes the same background. It ends after its first paint, as the kiosk does under
// --quit-when-shown.
#include "shell/afterfirstpaint.h"

#include <QApplication>
#include <QLabel>
#include <QPixmap>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QLabel label(QStringLiteral("Orvanta"));
    label.setAlignment(Qt::AlignCenter);
    if (argc > 1)
        label.setPixmap(QPixmap(QString::fromLocal8Bit(argv[1])));
    label.resize(1024, 768);
    AfterFirstPaint quitter(&QCoreApplication::quit);
    label.installEventFilter(&quitter);
    label.show();
    return QApplication::exec();
}
