// shield-sim: plays one to six shields on the simulated bus, so the driver can run without the
// board. A person types commands on standard input; a scenario file plays them with timings.
// Standard output tells what the shields see.

#include "base/qtcompat.h"
#include "shield-sim/scenario.h"
#include "shield-sim/simbusserver.h"
#include "shield-sim/simcontrol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSet>
#include <QStringList>
#include <QTextStream>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <fcntl.h>
#include <sys/un.h>
#include <unistd.h>

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

// The transfer log of --timing-log: the serving thread only appends to a buffer in memory, so
// the file never slows a transfer down; a writer thread of its own empties the buffer into the
// file every 50 ms.
class TimingLog
{
public:
    bool open(const QString &path)
    {
        fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        std::thread([this] {
            for (;;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                flush();
            }
        }).detach();
        return true;
    }

    // Serving thread.
    void record(const SimbusServer::Transfer &t)
    {
        char line[160];
        const long long ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(t.at.time_since_epoch()).count();
        int n = std::snprintf(line, sizeof line, "T %lld %d %u ", ns, t.shield,
                              static_cast<unsigned>(t.length));
        const auto hex = [&](const quint8 *bytes, int from) {
            for (int i = from; i < from + 8; ++i) {
                const unsigned value = i < t.length ? bytes[i] : 0u;
                n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "%02x", value);
            }
            line[n++] = ' ';
        };
        hex(t.sent, 0);
        hex(t.received, 0);
        if (t.length >= 16) {
            hex(t.sent, 8);
            hex(t.received, 8);
        }
        line[n - 1] = '\n';
        std::lock_guard<std::mutex> lock(mutex);
        pending.append(line, static_cast<size_t>(n));
    }

    // Writer thread, and the serving thread when the driver goes.
    void flush()
    {
        std::lock_guard<std::mutex> writing(writeMutex);  // chunks reach the file in order
        std::string out;
        {
            std::lock_guard<std::mutex> lock(mutex);
            out.swap(pending);
        }
        size_t done = 0;
        while (done < out.size()) {
            const ssize_t w = ::write(fd, out.data() + done, out.size() - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return;
            done += static_cast<size_t>(w);
        }
    }

private:
    int fd = -1;
    std::mutex writeMutex;
    std::mutex mutex;
    std::string pending;  // guarded by mutex
};

// Never destroyed: its writer thread runs until the process ends, whichever way it ends.
TimingLog &timingLog = *new TimingLog;

// The socket's path, copied before the handlers are installed: a signal handler may not allocate.
char socketToRemove[sizeof(sockaddr_un::sun_path)];

void onSignal(int)
{
    if (socketToRemove[0] != '\0')
        ::unlink(socketToRemove);
    ::_exit(0);
}

}  // namespace

