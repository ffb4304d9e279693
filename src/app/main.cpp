// The driver process: reads its options, opens the board, builds and wires the link to the
// shields, and runs the main event loop until it is stopped (SIGTERM, SIGINT) or killed, or its
// host stops reading its standard output.

#include "audio/soundplaycontrol.h"
#include "audio/udpread.h"
#include "audio/udpwrite.h"
#include "base/console.h"
#include "base/qtcompat.h"
#include "base/realtime.h"
#include "board/boardconfigured.h"
#include "board/boardsimbus.h"
#include "config/settings.h"
#include "console/consolescan.h"
#include "link/capturering.h"
#include "link/linkrecords.h"
#include "link/spicommand.h"
#include "link/spitransmitter.h"
#include "link/threadspitransmitter.h"
#include "shield/drivercontrol.h"
#include "shield/spiparsers.h"
#include "shield/threadshieldhandler.h"
#include "sim/emulatedboard.h"
#include "stand/stand.h"
#include "status/statusserver.h"

#include <QCoreApplication>
#include <QList>
#include <QMutex>
#include <QThread>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>

#include <pthread.h>
#include <unistd.h>

namespace {

// Should stopping the link hang, the driver still ends this long after its host went away.
constexpr std::chrono::seconds endBackstop(2);

// The host no longer reads standard output: nothing the driver does reaches anybody. Stops the
// transfers, releases the GPIO lines and the SPI node (or the bus socket) and ends the process at
// once; the console thread is blocked on standard input, so no destructor is waited for.
[[noreturn]] void endWithoutHost(const Settings &settings, ThreadSpiTransmitter &transferThread,
                                 ThreadShieldHandler &supervisorThread, Board &board)
{
    Console::err.line(
        QStringLiteral("#ERROR: standard output is closed, the host has gone: "
                       "the driver stops"));
    std::thread([] {
        std::this_thread::sleep_for(endBackstop);
        _exit(1);
    }).detach();
    transferThread.stop();
    supervisorThread.stop();
    if (settings.spi != 0)
        board.spi1_deinit();
    else
        board.spi_deinit();
    board.lib_deinit();
    Console::err.flush(endBackstop);
    _exit(1);
}

// What a stop waits for: a transfer cycle that took events just before it finishes its lines,
// then each stream gets this long to be written.
constexpr std::chrono::milliseconds stopSettle(50);
constexpr std::chrono::milliseconds stopFlushEach(1000);

// SIGTERM and SIGINT (systemctl stop, the host ending the driver, Ctrl-C) stop the driver in
// order, from a thread of their own: no more events are taken from the shields (they keep them),
// the lines queued for the host and the log are written, for a second or two at most, and the
// process then ends by the signal as it would have without this. Called first in main, so that
// every thread started later leaves the two signals to this one.
void stopOnSignals()
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::thread([stops] {
        int signal = 0;
        while (sigwait(&stops, &signal) != 0) {
        }
        Console::out.holdBack();
        std::this_thread::sleep_for(stopSettle);
        Console::flushAll(stopFlushEach);
        std::signal(signal, SIG_DFL);
        sigset_t own;
        sigemptyset(&own);
        sigaddset(&own, signal);
        pthread_sigmask(SIG_UNBLOCK, &own, nullptr);
        std::raise(signal);
        _exit(128 + signal);  // not reached: the signal ends the process
    }).detach();
}

// -rtprio N: the transfer thread runs at SCHED_FIFO N and the supervisor one step below, so that
// when both are due at once the bus keeps its grid and the supervisor's short tick follows (its
// mean period is what counts; it runs while a transfer waits on the bus). Refused, the driver
// says so once and runs on at normal priority.
void applyRealTime(Settings &settings, ThreadSpiTransmitter &transferThread,
                   ThreadShieldHandler &supervisorThread)
{
    if (settings.rtprio == 0)
        return;
    const RealTime::Grant grant = RealTime::request(settings.rtprio);
    const QString option = QStringLiteral("#WARNING: -rtprio %1: ").arg(settings.rtprio);
    if (!grant.priority) {
        Console::err.line(option + grant.refused + QStringLiteral(": running at normal priority"));
        settings.rtprio = 0;
        return;
    }
    if (!grant.memory) {
        Console::err.line(option + grant.refused +
                          QStringLiteral(": running at real-time priority, memory not locked"));
    }
    transferThread.setRealTimePriority(settings.rtprio);
    supervisorThread.setRealTimePriority(std::max(RealTime::lowest, settings.rtprio - 1));
}

std::unique_ptr<Board> createBoard(const Settings &settings)
{
    if (settings.emulate)
        return std::make_unique<EmulatedBoard>(settings.selectLevel());
    if (settings.simbus)
        return std::make_unique<BoardSimbus>(settings.simbusPath);
    return std::make_unique<BoardConfigured>(settings.boardName, settings.spidevPath,
                                             settings.spiHz);
}

}  // namespace

