#include "shield/callledger.h"

#include "link/spicommand.h"

CallLedger::CallLedger(const SPIcommand *command) : command(command)
{
    for (auto &state : states)
        state.store(open);
}

qint64 CallLedger::requests(quint8 shield) const
{
    return command ? static_cast<qint64>(command->callRequests(shield)) : 0;
}

bool CallLedger::stillOver(qint64 state, quint8 shield) const
{
    return state != open && (state >> 1) == requests(shield);
}

void CallLedger::lineEvent(quint8 shield)
{
    if (shield < maxShields)
        states[shield].store(open);
}

bool CallLedger::hangUp(quint8 shield)
{
    if (shield >= maxShields)
        return true;
    const qint64 told = requests(shield) << 1;
    const qint64 state = states[shield].exchange(told);
    return !(stillOver(state, shield) && (state & byDriver) != 0);
}

bool CallLedger::endCall(quint8 shield)
{
    if (shield >= maxShields)
        return true;
    const qint64 told = requests(shield) << 1 | byDriver;
    qint64 state = states[shield].load();
    bool quiet = false;
    do {
        quiet = stillOver(state, shield);
        if (quiet)
            return false;  // the word stays as it is: who told the host first still counts
    } while (!states[shield].compare_exchange_weak(state, told));
    return true;
}

void CallLedger::audioOn(quint8 shield)
{
    if (shield >= maxShields)
        return;
    qint64 state = states[shield].load();
    while (!stillOver(state, shield)) {
        if (state == open || states[shield].compare_exchange_weak(state, open))
            return;
    }
}

bool CallLedger::isOver(quint8 shield) const
{
    return shield < maxShields && stillOver(states[shield].load(), shield);
}
