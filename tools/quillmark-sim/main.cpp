// quillmark-sim: a stand-in for the range's management server, for demos and tests.

#include "tools/quillmark-sim/kioskconfig.h"
#include "tools/quillmark-sim/simserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QStandardPaths>
#include <cstdio>

namespace {

int fail(const QString &message)
{
    std::fprintf(stderr, "quillmark-sim: %s\n", qPrintable(message));
    return 1;
}

// The demo data and where its state is kept. An installed program (/usr/bin) finds the data
// in ../share/quillmark-sim and keeps the state in the user's data folder, since its own
// folder is not the user's to write; in a build tree the data is the source file and the
// state lies beside the program.
struct DemoFiles
{
    QString data;
    QString state;
};

DemoFiles demoFiles()
{
    const QDir programDir(QCoreApplication::applicationDirPath());
    const QString installed =
        programDir.absoluteFilePath(QStringLiteral("../share/quillmark-sim/demo-data.json"));
    if (!QFileInfo::exists(installed))
        return {QStringLiteral(QUILLMARK_SIM_DEMO_DATA),
                programDir.filePath(QStringLiteral("demo-state.json"))};
    const QString stateDir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(stateDir);
    return {QDir::cleanPath(installed), QDir(stateDir).filePath(QStringLiteral("demo-state.json"))};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillmark-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated Quillmark management server: answers the kiosk's validation and usage "
        "report requests, one per connection, from a JSON data file.\n"
        "Without --state the accounts are written back into the data file; without --data "
        "the bundled demo data is read and its state kept in demo-state.json beside this "
        "program (installed: in ~/.local/share/quillmark-sim), so the data stays untouched."));
    parser.addHelpOption();
    const QCommandLineOption dataOption(
        QStringLiteral("data"), QStringLiteral("JSON data file (default: bundled demo data)."),
        QStringLiteral("file"));
    const QCommandLineOption stateOption(
        QStringLiteral("state"),
        QStringLiteral("State file, read at start when it exists and written atomically after "
                       "each change (default: the data file)."),
        QStringLiteral("file"));
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("TCP port, 0 for a free one (default 50001)."),
        QStringLiteral("n"), QStringLiteral("50001"));
    const QCommandLineOption bindOption(QStringLiteral("bind"),
                                        QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                        QStringLiteral("addr"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption faultOption(QStringLiteral("fault"),
                                         QStringLiteral("Fault for every request: %1.")
                                             .arg(SimFault::modes().join(QStringLiteral(", "))),
                                         QStringLiteral("mode"));
    const QCommandLineOption faultMsOption(
        QStringLiteral("fault-ms"),
        QStringLiteral("Delay (delay), pause between segments (split) or hold time (silent)."),
        QStringLiteral("ms"));
    const QCommandLineOption faultAtOption(QStringLiteral("fault-at"),
                                           QStringLiteral("split: bytes in the first segment."),
                                           QStringLiteral("n"));
    const QCommandLineOption faultKeyOption(QStringLiteral("fault-key"),
                                            QStringLiteral("notanumber: the item to spoil."),
                                            QStringLiteral("name"));
    const QCommandLineOption faultBodyOption(
        QStringLiteral("fault-body"),
        QStringLiteral("raw: the exact reply body; bytes: the exact reply, unframed."),
        QStringLiteral("text"));
    const QCommandLineOption configOption(
        QStringLiteral("write-config"),
        QStringLiteral("Once listening, write the kiosk's config.ini for this server into dir."),
        QStringLiteral("dir"));
    const QCommandLineOption separatorOption(
        QStringLiteral("separator"),
        QStringLiteral("Decimal separator written into config.ini (default \".\")."),
        QStringLiteral("char"), QStringLiteral("."));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
                                         QStringLiteral("Do not log requests and replies."));
    parser.addOptions({dataOption, stateOption, portOption, bindOption, faultOption, faultMsOption,
                       faultAtOption, faultKeyOption, faultBodyOption, configOption,
                       separatorOption, quietOption});
    parser.process(app);

    QString dataPath = parser.value(dataOption);
    QString statePath = parser.value(stateOption);
    if (dataPath.isEmpty()) {
        const DemoFiles demo = demoFiles();
        dataPath = demo.data;
        if (statePath.isEmpty())
            statePath = demo.state;
    }
    if (statePath.isEmpty())
        statePath = dataPath;

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535)
        return fail(QStringLiteral("--port needs a number from 0 to 65535"));
    const QHostAddress address(parser.value(bindOption));
    if (address.isNull())
        return fail(QStringLiteral("--bind needs an IP address"));

    SimFault fault;
    if (parser.isSet(faultOption)) {
        QJsonObject faultJson{{QStringLiteral("mode"), parser.value(faultOption)}};
        if (parser.isSet(faultMsOption))
            faultJson.insert(QStringLiteral("ms"), parser.value(faultMsOption).toInt());
        if (parser.isSet(faultAtOption))
            faultJson.insert(QStringLiteral("at"), parser.value(faultAtOption).toInt());
        faultJson.insert(QStringLiteral("key"), parser.value(faultKeyOption));
        faultJson.insert(QStringLiteral("body"), parser.value(faultBodyOption));
        QString error;
        if (!SimData::parseFault(faultJson, &fault, &error))
            return fail(error);
    }

    SimData data;
    QString error;
    const QString source = QFileInfo::exists(statePath) ? statePath : dataPath;
    if (!data.loadFile(source, &error))
        return fail(error);

    SimServer server(std::move(data), statePath);
    server.globalFault = fault;
    server.logging = !parser.isSet(quietOption);
    if (!server.listen(address, static_cast<quint16>(port)))
        return fail(QStringLiteral("cannot listen on %1:%2: %3")
                        .arg(address.toString())
                        .arg(port)
                        .arg(server.errorString()));
    if (parser.isSet(configOption)) {
        const QString separator = parser.value(separatorOption);
        // A server bound to every interface is still reached by the kiosk on loopback.
        const QString host =
            address == QHostAddress::AnyIPv4 ? QStringLiteral("127.0.0.1") : address.toString();
        const QString written =
            writeKioskConfig(parser.value(configOption), host, server.port(),
                             separator.isEmpty() ? QChar('.') : separator.at(0), &error);
        if (written.isEmpty())
            return fail(error);
        std::fprintf(stderr, "quillmark-sim: wrote %s\n", qPrintable(written));
    }
    std::printf("listening on %s:%u\n", qPrintable(address.toString()), server.port());
    std::fflush(stdout);
    std::fprintf(stderr, "quillmark-sim: data from %s, state kept in %s\n", qPrintable(source),
                 qPrintable(statePath));
    return app.exec();
}
