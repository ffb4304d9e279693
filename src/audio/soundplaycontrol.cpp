#include "audio/soundplaycontrol.h"

#include "audio/udpread.h"

void SoundPlayControl::connectReceivers(UDPread *const receivers[maxShields])
{
    using Switch = void (SoundPlayControl::*)();
    const Switch starts[maxShields] = {&SoundPlayControl::udp_start_0, &SoundPlayControl::udp_start_1,
                             &SoundPlayControl::udp_start_2, &SoundPlayControl::udp_start_3,
                             &SoundPlayControl::udp_start_4, &SoundPlayControl::udp_start_5};
    const Switch stops[maxShields] = {&SoundPlayControl::udp_stop_0, &SoundPlayControl::udp_stop_1,
                            &SoundPlayControl::udp_stop_2, &SoundPlayControl::udp_stop_3,
                            &SoundPlayControl::udp_stop_4, &SoundPlayControl::udp_stop_5};
    for (int i = 0; i < maxShields; ++i)
        connect(this, starts[i], receivers[i], &UDPread::udpStart);
    for (int i = 0; i < maxShields; ++i)
        connect(this, stops[i], receivers[i], &UDPread::udpStop);
}

bool SoundPlayControl::isPlaying(quint8 shield) const
{
    return shield < maxShields && playing[shield];
}

void SoundPlayControl::play_sound_switch(bool value, quint8 addressShield)
{
    if (addressShield < maxShields)
        playing[addressShield] = value;
    switch (addressShield) {
    case 0:
        value ? Q_EMIT udp_start_0() : Q_EMIT udp_stop_0();
        break;
    case 1:
        value ? Q_EMIT udp_start_1() : Q_EMIT udp_stop_1();
        break;
    case 2:
        value ? Q_EMIT udp_start_2() : Q_EMIT udp_stop_2();
        break;
    case 3:
        value ? Q_EMIT udp_start_3() : Q_EMIT udp_stop_3();
        break;
    case 4:
        value ? Q_EMIT udp_start_4() : Q_EMIT udp_stop_4();
        break;
    case 5:
        value ? Q_EMIT udp_start_5() : Q_EMIT udp_stop_5();
        break;
    default:
        break;  // no such shield
    }
}
