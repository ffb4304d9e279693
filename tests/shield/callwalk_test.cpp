// Random walks over the life of calls: shield events (dial, pickup, pickup with audio, hang-up),
// the host's pickup, dial and drop, a bootloader byte that restarts the link, a shield lost and
// back, lost initialisation and the emergency drop, a few cycles apart. The real transfer loop,
// parsers, supervisor, console reader and link control run on emulated shields, all driven from
// this thread, so a walk replays exactly and RapidCheck can shrink a failing one.
//
// A step may carry a second one of another thread, played inside it at the call ledger's step for
// the same shield, right before or right after it: a lost link, a lost initialisation or a
// restart inside the host's command, the host's command inside a shield's event. A command the
// driver took (it wrote no refusal) counts where the host reads it: before whatever the step
// inside it wrote.
//
// After each walk, per shield: every call the host heard of (a dial or pickup line, or its own
// pickup or dial) ended once, with a "drop" line or its own drop; no "drop" came without an open
// call, except the emergency drop's; a lost shield's call ended before "shield_disconect", a lost
// initialisation's right after its warning, and a restart's before the shields came back.

#include "config/settings.h"
#include "console/consolescan.h"
#include "link/spicommand.h"
#include "link/spitransmitter.h"
#include "link/threadspitransmitter.h"
#include "shield/drivercontrol.h"
#include "shield/shielhandler.h"
#include "shield/spiparsers.h"
#include "shield/threadshieldhandler.h"
#include "sim/emulatedboard.h"
#include "sim/shieldmodel.h"
#include "support/calltranscript.h"
#include "support/consolecapture.h"
#include "support/shieldlinks.h"

#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

