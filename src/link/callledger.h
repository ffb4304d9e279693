#pragma once
// The calls the host knows of, one per shield: the one home of a call's state. A call opens when
// the host reads that a shield's handset dialled or was picked up, or when the host asks for a
// pickup or a dial itself; it closes when the host reads "drop" or ends the call with its own
// drop command. Every call that opened ends once: whoever closes it first (a hang-up told, the
// driver ending it at a lost link, a lost initialisation, a restart or an emergency drop, or the
// host) is the only one to do so, and only a close that finds the call open asks for a "drop"
// line.
//
// Told by the transfer thread (events, lost links), the console thread (host commands) and the
// main thread (restart, emergency drop) at once: each shield's call is one atomic flag, so no
// caller ever waits.

#include "base/shieldcount.h"

#include <QtGlobal>

#include <array>
#include <atomic>

class CallLedger
{
public:
    // The host heard of a call on the shield, or asked for one: open unless it already was.
    void open(quint8 shield);
    // The driver ends the shield's call: true, and the call is closed, when one was open, so the
    // caller writes the "drop" line; false when the host already heard of its end.
    bool close(quint8 shield);
    // The host ended the call with its own drop command: closed, and no line is due.
    void hostDrop(quint8 shield) { close(shield); }

private:
    std::array<std::atomic<bool>, maxShields> calls{};
};
