// Soak run: the whole kiosk serves customer after customer against the simulated server,
// vouchers and members cards in turns, with the countdown and the pauses shortened. It
// prints the resident memory at every hundredth cycle and the growth between the sample
// cycle (100 by default) and the last, and fails when that growth reaches the limit or a
// cycle goes wrong (no offer, no usage report, the wrong reference, not back on the main
// screen). bench/soak.sh runs it, and a short run of it under LeakSanitizer.
//
// Usage: bench_soak [--cycles N] [--sample N] [--limit-kib N]

#include "link/ipsend.h"
#include "screens/barcodescreen.h"
#include "screens/rfidscreen.h"
#include "shell/mainscreen.h"
#include "shell/windowset.h"
#include "support/simfixture.h"
#include "tools/quillmark-sim/simserver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <unistd.h>

namespace {

struct Options
{
    int cycles = 1000;
    int sample = 100;
    qint64 limitKib = 2048;
};

Options parse(const QStringList &args)
{
    Options options;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString &name = args.at(i);
        const int value = args.at(i + 1).toInt();
        if (name == QLatin1String("--cycles"))
            options.cycles = value;
        else if (name == QLatin1String("--sample"))
            options.sample = value;
        else if (name == QLatin1String("--limit-kib"))
            options.limitKib = value;
    }
    return options;
}

// Resident set size of this process in KiB.
qint64 residentKib()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

constexpr int kCards = 10;
const int bucketBalls[3] = {5, 8, 12};

QString voucherNumber(int cycle)
{
    return QStringLiteral("8%1").arg(cycle, 6, 10, QLatin1Char('0'));
}

// The cards take turns: card cycles go to them one after another.
QString cardNumber(int index)
{
    return QStringLiteral("66%1").arg(index % kCards, 6, 10, QLatin1Char('0'));
}

// A voucher for every voucher cycle and cards whose balances outlast every card cycle.
QByteArray accounts(int cycles)
{
    QJsonArray prices;
    const char *amounts[] = {"20.00", "35.00", "50.00"};
    for (int i = 0; i < 3; ++i)
        prices.append(QJsonObject{{"balls", bucketBalls[i]}, {"price", amounts[i]}});
    QJsonArray cards;
    // Enough for a large bucket in every card cycle, so the three buckets stay on offer.
    const int cardCycles = cycles / 2 + 1;
    const QString balance = QString::number(50 * (cardCycles / kCards + 2)) + QStringLiteral(".00");
    for (int i = 0; i < kCards; ++i)
        cards.append(QJsonObject{{"number", cardNumber(i)}, {"balance", balance}});
    QJsonArray vouchers;
    for (int i = 0; i < cycles; i += 2)
        vouchers.append(QJsonObject{{"number", voucherNumber(i)}, {"balls", 3}, {"used", false}});
    return QJsonDocument(QJsonObject{{"prices", prices},
                                     {"cards", cards},
                                     {"vouchers", vouchers},
                                     {"faults", QJsonObject{}}})
        .toJson(QJsonDocument::Compact);
}

// Everything the event loop would do between two customers, deferred deletions included.
void idle()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// One customer; an empty text when the cycle went as it should, else what went wrong.
QString customer(int cycle, SimFixture &sim)
{
    const bool voucher = cycle % 2 == 0;
    const QString reference = voucher ? voucherNumber(cycle) : cardNumber(cycle / 2);
    QWidget *entry = voucher ? static_cast<QWidget *>(barcodescreen->edbarcode)
                             : static_cast<QWidget *>(rfidscreen->edcardno);
    int group = 0;
    if (voucher)
        mainscreen->Image2Click();
    else
        mainscreen->Image3Click();
    idle();
    QTest::keyClicks(entry, reference);
    QTest::keyClick(entry, Qt::Key_Return);
    if (voucher) {
        if (barcodescreen->choices != 1)
            return QStringLiteral("no offer");
        QTest::mouseClick(barcodescreen->nas, Qt::LeftButton);
    } else {
        if (rfidscreen->choices != 3)
            return QStringLiteral("%1 buckets offered").arg(rfidscreen->choices);
        group = cycle / 2 % 3 + 1;
        QWidget *bucket = group == 1   ? rfidscreen->imgsmallbucket
                          : group == 2 ? rfidscreen->imgmediumbucket
                                       : rfidscreen->imglargebucket;
        QTest::mouseClick(bucket, Qt::LeftButton);
    }
    idle();
    if (!mainscreen->isVisible() || barcodescreen->isVisible() || rfidscreen->isVisible())
        return QStringLiteral("not back on the main screen");
    const QList<SimRequest> requests = sim.requests();
    sim.clearRequests();
    if (requests.size() != 2 || requests.at(1).command != QLatin1String("SetRangeUsage"))
        return QStringLiteral("%1 requests").arg(requests.size());
    if (requests.at(1).reference != reference ||
        (!voucher && requests.at(1).issueGroup != QString::number(group)))
        return QStringLiteral("report for %1 group %2")
            .arg(requests.at(1).reference, requests.at(1).issueGroup);
    return {};
}

// The offscreen platform says so at every opening of the voucher screen.
void withoutRaiseNotes(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text != QLatin1String("This plugin does not support raise()"))
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

} // namespace

int main(int argc, char **argv)
{
    qInstallMessageHandler(withoutRaiseNotes);
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    const Options options = parse(app.arguments());
    if (options.cycles < options.sample || options.sample < 1) {
        std::fprintf(stderr, "usage: bench_soak [--cycles N] [--sample N] [--limit-kib N]\n");
        return 2;
    }

    QTemporaryDir dir;
    SimFixture sim(accounts(options.cycles), [](SimServer &server) { server.logging = false; });
    int failures = 0;
    qint64 sampled = -1;
    qint64 last = -1;
    {
        WindowSet windows(sim.writeConfig(dir.path()));
        // Shortened pacing: one millisecond for each countdown step and each pause.
        barcodescreen->stepMs = rfidscreen->stepMs = 1;
        barcodescreen->failurePauseMs = barcodescreen->reportPauseMs = 1;
        rfidscreen->linkErrorPauseMs = rfidscreen->reportPauseMs = 1;
        mainscreen->show();
        idle();

        QElapsedTimer clock;
        clock.start();
        std::printf("%8s %12s\n", "cycle", "RSS KiB");
        for (int cycle = 1; cycle <= options.cycles; ++cycle) {
            const QString fault = customer(cycle - 1, sim);
            if (!fault.isEmpty()) {
                ++failures;
                std::printf("cycle %d: %s\n", cycle, qPrintable(fault));
            }
            if (cycle % 100 == 0 || cycle == options.sample || cycle == options.cycles) {
                last = residentKib();
                if (cycle == options.sample)
                    sampled = last;
                std::printf("%8d %12lld\n", cycle, last);
                std::fflush(stdout);
            }
        }
        std::printf("%d cycles in %.1f s (%.1f ms a cycle), %d failed\n", options.cycles,
                    clock.elapsed() / 1000.0, double(clock.elapsed()) / options.cycles, failures);
    }

    const qint64 growth = last - sampled;
    const bool memoryMet = growth < options.limitKib;
    std::printf("resident memory: %lld KiB at cycle %d, %lld KiB at cycle %d, growth %lld KiB "
                "(limit < %lld KiB): %s\n",
                sampled, options.sample, last, options.cycles, growth, options.limitKib,
                memoryMet ? "met" : "MISSED");
    return failures == 0 && memoryMet ? 0 : 1;
}
