#include "support/e2ecallwalk.h"

#include "support/calltranscript.h"
#include "support/e2eprocess.h"

#include <QRegularExpression>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

namespace {

constexpr int present = 3;           // shields 0 to 2 answer; 3 to 5 are served, not fitted
constexpr int stepTimeoutMs = 30000;  // generous: the machine may be busy
constexpr int faultTimeoutMs = 90000; // a lost link alone takes some 12 s of repeats
constexpr int cycleMs = 16;
constexpr int floodDials = 40;        // more than the 36 in a row that make a flood

// A command for a shield that is not fitted: refused with a line of its own, which shows where
// the host's command before it took effect among the driver's lines.
const QString marker = QStringLiteral("5 open");
const QString markerAnswer = QStringLiteral("#WARNING: Address 5 not available for command");

enum class Fault { Restart, Loss, LostInit, Flood };

struct Planned {
    int step;
    Fault fault;
};

class Walk
{
    std::mt19937 random;
    const E2eCallWalk::Plan plan;

public:
    E2ePair pair;
    QStringList steps;
    QStringList transcript;  // as support/calltranscript.h reads it
    int events = 0;
    int hostCommands = 0;
    int calls = 0;

    Walk(quint32 number, const E2eCallWalk::Plan &plan, const QString &simProgram,
         const QString &driverProgram)
        : random(number),
          plan(plan),
          pair(simProgram, driverProgram,
               {QStringLiteral("--shields"), QStringLiteral("0,1,2"),
                QStringLiteral("--multishield")},
               {QStringLiteral("-multishield"), QStringLiteral("-ic"), QStringLiteral("10")},
               true)
    {
        // A lost link takes some 12 s to show: in the first quarter the walk goes on beside it.
        const auto place = [&](int count, Fault fault, int within) {
            for (int i = 0; i < count; ++i)
                faults.push_back({pick(std::max(within, 1)), fault});
        };
        place(plan.losses, Fault::Loss, plan.steps / 4);
        place(plan.restarts, Fault::Restart, plan.steps);
        place(plan.lostInits, Fault::LostInit, plan.steps);
        place(plan.floods, Fault::Flood, plan.steps);
        std::stable_sort(faults.begin(), faults.end(),
                         [](const Planned &a, const Planned &b) { return a.step < b.step; });
    }

    QString run()
    {
        if (!pair.started())
            return QStringLiteral("the programs did not start");
        if (!waitFor(&Walk::allReady, faultTimeoutMs))
            return QStringLiteral("the shields did not come into service");
        size_t nextFault = 0;
        for (int k = 0; k < plan.steps && fault.isEmpty(); ++k) {
            fold();
            // A fault waits for its step and a shield it can take (a restart: all of them).
            if (nextFault < faults.size() && faults[nextFault].step <= k &&
                (faults[nextFault].fault == Fault::Restart ? allReady() : anyReady())) {
                startFault(faults[nextFault++].fault);
            } else if (!waitFor(&Walk::anyReady, faultTimeoutMs)) {
                fail(QStringLiteral("no shield came back into service"));
            } else if (pick(9) < 5) {
                event();
            } else {
                hostCommand();
            }
            E2eProcess::pump(pick(4) * cycleMs);
        }
        // The faults still to come, then the restart that ends what is still open, each once
        // every shield is back.
        faults.push_back({plan.steps, Fault::Restart});
        for (; nextFault < faults.size() && fault.isEmpty(); ++nextFault) {
            if (waitFor(&Walk::allReady, faultTimeoutMs))
                startFault(faults[nextFault].fault);
            else
                fail(QStringLiteral("the shields did not come back into service"));
        }
        if (fault.isEmpty() && !waitFor(&Walk::allReady, faultTimeoutMs))
            fail(QStringLiteral("the shields did not come back into service"));
        fold();
        if (fault.isEmpty())
            fault = brokenCallPromise(transcript, &calls);
        // Nothing else on standard error: a sanitizer's report, say.
        QStringList err = pair.driver().errBesidesOverruns().split(QLatin1Char('\n'));
        err.removeAll(QStringLiteral("#Restart ALL Shields"));
        err.removeAll(QString());
        if (fault.isEmpty() && !err.isEmpty())
            fault = QStringLiteral("the driver's standard error: ") + err.join(QLatin1Char('\n'));
        return fault;
    }

private:
    enum class State { Ready, Muted, Returning };

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }
    int readyShield()
    {
        std::vector<int> ready;
        for (int s = 0; s < present; ++s) {
            if (state[size_t(s)] == State::Ready)
                ready.push_back(s);
        }
        return ready[size_t(pick(int(ready.size())))];
    }
    bool waitFor(bool (Walk::*cond)() const, int timeoutMs)
    {
        return E2eProcess::waitUntil(
            [&] {
                fold();
                return (this->*cond)() || !fault.isEmpty();
            },
            timeoutMs) &&
               fault.isEmpty();
    }
    bool allReady() const
    {
        return std::all_of(state.begin(), state.end(), [](State s) { return s == State::Ready; });
    }
    bool anyReady() const
    {
        return std::any_of(state.begin(), state.end(), [](State s) { return s == State::Ready; });
    }
    void fail(const QString &why)
    {
        if (fault.isEmpty())
            fault = QStringLiteral("step %1: %2").arg(steps.size()).arg(why);
    }
    void sim(const QString &line) { pair.sim().writeLine(line); }

