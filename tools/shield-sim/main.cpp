// shield-sim: plays one to six shields on the simulated bus, so the driver can run without the
// board. A person types commands on standard input; a scenario file plays them with timings.
// Standard output tells what the shields see.

#include "base/qtcompat.h"
#include "common/optionreader.h"
#include "common/safefile.h"
#include "common/stopsignals.h"
#include "shield-sim/scenario.h"
#include "shield-sim/simbusserver.h"
#include "shield-sim/simcontrol.h"
#include "shield-sim/timinglog.h"

#include <QCoreApplication>
#include <QSet>
#include <QStringList>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

const char *const usage =
    "Usage: shield-sim [options]\n"
    "Plays up to six intercom line boards (shields) on the simulated bus that stm-driver reaches\n"
    "with -simbus PATH. Start shield-sim first, then the driver with the same PATH.\n"
    "\n"
    "Options:\n"
    "  --socket PATH      the bus socket (default /tmp/stm-simbus.sock)\n"
    "  --shields LIST     the shields present, e.g. 0,1 (default 0-5); the others stay silent\n"
    "  --multishield      chip select 1 selects a shield (the driver runs with -multishield)\n"
    "  --single           chip select 0 selects (the driver runs without -multishield)\n"
    "                     (default: the one line that differs from the other five is selected)\n"
    "  --scenario FILE    play the commands of FILE (one per line, \"wait MS\" between them);\n"
    "                     a line \"repeat\" plays it again from the top\n"
    "  --verbose          also print pings and every list word\n"
    "  --bus-hz HZ        hold each SPI reply for the time the transfer takes on a bus of this\n"
    "                     clock (the driver's is 1562500: 8 bytes 41 us, 528 bytes 2.70 ms);\n"
    "                     default 0, replies at once\n"
    "  --timing-log FILE  write one line per SPI transfer to FILE (for bench/run):\n"
    "                     T <steady-clock ns> <shield or -1> <length> <8 bytes sent> <8 bytes\n"
    "                     received> and, for long packets, <first 8 audio bytes sent> <first 8\n"
    "                     audio bytes received>; bytes in hex. Written every 50 ms and when\n"
    "                     the driver goes\n"
    "STM32 bootloader faults, for every shield (the commands ecc and blfault below, given\n"
    "before anything runs):\n"
    "  --flash-ecc BYTES  flash with error correction: each flash word of BYTES (8 or 16) is\n"
    "                     programmed once after an erase, and a write over it is refused\n"
    "  --flash-stop-after N\n"
    "                     the bootloader answers nothing after its Nth block write (Write\n"
    "                     Memory), until the shield restarts: a run cut half-way\n"
    "  --flash-ack-lost N the Nth block write is done but its acknowledge is lost\n"
    "  --help             this text\n"
    "\n"
    "Standard input takes the same commands as a scenario. Output lines: \"shield N: executed\n"
    "open door 7\", \"shield N: event acknowledged: dial 300\", \"driver connected\", ...\n"
    "\n";

std::mutex printMutex;

