#include "support/driverharness.h"

#include "audio/soundplaycontrol.h"
#include "audio/udpread.h"
#include "audio/udpwrite.h"
#include "console/consolescan.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"
#include "link/threadspitransmitter.h"
#include "shield/drivercontrol.h"
#include "shield/spiparsers.h"
#include "shield/threadshieldhandler.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QThread>
#include <QUdpSocket>

DriverHarness::DriverHarness(const Options &options)
{
    QStringList words{QStringLiteral("stm-driver")};
    words << options.args;
    settings.parse(words);
    board.reset(new EmulatedBoard(settings.multiShield ? 1 : 0));
    board->setDelayScale(options.delayScale);
    board->gpio_init();
    for (auto &link : links)
        link = new SPIconnector;
    command = new SPIcommand(links, &settings);
    parsers = new SPIparsers(&settings, nullptr, command, options.dialWindowMs, 35,
                             options.dropIntervalMs);
    transferThread = new ThreadSpiTransmitter(static_cast<quint32>(options.transferMs), &settings,
                                              parsers, links, board.get(), &linkMutex);
    supervisorThread = new ThreadShieldHandler(static_cast<unsigned>(options.supervisorMs),
                                               &settings, command, links, &linkMutex, board.get());
    control = new DriverControl(transferThread, supervisorThread, &settings, command, links,
                                board.get());
    control->setCalls(parsers->calls());
    hostReader = new ConsoleScan(command, &settings);
    hostReader->setCalls(parsers->calls());
    QObject::connect(parsers, &SPIparsers::emergency_restart, control,
                     &DriverControl::restart_connect_with_shield);
    QObject::connect(transferThread, &ThreadSpiTransmitter::emergency_restart, control,
                     &DriverControl::restart_connect_with_shield, Qt::DirectConnection);
    QObject::connect(transferThread, &ThreadSpiTransmitter::emergency_restart, control,
                     [this] { ++restarts; }, Qt::DirectConnection);
    QObject::connect(parsers, &SPIparsers::emergency_restart, control, [this] { ++restarts; });
    QObject::connect(parsers, &SPIparsers::play_sound, control,
                     [this](bool on, quint8 s) { playSound.append({on, s}); });
    if (options.hostInPortBase != 0)
        buildAudioPaths(options);
    QObject::connect(supervisorThread, &ThreadShieldHandler::play_sound, control,
                     [this](bool on, uchar s) { playSound.append({on, s}); });
}

void DriverHarness::buildAudioPaths(const Options &options)
{
    for (int i = 0; i < 6; ++i) {
        udpRead[i] = new UDPread(nullptr, &audioMutex[i],
                                 static_cast<quint16>(options.hostInPortBase + 2 * i),
                                 links[i]->audio_queue.get(), board.get());
    }
    playControl = new SoundPlayControl;
    playControl->connectReceivers(udpRead);
    QObject::connect(supervisorThread, &ThreadShieldHandler::play_sound, playControl,
                     &SoundPlayControl::play_sound_switch);
    QObject::connect(parsers, &SPIparsers::play_sound, playControl,
                     &SoundPlayControl::play_sound_switch);
    // A restart ends the calls in progress, as in the driver.
    control->setPlayback(playControl);
    QObject::connect(control, &DriverControl::play_sound, playControl,
                     &SoundPlayControl::play_sound_switch);
    QObject::connect(control, &DriverControl::play_sound, control,
                     [this](bool on, quint8 s) { playSound.append({on, s}); });
    QList<quint16> ports;
    for (int i = 0; i < 6; ++i)
        ports << static_cast<quint16>(options.hostOutPortBase + 2 * i);
    udpWrite = new UdpWrite(nullptr, ports);
    QObject::connect(parsers, &SPIparsers::udp_write, udpWrite, &UdpWrite::write,
                     Qt::DirectConnection);  // as in the driver
}

DriverHarness::~DriverHarness()
{
    delete hostReader;
    delete control;
    delete supervisorThread;
    delete transferThread;
    delete parsers;
    delete command;
    delete udpWrite;
    delete playControl;
    for (auto *reader : udpRead)
        delete reader;
    for (auto *link : links)
        delete link;
}

void DriverHarness::host(const QString &line)
{
    hostReader->processLine(line);
}

void DriverHarness::start()
{
    control->start_connect_with_shield();
}

bool DriverHarness::waitFor(const std::function<bool()> &cond, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!cond()) {
        if (timer.elapsed() > timeoutMs)
            return cond();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

bool DriverHarness::waitForLine(const QString &line, int timeoutMs, int from)
{
    return waitFor([&] { return out().indexOf(line, from) >= 0; }, timeoutMs);
}

bool DriverHarness::waitOnline(int shield, int timeoutMs)
{
    return waitFor(
        [&] {
            return settings.shieldState[shield].getState() == ShieldState::STATE_ONLINE &&
                   settings.shieldState[shield].step == 0;
        },
        timeoutMs);
}

void DriverHarness::underLinkMutex(const std::function<void()> &f)
{
    std::lock_guard<PiMutex> lock(linkMutex);
    f();
}

quint16 DriverHarness::freePortBase()
{
    // Twelve ports in a row that nobody holds now: base + 0 to base + 11.
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int base = 30000 + ((QCoreApplication::applicationPid() * 37 + attempt * 1013) % 30000 & ~1);
        bool free = true;
        for (int i = 0; i < 12 && free; ++i) {
            QUdpSocket probe;
            free = probe.bind(QHostAddress(QHostAddress::LocalHost), static_cast<quint16>(base + i));
        }
        if (free)
            return static_cast<quint16>(base);
    }
    return 0;
}
