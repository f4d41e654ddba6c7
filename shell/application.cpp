#include "shell/application.h"

#include "platform/errorreport.h"

#include <QFont>
#include <QMessageBox>

namespace {
const QString kTitle = QStringLiteral("Orvanta");

// The layouts name Century Gothic, which Linux machines rarely have. URW Gothic
// (fonts-urw-base35) is a free font of the same geometric design; TeX Gyre Adventor is
// its sibling. Without the mapping Qt would fall back to its default sans.
//
// The windows' own font is Tahoma 11 px (the customer screens' footer). Debian has no font
// made to Tahoma's metrics (Wine's Tahoma in fonts-wine is Wine's own design and is not
// given to fontconfig). Nimbus Sans, from the same package as URW Gothic, sets the footer's
// captions as wide as the layouts' boxes allow (82 pixels for "Server Link Port:" where
// the box is 85), where the default DejaVu Sans needs 91 and ran into the value; DejaVu
// Sans Condensed is as narrow. The footer also fits its captions to whatever font comes
// (OuterControls), so a caption never touches its value whichever font is installed.
void mapLayoutFonts()
{
    QFont::insertSubstitutions(QStringLiteral("Century Gothic"),
                               {QStringLiteral("URW Gothic"), QStringLiteral("URW Gothic L"),
                                QStringLiteral("TeX Gyre Adventor")});
    QFont::insertSubstitutions(QStringLiteral("Tahoma"), {QStringLiteral("Nimbus Sans"),
                                                          QStringLiteral("DejaVu Sans Condensed")});
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
    // The last resort for a handler that does not end its errors itself (see
    // platform::runHandler): its remaining steps are skipped and the loop carries on with
    // the next message.
    bool handled = false;
    platform::runHandler([&] { handled = QApplication::notify(receiver, event); });
    return handled;
}

void Application::showError(const QString &message)
{
    QMessageBox box(QMessageBox::Critical, kTitle, message, QMessageBox::Ok);
    box.exec();
}
