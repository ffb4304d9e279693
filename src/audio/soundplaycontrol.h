#pragma once
// The playback switch: turns "shield i started/stopped playing" into the start or stop of that
// shield's UDP receiver, and remembers which shields play (asked by the link restart, which ends
// their calls). Lives in the main thread; play_sound arrives queued from the transfer and
// supervisor threads.

#include "base/shieldcount.h"
#include "link/playbackstate.h"

#include <QObject>

#include <array>

class UDPread;

class SoundPlayControl : public QObject, public PlaybackState
{
    Q_OBJECT

public:
    explicit SoundPlayControl(QObject *parent = nullptr) : QObject(parent) {}

    // Connects the start and stop signal of shield i to the receiver of shield i (six receivers).
    void connectReceivers(UDPread *const receivers[maxShields]);

    // The last switch of this shield was a start. Main thread only, like the switch.
    bool isPlaying(quint8 shield) const override;

Q_SIGNALS:
    void udp_start_0();
    void udp_start_1();
    void udp_start_2();
    void udp_start_3();
    void udp_start_4();
    void udp_start_5();
    void udp_stop_0();
    void udp_stop_1();
    void udp_stop_2();
    void udp_stop_3();
    void udp_stop_4();
    void udp_stop_5();

public Q_SLOTS:
    // One start (value true) or stop signal for shields 0 to 5; other addresses are dropped.
    void play_sound_switch(bool value, quint8 addressShield);

private:
    std::array<bool, maxShields> playing{};
};
