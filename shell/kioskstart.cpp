#include "shell/kioskstart.h"

#include "link/ipsend.h"
#include "platform/linejournal.h"
#include "platform/qtmessages.h"
#include "screens/barcodescreen.h"
#include "screens/deferredlayout.h"
#include "screens/outercontrols.h"
#include "screens/rfidscreen.h"
#include "shell/afterfirstpaint.h"
#include "shell/application.h"
#include "shell/configcheck.h"
#include "shell/kioskjournal.h"
#include "shell/linktestwindow.h"
#include "shell/mainscreen.h"
#include "shell/servicewatch.h"
#include "shell/windowset.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <malloc.h>
#include <optional>
#include <vector>

namespace {

// The command line of the kiosk.
class KioskCommandLine
{
public:
    KioskCommandLine()
    {
        m_parser.setApplicationDescription(
            QStringLiteral("Orvanta, the customer terminal of the driving range. Reads the "
                           "server address, port and decimal separator from config.ini "
                           "beside the executable."));
        m_parser.addHelpOption();
        m_parser.addVersionOption();
        m_parser.addOption(m_linkTest);
        m_parser.addOption(m_quitWhenShown);
        m_parser.addOption(m_checkConfig);
        m_parser.addOption(m_log);
        m_parser.addOption(m_fit);
        m_parser.addOption(m_stopTime);
    }

    QCommandLineParser &parser() { return m_parser; }
    bool wantsHelp() const
    {
        return m_parser.isSet(QStringLiteral("help")) || m_parser.isSet(QStringLiteral("help-all"));
    }
    bool wantsVersion() const { return m_parser.isSet(QStringLiteral("version")); }
    bool wantsConfigCheck() const { return m_parser.isSet(m_checkConfig); }
    KioskOptions options() const
    {
        KioskOptions options;
        options.linkTest = m_parser.isSet(m_linkTest);
        options.quitWhenShown = m_parser.isSet(m_quitWhenShown);
        options.log = m_parser.isSet(m_log);
        options.fit = m_parser.isSet(m_fit);
        if (m_parser.isSet(m_stopTime)) {
            bool read = false;
            const int seconds = m_parser.value(m_stopTime).toInt(&read);
            if (read && seconds >= 0 && seconds <= 3600)
                options.stopTimeMs = seconds * 1000;
        }
        return options;
    }

private:
    QCommandLineParser m_parser;
    const QCommandLineOption m_linkTest{
        QStringLiteral("link-test"),
        QStringLiteral("Also show the link test window for technicians: compose a "
                       "validation request, send it to a server of your choice and read "
                       "the parsed reply.")};
    const QCommandLineOption m_quitWhenShown{
        QStringLiteral("quit-when-shown"),
        QStringLiteral("End as soon as the main screen is shown (start-up benchmark).")};
    const QCommandLineOption m_checkConfig{
        QStringLiteral("check-config"),
        QStringLiteral("Check config.ini without starting the kiosk: show each line with its "
                       "blanks and stray bytes, the address the server's name resolves to, the "
                       "port and the decimal separator, and whether the server accepts a TCP "
                       "connection within 5 s. Sends nothing. Exit status 0 when the server can "
                       "be reached and the file lets the kiosk work, 1 otherwise.")};
    const QCommandLineOption m_log{
        QStringLiteral("log"),
        QStringLiteral("Write one line per exchange with the server to standard error (time, "
                       "operation, last four characters of the number, size group, result, "
                       "duration, the link's reason when it gave one), and the start and end. A "
                       "usage report the server did not confirm is marked UNCONFIRMED.")};
    const QCommandLineOption m_fit{
        QStringLiteral("fit"),
        QStringLiteral("Scale the whole 1024x768 design to fill the screen's height (or its "
                       "width, on a screen narrower than 4:3), pictures drawn sharp at that "
                       "size. Everything below the design then lies off the screen, the "
                       "staff exit areas too: end the kiosk from outside then (Ctrl+C, "
                       "kill, or closing its window).")};
    const QCommandLineOption m_stopTime{
        QStringLiteral("stop-time"),
        QStringLiteral("How long a stop (SIGTERM, SIGINT, SIGHUP) waits at most for the bucket "
                       "being counted out, its usage report and the pause after it (default "
                       "60). A second signal ends the kiosk at once; a bucket cut short is "
                       "journalled UNCONFIRMED."),
        QStringLiteral("seconds")};
};

// Everything the first showing of a customer screen would do but the showing itself, one
// screen at a time, so that a touch in between is answered first. A screen that is up
// already has done it.
void prepareCustomerScreens()
{
    QTimer::singleShot(0, mainscreen, [] {
        if (!barcodescreen->isVisible())
            screens::prepareAhead(barcodescreen);
        QTimer::singleShot(0, mainscreen, [] {
            if (!rfidscreen->isVisible())
                screens::prepareAhead(rfidscreen);
        });
    });
}

constexpr int kOwnMappingBytes = 256 * 1024;
constexpr qreal kDesignWidth = 1024;
constexpr qreal kDesignHeight = 768;

} // namespace

