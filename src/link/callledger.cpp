#include "link/callledger.h"

void CallLedger::open(quint8 shield)
{
    if (shield < maxShields)
        calls[shield].store(true);
}

bool CallLedger::close(quint8 shield)
{
    return shield < maxShields && calls[shield].exchange(false);
}
