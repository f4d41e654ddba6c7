#pragma once

#include "platform/singleinstanceguard.h"
#include "platform/stopcontrol.h"

#include <QSize>
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
    // Scales the whole design to fill the screen (see prepareFit).
    bool fit = false;
    // How long a stop waits at most for the bucket under way (see platform::StopControl).
    int stopTimeMs = platform::StopControl::defaultStopTimeMs;
    // Where the record of the bucket under way is kept (with log); empty means
    // kioskStateFolder().
    QString stateFolder;
};

// The kiosk's state folder, which keeps the record of the bucket under way: /var/lib/orvanta
// for the installed kiosk, the folder "state" beside the executable for any other.
QString kioskStateFolder();

// The whole program: answers --help, --version and --check-config without needing a
// display, otherwise starts the application object and runs the kiosk. Returns the exit
// code.
int kioskMain(int argc, char **argv);

// The start-up after the framework's own start: claims the single-instance guard, creates
// the window set, shows the main screen and runs the event loop. Returns the exit code.
// guardName and settingsPath exist for tests; an empty settingsPath means config.ini
// beside the executable. standardError: the journal on standard error that kioskMain keeps
// for the whole program; null makes the kiosk's journal its own.
int runKiosk(const KioskOptions &options,
             const QString &guardName = QString::fromLatin1(platform::kInstanceGuardName),
             const QString &settingsPath = QString(),
             platform::LineJournal *standardError = nullptr);

// The factor that makes the 1024 x 768 design as large as the screen allows without
// cutting any of it off: the design's height fills the screen's, unless the screen is
// narrower than 4:3 and its width bounds the design first.
qreal fitFactor(const QSize &screen);

// For --fit: learns the primary screen's size through the platform and scales the whole
// program by fitFactor through Qt's own high-DPI scaling (QT_SCALE_FACTOR), so that
// fonts, positions, click areas and pictures grow together. Qt reads the factor when the
// application object is made, so this runs before it exists.
void prepareFit(int argc, char **argv);

// Shows the first window of a started kiosk: the main screen and, with --link-test, the
// link test window.
void showFirstScreen(const KioskOptions &options);

// The exit status of a copy that found the guard held: 1 under a systemd service (a
// failure, so that the unit tries again), 0 for a copy started by hand.
int refusedExitCode();

// The box a second copy shows before it ends.
void showAlreadyRunning();
