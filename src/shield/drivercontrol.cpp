#include "shield/drivercontrol.h"

#include "base/console.h"
#include "base/shieldcount.h"
#include "config/settings.h"
#include "link/callledger.h"
#include "link/playbackstate.h"
#include "link/threadspitransmitter.h"
#include "shield/shieldcontrol.h"
#include "shield/threadshieldhandler.h"

#include <QCoreApplication>
#include <QEvent>

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

const CycleOverruns &DriverControl::cycleOverruns() const
{
    return transmitter->overruns();
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
    restarts.fetch_add(1, std::memory_order_relaxed);
    transmitter->stop();
    handler->stop();
    // What both threads said before they stopped is handled now, not after the reboot: a start
    // or stop of playback they reported counts for the calls ended here, and a further restart
    // request of theirs finds this restart busy and is served by it.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    // Out of service before their calls end: the host's commands come before that end, or are
    // refused until the shields are back.
    for (ShieldState &record : settings->shieldState)
        record.setState(ShieldState::STATE_OFFLINE);
    endCalls();
    shieldControl->reboot();
    for (ShieldState &record : settings->shieldState) {
        record.to_null();
        record.setState(ShieldState::STATE_OFFLINE);
    }
    restartBusy = false;  // requests of the threads started below ask for a restart of their own
    transmitter->start(QThread::InheritPriority);
    handler->start(QThread::InheritPriority);
}

void DriverControl::endCalls()
{
    for (quint8 shield = 0; shield < maxShields; ++shield) {
        if (calls)
            calls->close(shield);
        if (playback && playback->isPlaying(shield))
            Q_EMIT play_sound(false, shield);
    }
}