void print(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::lock_guard<std::mutex> lock(printMutex);
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

bool quietLine(const QString &what)
{
    // Pings, the list words and the hand-offs of a blank shield fill the screen; the end of each
    // list is enough.
    if (what == QLatin1String("executed ping 1") || what == QLatin1String("executed ping 2"))
        return true;
    // A blank shield is handed off by the driver in every cycle.
    if (what.endsWith(QLatin1String(": no application there")))
        return true;
    if (what.startsWith(QLatin1String("executed virtual list word ")) ||
        what.startsWith(QLatin1String("executed black list word ")))
        return !what.endsWith(QLatin1String(" 63"));
    return false;
}

// Never destroyed: its writer thread runs until the process ends, whichever way it ends.
TimingLog &timingLog = *new TimingLog;

struct Options {
    QString socketPath = QStringLiteral("/tmp/stm-simbus.sock");
    QString scenarioPath;
    QSet<int> present = {0, 1, 2, 3, 4, 5};
    int selectLevel = -1;
    bool verbose = false;
    QString timingLogPath;
    quint32 busHz = 0;
    QStringList setUp;  // control commands for every shield present, "S" standing for it
    bool help = false;
};

// --shields LIST: the addresses present.
void readShields(OptionReader &args, QSet<int> *present)
{
    const QString list = args.value();
    present->clear();
    for (const QString &s : list.split(QLatin1Char(','))) {
        bool ok = false;
        const int n = s.toInt(&ok);
        if (!ok || n < 0 || n > 5)
            return args.fail(QStringLiteral("--shields takes addresses 0-5, e.g. 0,1"));
        present->insert(n);
    }
}

// The bootloader faults of every shield, as the commands that set them up.
void readFlashFault(OptionReader &args, QStringList *setUp)
{
    qint64 n = 0;
    if (args.is("--flash-ecc")) {
        if (args.number(8, 16, &n, QStringLiteral("8 or 16 (bytes)")) && n != 8 && n != 16)
            args.fail(QStringLiteral("--flash-ecc takes 8 or 16 (bytes)"));
        *setUp << QStringLiteral("ecc S %1").arg(n);
    } else if (args.number(1, 1000000, &n, QStringLiteral("a count from 1"))) {
        if (args.is("--flash-stop-after"))
            *setUp << QStringLiteral("blfault S stop write %1").arg(n + 1);
        else
            *setUp << QStringLiteral("blfault S ackloss write %1").arg(n);
    }
}

// The options; false with the problem told on standard error.
bool readOptions(const QStringList &words, Options *o)
{
    OptionReader args(words);
    while (args.next()) {
        if (args.is("--help") || args.is("-h")) {
            o->help = true;
            return true;
        } else if (args.is("--socket")) {
            o->socketPath = args.value();
        } else if (args.is("--scenario")) {
            o->scenarioPath = args.value();
        } else if (args.is("--shields")) {
            readShields(args, &o->present);
        } else if (args.is("--multishield") || args.is("--single")) {
            o->selectLevel = args.is("--multishield") ? 1 : 0;
        } else if (args.is("--verbose")) {
            o->verbose = true;
        } else if (args.is("--timing-log")) {
            o->timingLogPath = args.value();
        } else if (args.is("--flash-ecc") || args.is("--flash-stop-after") ||
                   args.is("--flash-ack-lost")) {
            readFlashFault(args, &o->setUp);
        } else if (qint64 hz = 0; args.is("--bus-hz")) {
            if (args.number(
                    0, 100000000, &hz,
                    QStringLiteral("a clock in Hz up to 100000000, or 0 for replies at once")))
                o->busHz = static_cast<quint32>(hz);
        } else {
            args.fail(QStringLiteral("unknown option ") + args.word() +
                      QStringLiteral(" (see --help)"));
        }
    }
    if (!args.ok())
        std::fprintf(stderr, "shield-sim: %s\n", qPrintable(args.problem()));
    return args.ok();
}

// The bus server with its shields, their lines on standard output and the transfer log; null
// when it cannot serve (told on standard error). Stop signals remove its socket.
std::unique_ptr<SimbusServer> startServer(const Options &o)
{
    SimbusServer::TransferObserver logTransfer;
    if (!o.timingLogPath.isEmpty()) {
        if (!timingLog.open(o.timingLogPath)) {
            std::fprintf(stderr, "shield-sim: cannot write %s (%s)\n", qPrintable(o.timingLogPath),
                         qPrintable(SafeFile::reason(errno)));
            return nullptr;
        }
        logTransfer = [](const SimbusServer::Transfer &t) { timingLog.record(t); };
    }
    auto server = std::make_unique<SimbusServer>(o.selectLevel, o.socketPath, logTransfer);
    if (!server->listening()) {
        std::fprintf(stderr, "shield-sim: cannot listen on %s\n", qPrintable(o.socketPath));
        return nullptr;
    }
    server->setBusHz(o.busHz);
    StopSignals::exitOnStop(o.socketPath.toLocal8Bit());

    EmulatedBoard &board = server->board();
    for (int s = 0; s < 6; ++s) {
        board.shield(s).setMute(!o.present.contains(s));
        board.shield(s).setObserver([verbose = o.verbose](quint8 shield, const QString &what) {
            if (verbose || !quietLine(what))
                print(QStringLiteral("shield %1: %2").arg(shield).arg(what));
        });
    }
    server->setConnectionObserver([logging = !o.timingLogPath.isEmpty()](bool connected) {
        if (!connected && logging)
            timingLog.flush();
        print(connected ? QStringLiteral("driver connected") : QStringLiteral("driver gone"));
    });
    print(QStringLiteral("shield-sim listening on ") + o.socketPath);
    return server;
}

// The set-up commands of the options for every shield present, then the scenario and a person's
// commands, each in a thread of its own. A person's commands run until standard input ends; the
// shields go on serving after that.
void runCommands(SimControl &control, const Options &o, const Scenario &scenario)
{
    for (const QString &command : o.setUp) {
        for (int s : o.present) {
            QString answer;
            control.execute(
                QString(command).replace(QLatin1String(" S "), QStringLiteral(" %1 ").arg(s)),
                &answer);
        }
    }
    if (!o.scenarioPath.isEmpty()) {
        std::thread([&control, scenario] {
            scenario.play(&control, print, [](int ms) {
                std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            });
        }).detach();
    }
    std::thread([&control] {
        std::string line;
        while (std::getline(std::cin, line)) {
            QString answer;
            const bool ok = control.execute(QString::fromStdString(line), &answer);
            if (!answer.isEmpty())
                print(ok ? answer : QStringLiteral("error: ") + answer);
        }
    }).detach();
}

}  // namespace

int main(int argc, char *argv[])
{
    QtCompat::quietLocaleNotice();
    QCoreApplication app(argc, argv);
    Options o;
    if (!readOptions(app.arguments().mid(1), &o))
        return 2;
    if (o.help) {
        std::fputs(usage, stdout);
        std::fputs(qPrintable(SimControl::help() + QLatin1Char('\n')), stdout);
        return 0;
    }
    Scenario scenario({});
    if (!o.scenarioPath.isEmpty() && !Scenario::load(o.scenarioPath, &scenario)) {
        std::fprintf(stderr, "shield-sim: cannot read scenario %s\n", qPrintable(o.scenarioPath));
        return 1;
    }
    for (const QString &fault : scenario.faults())
        std::fprintf(stderr, "shield-sim: %s: %s\n", qPrintable(o.scenarioPath), qPrintable(fault));

    const std::unique_ptr<SimbusServer> server = startServer(o);
    if (!server)
        return 1;
    SimControl control(&server->board());
    runCommands(control, o, scenario);
    return app.exec();
}
