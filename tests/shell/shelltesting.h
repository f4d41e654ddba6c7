#pragma once

// Helpers for the tests of the kiosk shell: the application object, a link settings file,
// mouse input sent through the application, and a watcher that answers modal boxes.

#include "shell/application.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// The kiosk's own application object, so that its error box and end rules are in force.
#define ORVANTA_SHELL_TEST_MAIN(TestClass)                                                         \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        Application app(argc, argv);                                                               \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }

// A link settings file for a server that nothing here contacts.
inline QString writeSettings(const QTemporaryDir &dir)
{
    const QString path = dir.filePath(QStringLiteral("config.ini"));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("127.0.0.1\n50001\n.\n");
    return path;
}

// Mouse input through QApplication::notify, as the window system would deliver it; the
// exit areas lie below any offscreen screen, so positions on the screen do not matter.
// The events carry the times of a clock of their own: a double click is told from them.
inline quint64 &mouseClock()
{
    static quint64 now = 0;
    return now;
}

inline void sendMouse(QWidget *target, QEvent::Type type, quint64 after)
{
    mouseClock() += after;
    const QPointF local = QRectF(target->rect()).center();
    const Qt::MouseButtons buttons =
        type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(Qt::LeftButton);
    QMouseEvent event(type, local, target->mapToGlobal(local), Qt::LeftButton, buttons,
                      Qt::NoModifier);
    event.setTimestamp(mouseClock());
    QApplication::sendEvent(target, &event);
}

// A single click, a second after whatever came before.
inline void click(QWidget *target)
{
    sendMouse(target, QEvent::MouseButtonPress, 1000);
    sendMouse(target, QEvent::MouseButtonRelease, 50);
}

// As Qt delivers one: the second press comes as the double click, 100 ms after the first.
inline void doubleClick(QWidget *target)
{
    click(target);
    sendMouse(target, QEvent::MouseButtonDblClick, 50);
    sendMouse(target, QEvent::MouseButtonRelease, 50);
}

// Waits in the event loop for modal message boxes, notes what each one showed together
// with the top-level windows that existed then, and presses its OK button.
class BoxWatcher : public QObject
{
public:
    struct Seen
    {
        QMessageBox::Icon icon;
        QString title;
        QString text;
        QStringList buttons;
        int topLevelWindows;

        // "icon | caption | text | buttons", for one comparison with a readable difference.
        QString summary() const
        {
            const char *iconName = icon == QMessageBox::Information ? "information"
                                   : icon == QMessageBox::Critical  ? "error"
                                                                    : "other";
            return QStringLiteral("%1 | %2 | %3 | %4")
                .arg(QLatin1String(iconName), title, text, buttons.join(QLatin1Char(',')));
        }
    };
    QList<Seen> seen;

    BoxWatcher()
    {
        m_poll.setInterval(5);
        connect(&m_poll, &QTimer::timeout, this, &BoxWatcher::poll);
        m_poll.start();
    }

private:
    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        Seen s{box->icon(), box->windowTitle(), box->text(), {}, 0};
        for (QAbstractButton *button : box->buttons())
            s.buttons << button->text().remove(QLatin1Char('&'));
        s.topLevelWindows = int(QApplication::topLevelWidgets().size());
        seen << s;
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
    }

    QTimer m_poll;
};
