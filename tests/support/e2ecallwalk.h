#pragma once
// A numbered random walk over calls against the real stm-driver and shield-sim (three shields,
// several-shield mode): shield events (dial, pickup, pickup with audio, hang-up) and the host's
// pickup, dial and drop on shields in service, a few cycles apart, with faults among them at
// random places: a bootloader byte that restarts the link, a shield that stops answering until
// the driver has lost it and then answers again (in the first quarter: the loss takes some 12 s,
// and the walk goes on with the other shields meanwhile), a lost initialisation, a dial flood.
// It ends with a restart, and then holds what the host saw against the promise of one "drop" per
// call (support/calltranscript.h).
//
// Each step waits for its own effect before the next one (the simulator's acknowledgement of an
// event, the driver's answer to a marker command behind a host command), so the host's commands
// take their true place among the driver's lines. Main thread only: it runs the event loop of
// E2eProcess while it waits.

#include <QString>
#include <QStringList>

struct E2eCallWalk {
    struct Plan {
        int steps = 200;
        int restarts = 0;  // besides the one at the end
        int losses = 1;
        int lostInits = 1;
        int floods = 0;
    };
    struct Result {
        QString fault;      // empty when the promise held and every step had its effect
        QStringList steps;  // what the walk did, in order
        QString summary;    // how many steps of each kind, calls and "drop" lines
        QString output;     // both programs' output, for a failure message
    };
    static Result run(quint32 number, const Plan &plan, const QString &simProgram,
                      const QString &driverProgram);
};
