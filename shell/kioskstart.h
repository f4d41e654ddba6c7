#pragma once

#include "platform/singleinstanceguard.h"

#include <QString>

// How the kiosk was asked to start, from its command line.
struct KioskOptions
{
    // Also shows the link test window, for technicians.
    bool linkTest = false;
    // Ends the program as soon as the main screen has been painted (start-up benchmark).
    bool quitWhenShown = false;
    // One line per exchange, and the start and end, on standard error.
    bool log = false;
};

// The whole program: answers --help, --version and --check-config without needing a
// display, otherwise starts the application object and runs the kiosk. Returns the exit
// code.
int kioskMain(int argc, char **argv);

// The start-up after the framework's own start: claims the single-instance guard, creates
// the window set, shows the main screen and runs the event loop. Returns the exit code.
// guardName and settingsPath exist for tests; an empty settingsPath means config.ini
// beside the executable.
int runKiosk(const KioskOptions &options,
             const QString &guardName = QString::fromLatin1(platform::kInstanceGuardName),
             const QString &settingsPath = QString());

// The box a second copy shows before it ends.
void showAlreadyRunning();
