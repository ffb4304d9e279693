#include "support/driverharness.h"

#include "link/spicommand.h"
#include "link/spiconnector.h"
#include "link/threadspitransmitter.h"
#include "shield/drivercontrol.h"
#include "shield/spiparsers.h"
#include "shield/threadshieldhandler.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

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
    QObject::connect(parsers, &SPIparsers::emergency_restart, control,
                     &DriverControl::restart_connect_with_shield);
    QObject::connect(transferThread, &ThreadSpiTransmitter::emergency_restart, control,
                     &DriverControl::restart_connect_with_shield, Qt::DirectConnection);
    QObject::connect(transferThread, &ThreadSpiTransmitter::emergency_restart, control,
                     [this] { ++restarts; }, Qt::DirectConnection);
    QObject::connect(parsers, &SPIparsers::emergency_restart, control, [this] { ++restarts; });
    QObject::connect(parsers, &SPIparsers::play_sound, control,
                     [this](bool on, quint8 s) { playSound.append({on, s}); });
    QObject::connect(supervisorThread, &ThreadShieldHandler::play_sound, control,
                     [this](bool on, uchar s) { playSound.append({on, s}); });
}

DriverHarness::~DriverHarness()
{
    delete control;
    delete supervisorThread;
    delete transferThread;
    delete command;
    for (auto *link : links)
        delete link;
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
    QMutexLocker lock(&linkMutex);
    f();
}
