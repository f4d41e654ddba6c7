#include "shell/kioskstart.h"

#include "link/ipsend.h"
#include "screens/barcodescreen.h"
#include "screens/deferredlayout.h"
#include "screens/rfidscreen.h"
#include "shell/afterfirstpaint.h"
#include "shell/application.h"
#include "shell/configcheck.h"
#include "shell/kioskjournal.h"
#include "shell/mainscreen.h"
#include "shell/servicewatch.h"
#include "shell/windowset.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

#include <cstdio>
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
                       "be reached, 1 otherwise.")};
    const QCommandLineOption m_log{
        QStringLiteral("log"),
        QStringLiteral("Write one line per exchange with the server to standard error (time, "
                       "operation, last four characters of the number, size group, result, "
                       "duration), and the start and end. A usage report the server did not "
                       "confirm is marked UNCONFIRMED.")};
    const QCommandLineOption m_fit{
        QStringLiteral("fit"),
        QStringLiteral("Scale the whole 1024x768 design to fill the screen's height (or its "
                       "width, on a screen narrower than 4:3), pictures drawn sharp at that "
                       "size. Everything below the design then lies off the screen, the "
                       "staff exit areas too: end the kiosk from outside then (Ctrl+C, "
                       "kill, or closing its window).")};
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

constexpr qreal kDesignWidth = 1024;
constexpr qreal kDesignHeight = 768;

} // namespace

int kioskMain(int argc, char **argv)
{
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
        const bool reachable = check.run();
        std::fputs(check.report().toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
        return reachable ? 0 : 1;
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
    return runKiosk(commandLine.options());
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
    if (options.linkTest)
        IPsend->show();
}

void showAlreadyRunning()
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Information"),
                    QStringLiteral("Orvanta Is Starting Or Already Running"), QMessageBox::Ok);
    box.exec();
}

int runKiosk(const KioskOptions &options, const QString &guardName, const QString &settingsPath)
{
    std::optional<KioskJournal> journal;
    if (options.log)
        journal.emplace();
    // Held until the process ends; the running copy learns nothing of a refused one.
    const platform::SingleInstanceGuard guard(guardName);
    if (guard.alreadyRunning()) {
        if (journal)
            journal->refused();
        showAlreadyRunning();
        return 0;
    }

    // Under the kiosk's unit: READY=1 once the main screen is up, and the watchdog.
    ServiceWatch watch;
    WindowSet windows(settingsPath);
    if (journal)
        journal->started(*IPsend);
    showFirstScreen(options);
    watch.readyAfterFirstPaint(mainscreen);
    const int exitCode = QApplication::exec();
    if (journal)
        journal->ended(exitCode);
    return exitCode;
}