int kioskMain(int argc, char **argv)
{
    // Pictures are decoded into buffers of megabytes that live a moment (under --fit a
    // background's 2x variant, 12 MB, before it is resampled). glibc maps the first such
    // buffer on its own and gives it back when freed, but then raises its threshold and
    // serves the next ones from its heap, which keeps what they leave free: 18 MB of the
    // kiosk's memory under --fit on 1920 x 1080 that nothing used. With the threshold
    // fixed, every buffer of this size comes and goes as a mapping of its own.
    mallopt(M_MMAP_THRESHOLD, kOwnMappingBytes);

    // Qt's own warnings go out through a bounded queue from the very start: a blocking
    // write to a standard error that nobody reads would stop the kiosk before it shows.
    platform::LineJournal standardError(2);
    const platform::QtMessagesToJournal qtMessages(standardError);
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // A first look for the texts that must print also where no display is. Qt's own
    // options (-platform and the like) are unknown here, so parse errors wait for later.
    KioskCommandLine early;
    early.parser().parse(arguments);
    if (early.wantsConfigCheck()) {
        QCoreApplication core(argc, argv);
        ConfigCheck check(kioskSettingsPath());
        const bool works = check.run();
        std::fputs(check.report().toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
        return works ? 0 : 1;
    }
    if (early.wantsHelp() || early.wantsVersion()) {
        QCoreApplication core(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Orvanta"));
        QCoreApplication::setApplicationVersion(QStringLiteral(ORVANTA_VERSION));
        if (early.wantsHelp())
            early.parser().showHelp(0);
        early.parser().showVersion();
    }
    if (early.options().fit)
        prepareFit(argc, argv);
    Application app(argc, argv);
    KioskCommandLine commandLine;
    commandLine.parser().process(app);
    return runKiosk(commandLine.options(), QString::fromLatin1(platform::kInstanceGuardName),
                    QString(), &standardError);
}

QString kioskStateFolder()
{
    const QString folder = QCoreApplication::applicationDirPath();
    if (folder == QLatin1String(ORVANTA_INSTALLED_DIR))
        return QStringLiteral(ORVANTA_INSTALLED_STATE_DIR);
    return folder + QStringLiteral("/state");
}

qreal fitFactor(const QSize &screen)
{
    if (screen.isEmpty())
        return 1;
    return qMin(screen.height() / kDesignHeight, screen.width() / kDesignWidth);
}

void prepareFit(int argc, char **argv)
{
    // A factor left in the environment would already be in the size learnt below; --fit
    // sets the whole factor itself.
    qunsetenv("QT_SCALE_FACTOR");
    qreal factor = 1;
    {
        // The application object takes Qt's own options (-platform and the like) out of
        // the arguments it is given, so it gets copies and the real one finds them all.
        std::vector<QByteArray> copies(argv, argv + argc);
        std::vector<char *> arguments;
        for (QByteArray &copy : copies)
            arguments.push_back(copy.data());
        arguments.push_back(nullptr);
        int count = argc;
        // Only the platform's screens are wanted: a bare GUI application, no widgets.
        const QGuiApplication probe(count, arguments.data());
        if (const QScreen *screen = QGuiApplication::primaryScreen())
            factor = fitFactor(screen->geometry().size());
    }
    // Locale-free: the text is read back by Qt, which expects a dot.
    if (!qFuzzyCompare(factor, qreal(1)))
        qputenv("QT_SCALE_FACTOR", QByteArray::number(factor, 'g', 17));
}

void showFirstScreen(const KioskOptions &options)
{
    // Once the main screen is up, the start-up benchmark ends; a kiosk that runs on uses
    // the idle time to get its customer screens ready.
    auto *afterPaint =
        new AfterFirstPaint(options.quitWhenShown ? std::function<void()>(&QCoreApplication::quit)
                                                  : std::function<void()>(&prepareCustomerScreens),
                            mainscreen);
    mainscreen->installEventFilter(afterPaint);
    mainscreen->showMaximized();
    // Clear of the customer's controls where the screen has room, above the kiosk's screens.
    if (options.linkTest)
        linktest::showBeside(IPsend, {mainscreen, barcodescreen, rfidscreen});
}

void showAlreadyRunning()
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Information"),
                    QStringLiteral("Orvanta Is Starting Or Already Running"), QMessageBox::Ok);
    box.exec();
}

int refusedExitCode()
{
    // systemd sets INVOCATION_ID for every service it runs, RUNTIME_DIRECTORY with the
    // unit's RuntimeDirectory. There a refused start is a failure, which Restart=on-failure
    // answers with another try; a copy started by hand ends as it always did.
    const bool underService = qEnvironmentVariableIsSet("INVOCATION_ID") ||
                              qEnvironmentVariableIsSet("RUNTIME_DIRECTORY");
    return underService ? 1 : 0;
}

int runKiosk(const KioskOptions &options, const QString &guardName, const QString &settingsPath,
             platform::LineJournal *standardError)
{
    std::optional<KioskJournal> journal;
    if (options.log) {
        if (standardError)
            journal.emplace(*standardError);
        else
            journal.emplace();
    }
    // A stop waits for the bucket under way; at any other time it ends the kiosk at once.
    platform::StopControl stops(journal ? &journal->lines() : nullptr, options.stopTimeMs);
    // Held until the process ends; the running copy learns nothing of a refused one.
    const platform::SingleInstanceGuard guard(guardName);
    if (guard.alreadyRunning()) {
        if (journal)
            journal->refused();
        showAlreadyRunning();
        return refusedExitCode();
    }

    // The controls beyond the design area follow the scaled design's corners.
    OuterControls::setFitted(options.fit);
    // Under the kiosk's unit: READY=1 once the main screen is up, and the watchdog.
    ServiceWatch watch;
    WindowSet windows(settingsPath);
    if (journal) {
        journal->started(*IPsend);
        // The record of a bucket that an earlier run left behind is told and removed;
        // only the copy that holds the guard may take it over.
        stops.keepRecordsIn(options.stateFolder.isEmpty() ? kioskStateFolder()
                                                          : options.stateFolder);
    }
    showFirstScreen(options);
    watch.readyAfterFirstPaint(mainscreen);
    const int exitCode = QApplication::exec();
    if (journal)
        journal->ended(exitCode);
    return exitCode;
}