int main(int argc, char *argv[])
{
    stopOnSignals();
    // 1. Standard output unbuffered: every host line leaves with its end-of-line.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // A host or simulator that goes away must not kill the driver by a signal: a write to it
    // fails with EPIPE instead, which the driver handles.
    std::signal(SIGPIPE, SIG_IGN);
    // Qt's own messages queue behind the driver's diagnostics instead of writing themselves.
    Console::routeQtMessages();

    // 2. to 4.
    Settings settings;
    // The threads that wait in an event loop (main, console) use Qt's own dispatcher rather than
    // glib's: a wake-up costs about half the instructions, and nothing here needs glib's.
    qputenv("QT_NO_GLIB", "1");
    QtCompat::quietLocaleNotice();
    QCoreApplication app(argc, argv);
    settings.parser_param(argc, argv);

    // 5. The banner.
    Console::out.line(QStringLiteral("#STM_driver_2v") + QString::number(1) + QString::number(8));
    Console::out.line(QStringLiteral("KVT_STM_Driver 2.") + QString::number(1) +
                      QString::number(8));
    Console::out.line();

    // Every object below lives until main returns, which in operation it never does; each has
    // one owner here, and they are destroyed in reverse order of creation.

    // 6. and 7. The board: library, SPI, GPIO.
    const std::unique_ptr<Board> board = createBoard(settings);
    Stand stand(nullptr, &settings, board.get());
    board->lib_init();
    if (settings.spi != 0)
        board->spi1_init();
    else
        board->spi_init();
    board->gpio_init();

    // 8. The six link records, shield 0 first, with the link mutex that guards them.
    LinkRecords links;
    // The exchanges for capture clients of the status socket: a ring only while one captures.
    CaptureTap capture;

    // 9. The command builder and the parsers.
    SPIcommand command(links.records(), &settings);
    SPIparsers parsers(&settings, &stand, &command);

    // 10. The two periodic threads, not started yet.
    ThreadSpiTransmitter transferThread(16, &settings, &parsers, links.records(), board.get(),
                                        links.mutex());
    ThreadShieldHandler supervisorThread(2, &settings, &command, links.records(), links.mutex(),
                                         board.get());
    transferThread.getTransmitter()->setCapture(&capture);
    applyRealTime(settings, transferThread, supervisorThread);

    // 11. Audio from the host: shield i listens on port 20003 + 2i while it plays.
    QMutex audioMutex[maxShields];
    std::array<std::unique_ptr<UDPread>, maxShields> receivers;
    UDPread *udpRead[maxShields];
    for (int i = 0; i < maxShields; ++i) {
        receivers[i] =
            std::make_unique<UDPread>(nullptr, &audioMutex[i], static_cast<quint16>(20003 + 2 * i),
                                      links[i].audio_queue.get(), board.get());
        udpRead[i] = receivers[i].get();
        receivers[i]->setCounters(&links[i].counters);
    }

    // 12. The playback switch starts and stops the receivers.
    SoundPlayControl playControl(nullptr);
    playControl.connectReceivers(udpRead);
    QObject::connect(&supervisorThread, &ThreadShieldHandler::play_sound, &playControl,
                     &SoundPlayControl::play_sound_switch);
    QObject::connect(&parsers, &SPIparsers::play_sound, &playControl,
                     &SoundPlayControl::play_sound_switch);

    // 13. Audio to the host: shield i sends to port 20002 + 2i. The transfer thread sends each
    // block itself, right after the shield's exchange (the sockets never block it), instead of
    // queueing it for the main thread's event loop.
    const QList<quint16> ports = {20002, 20004, 20006, 20008, 20010, 20012};
    UdpWrite udpWrite(nullptr, ports);
    QObject::connect(&parsers, &SPIparsers::udp_write, &udpWrite, &UdpWrite::write,
                     Qt::DirectConnection);

    // 14. The console reader, in a thread of its own.
    QThread consoleThread;
    consoleThread.setObjectName(QStringLiteral("stm-console"));
    ConsoleScan consoleScan(&command, &settings);
    consoleScan.setCalls(parsers.calls());  // the host's pickups, dials and drops
    QObject::connect(&consoleThread, &QThread::started, &consoleScan, &ConsoleScan::cycle_scan);
    consoleScan.moveToThread(&consoleThread);

    // 15. The link control.
    DriverControl driverControl(&transferThread, &supervisorThread, &settings, &command,
                                links.records(), board.get());
    QObject::connect(&parsers, &SPIparsers::emergency_restart, &driverControl,
                     &DriverControl::restart_connect_with_shield);
    QObject::connect(&transferThread, &ThreadSpiTransmitter::emergency_restart, &driverControl,
                     &DriverControl::restart_connect_with_shield, Qt::DirectConnection);
    QObject::connect(&driverControl, &DriverControl::changeSpiPeriod1, &transferThread,
                     &ThreadSpiTransmitter::slotChangeSpiPeriod, Qt::DirectConnection);
    // A restart ends the calls in progress: the host hears "drop" for those it knows of, and the
    // playback switch stops the audio that runs.
    driverControl.setPlayback(&playControl);
    driverControl.setCalls(parsers.calls());
    QObject::connect(&driverControl, &DriverControl::play_sound, &playControl,
                     &SoundPlayControl::play_sound_switch);

    // The status socket for technicians; it only reads, so it can be set up last. Without it
    // (-status none, or a warning) the driver runs the same.
    StatusServer statusServer(&settings, links.records(), &driverControl);
    statusServer.setCapture(&capture);
    statusServer.setBusBudget(&transferThread.getTransmitter()->busBudget());
    statusServer.listen(settings.statusPath);

    // 16. Reboot the shields, start the transfer thread, then the supervisor thread.
    driverControl.start_connect_with_shield();

    // 17. Host commands are read only once the link has started.
    consoleThread.start();

    // The driver ends with its host: a line that finds no reader, written by any thread, has the
    // main thread stop everything (also when it broke before this point).
    Console::out.setBrokenPipeHandler([&] {
        QMetaObject::invokeMethod(
            &app, [&] { endWithoutHost(settings, transferThread, supervisorThread, *board); },
            Qt::QueuedConnection);
    });

    // 18. The main event loop; nothing asks it to quit.
    const int status = app.exec();
    Console::out.setBrokenPipeHandler({});
    // The transfer thread sends the shields' audio through udpWrite, which is destroyed before
    // the thread object: the cycles end first.
    transferThread.stop();
    return status;
}
