#include "shell/application.h"

#include "platform/errorreport.h"
#include "platform/errors.h"

#include <QFont>
#include <QMessageBox>

#include <exception>

namespace {
const QString kTitle = QStringLiteral("Orvanta");

// The layouts name Century Gothic, which Linux machines rarely have. URW Gothic
// (fonts-urw-base35) is a free font of the same geometric design; TeX Gyre Adventor is
// its sibling. Without the mapping Qt would fall back to its default sans.
void mapLayoutFonts()
{
    QFont::insertSubstitutions(QStringLiteral("Century Gothic"),
                               {QStringLiteral("URW Gothic"), QStringLiteral("URW Gothic L"),
                                QStringLiteral("TeX Gyre Adventor")});
}
} // namespace

Application::Application(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(kTitle);
    setApplicationVersion(QStringLiteral(ORVANTA_VERSION));
    // The program ends when its main window is closed or by the staff gesture, never
    // because a customer screen closed while the main screen was hidden.
    setQuitOnLastWindowClosed(false);
    mapLayoutFonts();
    platform::setErrorReporter(&Application::showError);
}

Application::~Application()
{
    platform::setErrorReporter({});
}

bool Application::notify(QObject *receiver, QEvent *event)
{
    // The handler's remaining steps are skipped; the loop carries on with the next message.
    try {
        return QApplication::notify(receiver, event);
    } catch (const KioskError &e) {
        platform::reportError(e.message());
    } catch (const std::exception &e) {
        platform::reportError(QString::fromLocal8Bit(e.what()));
    }
    return false;
}

void Application::showError(const QString &message)
{
    QMessageBox box(QMessageBox::Critical, kTitle, message, QMessageBox::Ok);
    box.exec();
}
