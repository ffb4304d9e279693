#include "audio/soundplaycontrol.h"

void SoundPlayControl::play_sound_switch(bool value, quint8 addressShield)
{
    using Signal = void (SoundPlayControl::*)();
    static const Signal starts[6] = {
        &SoundPlayControl::udp_start_0, &SoundPlayControl::udp_start_1,
        &SoundPlayControl::udp_start_2, &SoundPlayControl::udp_start_3,
        &SoundPlayControl::udp_start_4, &SoundPlayControl::udp_start_5,
    };
    static const Signal stops[6] = {
        &SoundPlayControl::udp_stop_0, &SoundPlayControl::udp_stop_1,
        &SoundPlayControl::udp_stop_2, &SoundPlayControl::udp_stop_3,
        &SoundPlayControl::udp_stop_4, &SoundPlayControl::udp_stop_5,
    };
    if (addressShield > 5)
        return;
    Q_EMIT(this->*(value ? starts : stops)[addressShield])();
}