namespace {

constexpr int present = 3;         // shields 0 to 2 answer; 3 to 5 are not fitted
constexpr quint8 dialLimit = 6;    // a flood comes within reach of a walk
constexpr int ticksPerCycle = 8;   // supervisor ticks (2 ms) per transfer cycle (16 ms)
constexpr int loseCycles = 1000;   // more than a lost link takes (151 time-outs of 5 cycles)

struct Step {
    enum Kind { Event, Host, BootloaderByte, LoseLink, LoseInit, EmergencyDrop } kind;
    int shield;
    int what;    // Event: dial, pickup, pickup with audio, hang-up; Host: pickup, dial, drop
    int cycles;  // transfer cycles after the step
    // Played inside this one at the ledger's step for the shield: for a host command a lost
    // link, a lost initialisation or a restart (BootloaderByte), for an event a host command
    // (`innerWhat`). Event: none.
    Kind inner = Event;
    int innerWhat = 0;
    bool innerAfter = false;  // after the ledger's step, not before it
};

const char *const eventNames[] = {"dials", "picks up", "picks up with audio", "hangs up"};
const char *const hostWords[] = {"pickup", "dial 300", "drop"};

void showValue(const Step &step, std::ostream &os);

void showInner(const Step &step, std::ostream &os)
{
    if (step.inner == Step::Event)
        return;
    os << ", and " << (step.innerAfter ? "right after" : "right before") << " its call step: ";
    if (step.inner == Step::BootloaderByte)
        os << "the link restarts";
    else
        showValue(Step{step.inner, step.shield, step.innerWhat, 0}, os);
}

void showValue(const Step &step, std::ostream &os)
{
    switch (step.kind) {
        case Step::Event:
            os << "shield " << step.shield << ' ' << eventNames[step.what];
            break;
        case Step::Host:
            os << "host: " << step.shield << ' ' << hostWords[step.what];
            break;
        case Step::BootloaderByte:
            os << "shield " << step.shield << " sends 0x79";
            break;
        case Step::LoseLink:
            os << "shield " << step.shield << " stops answering until lost, then answers";
            break;
        case Step::LoseInit:
            os << "shield " << step.shield << " loses its initialisation";
            break;
        case Step::EmergencyDrop:
            os << "the hang-up watchdog fires";
            break;
    }
    showInner(step, os);
    if (step.cycles > 0)
        os << ", " << step.cycles << " cycles";
}

rc::Gen<Step> stepGen()
{
    const auto kind = rc::gen::weightedElement<Step::Kind>({{12, Step::Event},
                                                            {8, Step::Host},
                                                            {1, Step::BootloaderByte},
                                                            {1, Step::LoseLink},
                                                            {1, Step::LoseInit},
                                                            {1, Step::EmergencyDrop}});
    const auto inner = rc::gen::weightedElement<Step::Kind>({{12, Step::Event},
                                                             {1, Step::LoseLink},
                                                             {1, Step::LoseInit},
                                                             {1, Step::BootloaderByte},
                                                             {3, Step::Host}});
    return rc::gen::apply(
        [](Step::Kind k, int shield, int what, int cycles, Step::Kind in, int inWhat, bool after) {
            Step step{k, shield, k == Step::Host ? what % 3 : what, cycles};
            // Another thread's work inside: host commands inside events, the rest inside host
            // commands.
            if (k == Step::Event ? in == Step::Host : k == Step::Host && in != Step::Host)
                step.inner = in;
            step.innerWhat = inWhat % 3;
            step.innerAfter = after;
            return step;
        },
        kind, rc::gen::inRange(0, present), rc::gen::inRange(0, 4), rc::gen::inRange(1, 13), inner,
        rc::gen::inRange(0, 3), rc::gen::arbitrary<bool>());
}

// The driver's link as main builds it, over emulated shields; the two periodic threads run but
// never tick: this thread runs their cycles and ticks.
class Rig : public ShieldLinks, CallLedger::Interleave
{
public:
    Rig()
    {
        settings.parse({QStringLiteral("x"), QStringLiteral("-multishield"), QStringLiteral("-ic"),
                        QStringLiteral("10")});
        board = std::make_unique<EmulatedBoard>(1);
        board->setDelayScale(0);
        board->gpio_init();
        for (int s = present; s < maxShields; ++s)
            board->shield(s).setMute(true);
        parsers = std::make_unique<SPIparsers>(&settings, nullptr, &command, 2000, dialLimit);
        transfer = std::make_unique<ThreadSpiTransmitter>(never, &settings, parsers.get(),
                                                          pointers, board.get(), &linkMutex);
        supervisor = std::make_unique<ThreadShieldHandler>(never, &settings, &command, pointers,
                                                           &linkMutex, board.get());
        control = std::make_unique<DriverControl>(transfer.get(), supervisor.get(), &settings,
                                                  &command, pointers, board.get());
        control->setCalls(parsers->calls());
        host.setCalls(parsers->calls());
        parsers->calls()->setInterleave(this);
        const auto ask = [this] { restartAsked = true; };
        QObject::connect(transfer->getTransmitter(), &SPItransmitter::emergency_restart, ask);
        QObject::connect(parsers.get(), &SPIparsers::emergency_restart, ask);
        control->start_connect_with_shield();
    }
    ~Rig()
    {
        transfer->stop();
        supervisor->stop();
    }

    // One transfer cycle and the supervisor ticks of its period; a restart asked for in it runs
    // next, as the main thread would run it.
    void cycle()
    {
        transfer->getTransmitter()->main_func();
        for (int t = 0; t < ticksPerCycle; ++t)
            supervisor->getHandler()->main_func();
        if (restartAsked)
            restart();
    }
    void restart()
    {
        restartAsked = false;
        note();
        transcript << QStringLiteral("= restart");
        control->restart_connect_with_shield();
        note();
        transcript << QStringLiteral("= restarted");
    }
    bool online(int shield) const
    {
        return settings.shieldState[size_t(shield)].getState() == ShieldState::STATE_ONLINE;
    }

