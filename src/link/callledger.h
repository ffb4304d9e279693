#pragma once
// The calls the host knows of, one per shield: the one home of a call's state and of the "drop"
// line. A call opens when the host reads that a shield's handset dialled or was picked up, or when
// the host asks for a pickup or a dial itself; it closes when the host reads "drop" or ends the
// call with its own drop command. Every call that opened ends once: whoever closes it first (a
// hang-up told, the driver ending it at a lost link, a lost initialisation, a restart or an
// emergency drop, or the host) is the only one to do so, and only a close that finds the call open
// writes a "drop" line.
//
// Told by the transfer thread (events, lost links), the console thread (host commands) and the
// main thread (restart, emergency drop) at once. Each step changes the call and queues its lines
// under one lock, so the host reads the lines in the order of the changes: no host's drop falls
// between a dial's opening and its line. The host's commands are checked against the shield's
// service in the same step; whoever takes a shield out of service (a lost link, a lost
// initialisation, a restart) does so before it ends the shield's call, so a host's command either
// comes before that end or is refused.
//
// The lock is held only for the change and the queuing of its lines (the console stream's own
// lock is taken inside it, nothing else); it lends priority, since the transfer thread takes it.

#include "base/pimutex.h"
#include "base/shieldcount.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <array>
#include <atomic>

class Settings;

class CallLedger
{
public:
    explicit CallLedger(const Settings *settings) : settings(settings) {}

    // A shield's event the host hears of as a call: the call opens (unless it already was) and
    // `text` is written behind the shield's address prefix, in one step.
    void open(quint8 shield, const QString &text);
    // The host asks for a call with its pickup or dial: opens it when the shield is in service;
    // false, and nothing changes, when it is not.
    bool hostOpen(quint8 shield);
    // The host ends the call with its own drop command: closed, and no line is due; false, and
    // nothing changes, when the shield is not in service (the driver ended its call already).
    bool hostDrop(quint8 shield);

    enum class Drop { IfOpen, Always };
    // The driver ends the shield's call: writes `before` (whole lines) and then the "drop" line,
    // when a call was open or `drop` says always, as one block. True when a call was open.
    bool close(quint8 shield, const QStringList &before = {}, Drop drop = Drop::IfOpen);

    // Where a test that plays every thread's work in one thread steps in: called right before and
    // right after each step of the ledger, in the thread that takes it and outside the lock, so
    // that another thread's work can be played there. The driver sets none.
    class Interleave
    {
    public:
        virtual void at(quint8 shield, bool after) = 0;

    protected:
        ~Interleave() = default;
    };
    void setInterleave(Interleave *hook) { interleave.store(hook); }

private:
    // The host's pickup, dial or drop: the call opens or closes when the shield is in service.
    bool hostStep(quint8 shield, bool open);
    // The shield takes the host's commands: online, and its initialisation not lost.
    bool inService(quint8 shield) const;
    void around(quint8 shield, bool after)
    {
        if (Interleave *hook = interleave.load())
            hook->at(shield, after);
    }

    const Settings *settings;
    PiMutex mutex;
    std::array<bool, maxShields> calls{};  // under the mutex
    std::atomic<Interleave *> interleave{nullptr};
};
