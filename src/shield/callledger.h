#pragma once
// Whether the host has been told that a shield's call is over, so that each call gets one "drop"
// line whatever the order in which its endings come: the shield's hang-up, the emergency drop of
// a hang-up watchdog, and a restart of the link, which ends the calls still playing. A hang-up
// leaves its shield playing until the shield answers the audio-off command a few cycles later,
// and an audio-on command queued before a call ended may be answered after it: neither must make
// the restart tell the host of that call again.
//
// A call counts as over once told, until something happens on its shield again: a line event
// (dial, pickup, key, ...) or a call request of the host (pickup, dial, audio on) queued since.
// Used by the transfer thread (events, replies) and the main thread (emergency drop, restart);
// each shield's state is one atomic word, changed by compare-and-swap.

#include "base/shieldcount.h"

#include <QtGlobal>

#include <array>
#include <atomic>

class SPIcommand;

class CallLedger
{
public:
    // command: where the host's call requests are counted (none: nothing is counted).
    explicit CallLedger(const SPIcommand *command);

    // A line event of the shield other than a hang-up: a call may be under way.
    void lineEvent(quint8 shield);
    // The shield hung up; the call is over. True when the host is to hear "drop": false only when
    // the driver itself has just told it so (emergency drop or restart) and nothing happened on
    // the shield since.
    bool hangUp(quint8 shield);
    // The driver ends the shield's call (emergency drop, restart). True when the host is to hear
    // "drop": false when it was already told this call is over and nothing happened since.
    bool endCall(quint8 shield);
    // The shield says its audio is on. A call told over stays over when the host asked nothing of
    // the shield since (the answer is late: its command was queued before the end); otherwise the
    // call is under way again.
    void audioOn(quint8 shield);
    // The host has been told the shield's call is over and nothing happened since.
    bool isOver(quint8 shield) const;

private:
    // The state word: `open`, or over: the count of call requests when the host was told, shifted
    // left by one, with bit 0 set when the driver told it (not the shield's hang-up).
    static constexpr qint64 open = -1;
    static constexpr qint64 byDriver = 1;

    qint64 requests(quint8 shield) const;
    // Over, and nothing happened since the host was told.
    bool stillOver(qint64 state, quint8 shield) const;

    const SPIcommand *command;
    std::array<std::atomic<qint64>, maxShields> states;
};