    void apply(const Step &step)
    {
        ShieldModel &model = board->shield(step.shield);
        if (step.inner != Step::Event)
            inner = step;
        switch (step.kind) {
            case Step::Event: {
                static const quint8 codes[] = {0x80, 0x81, 0x85, 0x83};
                if (step.what == 0)
                    model.raiseDial(300);
                else
                    model.raiseEvent(codes[step.what], 0);
                break;
            }
            case Step::Host:
                hostLine(step.shield, step.what);
                break;
            case Step::BootloaderByte:
                model.sendBootloaderAck();
                break;
            case Step::LoseLink:
                loseLink(step.shield);
                break;
            case Step::LoseInit:
                model.setLostInit(true);
                break;
            case Step::EmergencyDrop:
                parsers->emergency_drop();
                break;
        }
        // What a host command carries is played within it or not at all; an event's ledger step
        // comes in a cycle.
        if (step.kind == Step::Host)
            inner.reset();
        for (int c = 0; c < step.cycles; ++c)
            cycle();
        inner.reset();
    }

    // The host's command, in the console thread; taken unless the driver refused it.
    void hostLine(int shield, int what)
    {
        note();
        const int at = transcript.size();
        const QString line =
            QStringLiteral("%1 %2").arg(shield).arg(QLatin1String(hostWords[what]));
        host.processLine(line);
        note();
        const QString refusal =
            QStringLiteral("< #WARNING: Address %1 not available for command").arg(shield);
        if (!transcript.mid(at).contains(refusal))
            transcript.insert(at, QStringLiteral("> ") + line);
    }
    void loseLink(int shield)
    {
        ShieldModel &model = board->shield(shield);
        model.setMute(true);
        for (int c = 0; c < loseCycles && !links[size_t(shield)].get_skip_flag() && online(shield);
             ++c)
            cycle();
        model.setMute(false);
    }
    // A lost initialisation, until the driver has taken the shield out of service for it.
    void loseInit(int shield)
    {
        board->shield(shield).setLostInit(true);
        for (int c = 0; c < loseCycles && online(shield); ++c)
            cycle();
    }

    // The ledger takes a step: the work of another thread that the walk put here comes now.
    void at(quint8 shield, bool after) override
    {
        if (!inner || inner->shield != shield || inner->innerAfter != after)
            return;
        const Step step = *inner;
        inner.reset();
        switch (step.inner) {
            case Step::Host:
                hostLine(step.shield, step.innerWhat);
                break;
            case Step::LoseLink:
                loseLink(step.shield);
                break;
            case Step::LoseInit:
                loseInit(step.shield);
                break;
            default:
                restart();
                break;
        }
    }

    // The driver's new lines join the transcript, behind "< ".
    void note()
    {
        const QStringList out = capture.out();
        for (int i = noted; i < out.size(); ++i)
            transcript << QStringLiteral("< ") + out.at(i);
        noted = out.size();
    }

    static constexpr quint32 never = 600000;
    ConsoleCapture capture;
    PiMutex linkMutex;
    std::unique_ptr<EmulatedBoard> board;
    std::unique_ptr<SPIparsers> parsers;
    std::unique_ptr<ThreadSpiTransmitter> transfer;
    std::unique_ptr<ThreadShieldHandler> supervisor;
    std::unique_ptr<DriverControl> control;
    ConsoleScan host{&command, &settings};
    bool restartAsked = false;
    std::optional<Step> inner;  // to be played inside the current step
    QStringList transcript;     // as support/calltranscript.h reads it
    int noted = 0;
};

}  // namespace

RC_GTEST_PROP(CallWalk, EveryCallTheHostHeardOfEndsWithOneDrop, ())
{
    const auto steps = *rc::gen::container<std::vector<Step>>(stepGen());
    Rig rig;
    for (int c = 0; c < 2000 && !(rig.online(0) && rig.online(1) && rig.online(2)); ++c)
        rig.cycle();
    RC_ASSERT(rig.online(0) && rig.online(1) && rig.online(2));
    for (const Step &step : steps)
        rig.apply(step);
    // The walk ends with a restart, which ends every call still open.
    rig.restart();
    rig.note();
    const QString broken = brokenCallPromise(rig.transcript);
    if (!broken.isEmpty()) {
        const std::string transcript = (broken + QLatin1Char('\n') + rig.transcript.join('\n')).toStdString();
        RC_FAIL(transcript);
    }
}
