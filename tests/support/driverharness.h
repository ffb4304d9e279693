#pragma once
// The driver's link built in-process, as the driver builds it, over an EmulatedBoard whose six
// shields are ShieldModels: settings, link records, command builder, parsers, the transfer and
// supervisor threads and the link control. Periods are short so tests run quickly; the main
// thread's event loop is pumped while waiting, so queued signals reach their receivers.

#include "config/settings.h"
#include "sim/emulatedboard.h"
#include "support/consolecapture.h"

#include <QMutex>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>

class ConsoleScan;
class DriverControl;
class SoundPlayControl;
class UDPread;
class UdpWrite;
class SPIcommand;
class SPIconnector;
class SPIparsers;
class ThreadShieldHandler;
class ThreadSpiTransmitter;

class DriverHarness
{
public:
    struct Options {
        QStringList args;              // command-line words after the program path
        int transferMs = 4;            // transfer cycle
        int supervisorMs = 1;          // supervisor tick
        double delayScale = 0.01;      // reboot delays: 8 ms instead of 800 ms
        int dialWindowMs = 2000;
        int dropIntervalMs = 420000;
        // With audio: the UDP receivers, the playback switch and the UDP sender, on these ports
        // instead of 20003 + 2i and 20002 + 2i (0: no audio paths).
        quint16 hostInPortBase = 0;   // the driver listens on base + 2i
        quint16 hostOutPortBase = 0;  // the driver sends to base + 2i
    };

    explicit DriverHarness(const Options &options);
    DriverHarness() : DriverHarness(Options()) {}
    ~DriverHarness();

    // Reboots the shields and starts both threads, as the driver does at start-up.
    void start();
    // Pumps the main event loop until cond holds or timeoutMs passes; returns cond().
    static bool waitFor(const std::function<bool()> &cond, int timeoutMs = 20000);
    // Waits until the captured standard output holds this line (counting from `from`).
    bool waitForLine(const QString &line, int timeoutMs = 20000, int from = 0);
    bool waitOnline(int shield, int timeoutMs = 20000);
    // One line of the host, read as the driver's console reader reads it (in this thread).
    void host(const QString &line);
    // Runs a function on the link with the transfer loop paused between cycles.
    void underLinkMutex(const std::function<void()> &f);

    QStringList out() const { return console.out(); }
    // A free pair of UDP port ranges for the audio paths (six even-spaced ports each).
    static quint16 freePortBase();
    ShieldModel &model(int shield) { return board->shield(shield); }

    ConsoleCapture console;
    Settings settings;
    std::unique_ptr<EmulatedBoard> board;
    SPIconnector *links[6] = {};
    SPIcommand *command = nullptr;
    SPIparsers *parsers = nullptr;
    PiMutex linkMutex;
    ThreadSpiTransmitter *transferThread = nullptr;
    ThreadShieldHandler *supervisorThread = nullptr;
    DriverControl *control = nullptr;
    ConsoleScan *hostReader = nullptr;
    QMutex audioMutex[6];
    UDPread *udpRead[6] = {};
    SoundPlayControl *playControl = nullptr;
    UdpWrite *udpWrite = nullptr;
    QList<QPair<bool, quint8>> playSound;  // play_sound signals seen in the main thread
    int restarts = 0;                      // restart requests that reached the main thread

private:
    void buildAudioPaths(const Options &options);
};
