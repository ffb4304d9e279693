#include "shield/drivercontrol.h"

#include "base/console.h"
#include "base/shieldcount.h"
#include "config/settings.h"
#include "link/playbackstate.h"
#include "link/threadspitransmitter.h"
#include "shield/shieldcontrol.h"
#include "shield/spiparsers.h"
#include "shield/threadshieldhandler.h"

DriverControl::DriverControl(ThreadSpiTransmitter *transmitter, ThreadShieldHandler *handler,
                             Settings *settings, SPIcommand *command, SPIconnector **links,
                             Board *board, QObject *parent)
    : QObject(parent),
      shieldControl(new ShieldControl(settings, command, links, board)),
      transmitter(transmitter),
      handler(handler),
      settings(settings)
{
    shieldControl->setParent(this);
}

void DriverControl::start_connect_with_shield()
{
    connect(shieldControl, &ShieldControl::changeSpiPeriod, this,
            &DriverControl::changeSpiPeriod1, Qt::UniqueConnection);
    shieldControl->reboot();
    transmitter->start(QThread::InheritPriority);
    handler->start(QThread::InheritPriority);
}

void DriverControl::restart_connect_with_shield()
{
    bool idle = false;
    if (!restartBusy.compare_exchange_strong(idle, true))
        return;  // the restart pending or running serves this request too
    if (QThread::currentThread() == thread())
        restart();
    else
        QMetaObject::invokeMethod(this, &DriverControl::restart, Qt::QueuedConnection);
}

void DriverControl::restart()
{
    Console::err.line(QStringLiteral("#Restart ALL Shields"));
    transmitter->stop();
    handler->stop();
    endCalls();
    shieldControl->reboot();
    for (ShieldState &record : settings->shieldState) {
        record.to_null();
        record.setState(ShieldState::STATE_OFFLINE);
    }
    // The transfer loop may have asked again before it stopped: those requests wait in the event
    // queue and this restart serves them, so the way opens only behind them. Requests of the
    // threads started below come after it.
    QMetaObject::invokeMethod(this, [this] { restartBusy = false; }, Qt::QueuedConnection);
    transmitter->start(QThread::InheritPriority);
    handler->start(QThread::InheritPriority);
}

void DriverControl::endCalls()
{
    if (!playback)
        return;
    for (quint8 shield = 0; shield < maxShields; ++shield) {
        if (!playback->isPlaying(shield))
            continue;
        Console::out.line(settings->addressPrefix(shield) + QLatin1String(SPIparsers::dropText));
        Q_EMIT play_sound(false, shield);
    }
}
