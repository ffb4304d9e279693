#include "shield/drivercontrol.h"

#include "base/console.h"
#include "config/settings.h"
#include "link/threadspitransmitter.h"
#include "shield/shieldcontrol.h"
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
    Console::err.line(QStringLiteral("#Restart ALL Shields"));
    restarts.fetch_add(1, std::memory_order_relaxed);
    transmitter->stop();
    handler->stop();
    shieldControl->reboot();
    for (ShieldState &record : settings->shieldState) {
        record.to_null();
        record.setState(ShieldState::STATE_OFFLINE);
    }
    transmitter->start(QThread::InheritPriority);
    handler->start(QThread::InheritPriority);
}