    // The driver's lines up to `upTo` (all that came: -1) join the transcript; a lost shield is
    // made to answer again, and one that is back in service is ready for the next steps.
    void fold(int upTo = -1)
    {
        const QStringList lines = pair.driver().lines();
        if (upTo < 0)
            upTo = lines.size();
        for (; read < upTo; ++read) {
            const QString &line = lines.at(read);
            transcript << QStringLiteral("< ") + line;
            const int s = line.section(QLatin1Char(' '), 0, 0).toInt();
            if (s >= present || !line.startsWith(QString::number(s) + QLatin1Char(' ')))
                continue;
            State &st = state[size_t(s)];
            if (st == State::Muted && line.endsWith(QLatin1String(" shield_disconect"))) {
                sim(QStringLiteral("unmute %1").arg(s));
                st = State::Returning;
            } else if (st == State::Returning && line.endsWith(QLatin1String(" shield_ready"))) {
                st = State::Ready;
                if (restarting && allReady()) {
                    restarting = false;
                    transcript << QStringLiteral("= restarted");
                }
            }
        }
    }

    // The simulator's acknowledgement of `count` events that it describes as `what`.
    void awaitAcknowledged(int s, const QString &what, int simFrom, int count = 1)
    {
        const QString line = QStringLiteral("shield %1: event acknowledged: %2").arg(s).arg(what);
        const bool done = E2eProcess::waitUntil(
            [&] { return pair.sim().lines().mid(simFrom).count(line) >= count; }, stepTimeoutMs);
        if (!done)
            fail(QStringLiteral("the driver did not acknowledge ") + what);
    }

    void event()
    {
        static const char *const sims[] = {"dial %1 300", "pickup %1", "pickupaudio %1",
                                           "hangup %1"};
        static const char *const acknowledged[] = {"dial 300", "pickup", "pickup with audio",
                                                   "hangup"};
        const int s = readyShield();
        const int kind = pick(4);
        ++events;
        steps << QStringLiteral("shield-sim: ") + QString::fromLatin1(sims[kind]).arg(s);
        const int simFrom = pair.sim().lineCount();
        sim(QString::fromLatin1(sims[kind]).arg(s));
        awaitAcknowledged(s, QLatin1String(acknowledged[kind]), simFrom);
    }

    void hostCommand()
    {
        static const char *const words[] = {"pickup", "dial 300", "drop"};
        const int s = readyShield();
        const QString command = QStringLiteral("%1 %2").arg(s).arg(QLatin1String(words[pick(3)]));
        ++hostCommands;
        steps << QStringLiteral("host: ") + command;
        fold();
        const int from = pair.driver().lineCount();
        pair.driver().writeLine(command);
        pair.driver().writeLine(marker);
        const int at = pair.driver().waitForLine(markerAnswer, from, stepTimeoutMs);
        if (at < 0)
            return fail(QStringLiteral("the driver did not read the host's line"));
        const QString refusal =
            QStringLiteral("#WARNING: Address %1 not available for command").arg(s);
        const bool taken = !pair.driver().lines().mid(from, at - from).contains(refusal);
        fold(at);
        if (taken)
            transcript << QStringLiteral("> ") + command;
    }

    void startFault(Fault f)
    {
        const int s = readyShield();
        switch (f) {
            case Fault::Restart:
                steps << QStringLiteral("shield-sim: ack79 %1 (the link restarts)").arg(s);
                sim(QStringLiteral("ack79 %1").arg(s));
                state.fill(State::Returning);
                restarting = true;
                if (!waitFor(&Walk::allReady, faultTimeoutMs))
                    fail(QStringLiteral("the shields did not come back after the restart"));
                break;
            case Fault::Loss:
                steps << QStringLiteral("shield-sim: mute %1, unmute once it is lost").arg(s);
                sim(QStringLiteral("mute %1").arg(s));
                state[size_t(s)] = State::Muted;
                break;
            case Fault::LostInit:
                steps << QStringLiteral("shield-sim: lostinit %1").arg(s);
                sim(QStringLiteral("lostinit %1").arg(s));
                state[size_t(s)] = State::Returning;
                break;
            case Fault::Flood: {
                steps << QStringLiteral("shield-sim: %1 dials on shield %2 (a flood)")
                             .arg(floodDials)
                             .arg(s);
                const int simFrom = pair.sim().lineCount();
                for (int i = 0; i < floodDials; ++i)
                    sim(QStringLiteral("dial %1 1").arg(s));
                awaitAcknowledged(s, QStringLiteral("dial 1"), simFrom, floodDials);
                break;
            }
        }
    }

    std::vector<Planned> faults;
    // Not in service until the driver announces them.
    std::array<State, present> state{{State::Returning, State::Returning, State::Returning}};
    bool restarting = false;
    int read = 0;            // driver lines in the transcript
    QString fault;
};

}  // namespace

E2eCallWalk::Result E2eCallWalk::run(quint32 number, const Plan &plan, const QString &simProgram,
                                     const QString &driverProgram)
{
    Walk walk(number, plan, simProgram, driverProgram);
    Result result;
    result.fault = walk.run();
    result.steps = walk.steps;
    result.summary = QStringLiteral("%1 steps: %2 shield events, %3 host commands, %4 faults; "
                                    "%5 calls, %6 \"drop\" lines")
                         .arg(walk.steps.size())
                         .arg(walk.events)
                         .arg(walk.hostCommands)
                         .arg(walk.steps.size() - walk.events - walk.hostCommands)
                         .arg(walk.calls)
                         .arg(walk.transcript.filter(QRegularExpression(QStringLiteral("^< \\d drop$"))).size());
    if (!result.fault.isEmpty())
        result.output = QString::fromStdString(walk.pair.describe());
    return result;
}
