#include "config/shieldstate.h"

ShieldState::ShieldState()
{
    intercom = 0;
    flagAdrGate = false;
    setConsoleModeRead(MODE_READ_COMMAND);
}

void ShieldState::resetAllStateResponseFlag()
{
    ping1Response = false;
    ping2Response = true;
    lostInit = false;
    firmwareResponse = false;
    shieldResponse = false;
    id0Response = false;
    id1Response = false;
    id2Response = false;
    intercomResponse = false;
    virtualListAck = true;
    blackListAck = true;
}

void ShieldState::to_null()
{
    resetAllStateResponseFlag();
    firmware = 0;
    beta = 0;
    shield = 0;
    revision = 0;
    id_0 = 0;
    id_1 = 0;
    id_2 = 0;
}

bool ShieldState::hasAllStateResponseFlag() const
{
    return firmwareResponse && shieldResponse && id0Response && id1Response && id2Response &&
           intercomResponse;
}

void ShieldState::setState(State s)
{
    step = 0;
    tickCount = 0;
    state = s;
    if (s == STATE_OFFLINE) {
        setConsoleModeRead(MODE_READ_COMMAND);
        sendDialplan = false;
    }
}

void ShieldState::setConsoleModeRead(ConsoleModeRead_em m)
{
    if (m == MODE_READ_VIRTUAL_LIST)
        clearList(virtualList);
    else if (m == MODE_READ_BLACK_LIST)
        clearList(blackList);
    consoleModeRead = m;
}

void ShieldState::addApartment(ApartmentList &list, quint16 apartment)
{
    if (apartment > lastApartment)
        return;
    list[apartment / 32].fetch_or(quint32(1) << (apartment % 32));
}

quint16 ShieldState::listWord16(const ApartmentList &list, int k)
{
    const quint32 word = list[static_cast<size_t>(k / 2)].load();
    return static_cast<quint16>((k % 2) ? (word >> 16) : (word & 0xFFFF));
}

void ShieldState::clearList(ApartmentList &list)
{
    for (auto &word : list)
        word = 0;
}
