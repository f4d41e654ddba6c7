#pragma once

#include <QApplication>

// The kiosk's application object. It gives the program its name, maps the layouts' fonts
// to installed ones, and shows an error that leaves an event handler in a modal error box,
// after which the event loop goes on with the next message.
class Application : public QApplication
{
    Q_OBJECT
public:
    Application(int &argc, char **argv);
    ~Application() override;

    bool notify(QObject *receiver, QEvent *event) override;

    // Shows the text as the framework shows an unhandled error: a modal box with an error
    // icon, the application's title as caption and one OK button.
    static void showError(const QString &message);
};