int main(int argc, char *argv[])
{
    QtCompat::quietLocaleNotice();
    QCoreApplication app(argc, argv);
    QString socketPath = QStringLiteral("/tmp/stm-simbus.sock");
    QString scenarioPath;
    QSet<int> present = {0, 1, 2, 3, 4, 5};
    int selectLevel = -1;
    bool verbose = false;
    QString timingLogPath;
    quint32 busHz = 0;
    QStringList setUp;  // control commands for every shield present, "S" standing for it

    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        const auto value = [&]() -> QString {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "shield-sim: %s needs a value\n", qPrintable(a));
                std::exit(2);
            }
            return args.at(++i);
        };
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::fputs(usage, stdout);
            std::fputs(qPrintable(SimControl::help() + QLatin1Char('\n')), stdout);
            return 0;
        } else if (a == QLatin1String("--socket")) {
            socketPath = value();
        } else if (a == QLatin1String("--scenario")) {
            scenarioPath = value();
        } else if (a == QLatin1String("--shields")) {
            present.clear();
            for (const QString &s : value().split(QLatin1Char(','))) {
                bool ok = false;
                const int n = s.toInt(&ok);
                if (!ok || n < 0 || n > 5) {
                    std::fprintf(stderr, "shield-sim: --shields takes addresses 0-5, e.g. 0,1\n");
                    return 2;
                }
                present.insert(n);
            }
        } else if (a == QLatin1String("--multishield")) {
            selectLevel = 1;
        } else if (a == QLatin1String("--single")) {
            selectLevel = 0;
        } else if (a == QLatin1String("--verbose")) {
            verbose = true;
        } else if (a == QLatin1String("--timing-log")) {
            timingLogPath = value();
        } else if (a == QLatin1String("--flash-ecc") || a == QLatin1String("--flash-stop-after") ||
                   a == QLatin1String("--flash-ack-lost")) {
            bool ok = false;
            const uint n = value().toUInt(&ok);
            const bool ecc = a == QLatin1String("--flash-ecc");
            if (!ok || (ecc ? n != 8 && n != 16 : n < 1 || n > 1000000)) {
                std::fprintf(stderr, "shield-sim: %s takes %s\n", qPrintable(a),
                             ecc ? "8 or 16 (bytes)" : "a count from 1");
                return 2;
            }
            if (ecc)
                setUp << QStringLiteral("ecc S %1").arg(n);
            else if (a == QLatin1String("--flash-stop-after"))
                setUp << QStringLiteral("blfault S stop write %1").arg(n + 1);
            else
                setUp << QStringLiteral("blfault S ackloss write %1").arg(n);
        } else if (a == QLatin1String("--bus-hz")) {
            bool ok = false;
            const uint hz = value().toUInt(&ok);
            if (!ok || hz > 100000000) {
                std::fprintf(stderr,
                             "shield-sim: --bus-hz takes a clock in Hz up to 100000000, "
                             "or 0 for replies at once\n");
                return 2;
            }
            busHz = hz;
        } else {
            std::fprintf(stderr, "shield-sim: unknown option %s (see --help)\n", qPrintable(a));
            return 2;
        }
    }

    Scenario scenario({});
    if (!scenarioPath.isEmpty() && !Scenario::load(scenarioPath, &scenario)) {
        std::fprintf(stderr, "shield-sim: cannot read scenario %s\n", qPrintable(scenarioPath));
        return 1;
    }
    for (const QString &fault : scenario.faults())
        std::fprintf(stderr, "shield-sim: %s: %s\n", qPrintable(scenarioPath), qPrintable(fault));

    SimbusServer::TransferObserver logTransfer;
    if (!timingLogPath.isEmpty()) {
        if (!timingLog.open(timingLogPath)) {
            std::fprintf(stderr, "shield-sim: cannot write %s\n", qPrintable(timingLogPath));
            return 1;
        }
        logTransfer = [](const SimbusServer::Transfer &t) { timingLog.record(t); };
    }
    SimbusServer server(selectLevel, socketPath, logTransfer);
    if (!server.listening()) {
        std::fprintf(stderr, "shield-sim: cannot listen on %s\n", qPrintable(socketPath));
        return 1;
    }
    server.setBusHz(busHz);
    const QByteArray socketName = socketPath.toLocal8Bit();
    std::snprintf(socketToRemove, sizeof socketToRemove, "%s", socketName.constData());
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    EmulatedBoard &board = server.board();
    for (int s = 0; s < 6; ++s) {
        board.shield(s).setMute(!present.contains(s));
        board.shield(s).setObserver([verbose](quint8 shield, const QString &what) {
            if (verbose || !quietLine(what))
                print(QStringLiteral("shield %1: %2").arg(shield).arg(what));
        });
    }
    const bool logging = !timingLogPath.isEmpty();
    server.setConnectionObserver([logging](bool connected) {
        if (!connected && logging)
            timingLog.flush();
        print(connected ? QStringLiteral("driver connected") : QStringLiteral("driver gone"));
    });
    print(QStringLiteral("shield-sim listening on ") + socketPath);

    SimControl control(&board);
    for (const QString &command : setUp) {
        for (int s : present) {
            QString answer;
            control.execute(
                QString(command).replace(QLatin1String(" S "), QStringLiteral(" %1 ").arg(s)),
                &answer);
        }
    }
    if (!scenarioPath.isEmpty()) {
        std::thread([&control, scenario] {
            scenario.play(&control, print, [](int ms) {
                std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            });
        }).detach();
    }

    // Commands from a person, until standard input ends; the shields go on serving after that.
    std::thread([&control] {
        std::string line;
        while (std::getline(std::cin, line)) {
            QString answer;
            const bool ok = control.execute(QString::fromStdString(line), &answer);
            if (!answer.isEmpty())
                print(ok ? answer : QStringLiteral("error: ") + answer);
        }
    }).detach();

    return app.exec();
}
