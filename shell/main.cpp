#include "shell/mainscreen.h"
#include "shell/windowset.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    WindowSet windows;
    mainscreen->showMaximized();
    return app.exec();
}
