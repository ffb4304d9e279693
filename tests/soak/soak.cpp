// stm-soak: the real driver against shield-sim for minutes. Six noisy shields (one frame in 50
// damaged each way, any byte), calls with audio starting and ending every few seconds, host
// commands, debug events, now and then a shield that lost its initialisation, and now and then
// a bootloader byte (0x79) from a shield in a call, which restarts the link and reboots all
// shields. It counts what went in and what came out on each side, prints one table, and exits 1
// when an invariant broke: every event reported at most once, and exactly once unless its shield
// was rebooted before it got through; every accepted command executed at most once, and exactly
// once unless its shield was rebooted after it was written; every call the host heard of ends
// with one drop line (or the host's own drop), and no drop line comes without one, as the host
// reads its transcript (support/calltranscript.h); no receiver port stays bound after its call;
// every shield back in service after each restart; call audio carried (each block at most once,
// little lost outside the calls a restart cut); no disconnection; bounded memory, and no rise of
// the driver's resident size over the second half of a run of 20 minutes or more (sampled every
// minute; a straight line fitted through the second half's samples must rise less than 64 kB).
// stm-soak --walk MINUTES runs numbered random walks over calls instead (support/e2ecallwalk.h).
// Everything runs in the main thread's event loop (the E2ePair helpers read both programs' output
// there).

#include "support/calltranscript.h"
#include "support/e2ecallwalk.h"
#include "support/e2eprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QUdpSocket>

#include <cstdio>
#include <functional>
#include <memory>
#include <random>

namespace {

constexpr int blockSize = 512;
constexpr qint64 rssRiseLimitKb = 64;  // over the second half of a long run
constexpr int blockPeriodMs = 16;      // the pace at which a shield plays the host's audio

struct Options {
    double minutes = 10;
    int shields = 6;
    unsigned randomStart = 1;
    double restartSeconds = 30;  // mean time between two bootloader bytes (0: none)
    // The driver program: the one built here, or a wrapper that runs it under a heap profiler.
    QString driver = QStringLiteral(STM_DRIVER_PATH);
    double walkMinutes = 0;  // random walks over calls instead (0: none)
};

bool parseOptions(const QStringList &args, Options *options)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        bool ok = i + 1 < args.size();
        if (a == QLatin1String("--minutes") && ok)
            options->minutes = args.at(++i).toDouble(&ok);
        else if (a == QLatin1String("--shields") && ok)
            options->shields = args.at(++i).toInt(&ok);
        else if (a == QLatin1String("--random") && ok)
            options->randomStart = args.at(++i).toUInt(&ok);
        else if (a == QLatin1String("--restart-every") && ok)
            options->restartSeconds = args.at(++i).toDouble(&ok);
        else if (a == QLatin1String("--driver") && ok)
            options->driver = args.at(++i);
        else if (a == QLatin1String("--walk") && ok)
            options->walkMinutes = args.at(++i).toDouble(&ok);
        else
            ok = false;
        if (!ok)
            return false;
    }
    return options->minutes > 0 && options->shields >= 1 && options->shields <= 6 &&
           options->restartSeconds >= 0 && options->walkMinutes >= 0;
}

// The driver's resident size (VmRSS) and the anonymous part of it (RssAnon: its heap, stacks
// and data, without the pages of its program and libraries, which rarely used code paths fault
// in now and then).
struct RssSample {
    double minutes;
    qint64 kb;
    qint64 anonKb;
};

qint64 anonKb(qint64 pid)
{
    return procStatusKb(pid, QByteArrayLiteral("RssAnon"));
}

// The slope in kB per hour of a least-squares line through the samples' `field`; 0 with fewer
// than two.
double slopeKbPerHour(const QList<RssSample> &samples, qint64 RssSample::*field)
{
    if (samples.size() < 2)
        return 0;
    double meanT = 0, meanKb = 0;
    for (const RssSample &s : samples) {
        meanT += s.minutes;
        meanKb += double(s.*field);
    }
    meanT /= samples.size();
    meanKb /= samples.size();
    double num = 0, den = 0;
    for (const RssSample &s : samples) {
        num += (s.minutes - meanT) * (double(s.*field) - meanKb);
        den += (s.minutes - meanT) * (s.minutes - meanT);
    }
    return den > 0 ? num / den * 60 : 0;
}

// A host audio block: a tag naming the shield, a number, and a pattern of its own.
QByteArray audioBlock(int shield, quint32 n)
{
    QByteArray block(blockSize, '\0');
    block.replace(0, 3, "SKA");
    block[3] = static_cast<char>('0' + shield);
    for (int i = 0; i < 4; ++i)
        block[4 + i] = static_cast<char>((n >> (8 * i)) & 0xFF);
    for (int i = 8; i < blockSize; ++i)
        block[i] = static_cast<char>((n * 13 + static_cast<quint32>(i) * 5) & 0xFF);
    return block;
}

// The host's end of one shield's audio.
class SoakAudio
{
public:
    explicit SoakAudio(int shield)
        : shield(shield), toDriverPort(static_cast<quint16>(20003 + 2 * shield))
    {
        QObject::connect(&in, &QUdpSocket::readyRead, [this] { readAll(); });
        listening = in.bind(QHostAddress::LocalHost, static_cast<quint16>(20002 + 2 * shield));
    }
    void send(quint32 n)
    {
        out.writeDatagram(audioBlock(shield, n), QHostAddress::LocalHost, toDriverPort);
        sentBytes += blockSize;
    }
    bool driverListens()
    {
        QUdpSocket probe;
        return !probe.bind(QHostAddress::LocalHost, toDriverPort, QUdpSocket::DontShareAddress);
    }

    bool listening = false;
    qint64 sentBytes = 0;
    qint64 datagrams = 0;    // everything the driver sent to this port
    qint64 badSize = 0;      // datagrams that are no 512-byte block
    QSet<quint32> received;  // own blocks that came back
    qint64 duplicates = 0;
    qint64 foreign = 0;  // blocks tagged for another shield, or altered

private:
    void readAll()
    {
        while (in.hasPendingDatagrams()) {
            QByteArray d(static_cast<int>(in.pendingDatagramSize()), '\0');
            in.readDatagram(d.data(), d.size());
            ++datagrams;
            if (d.size() != blockSize) {
                ++badSize;
                continue;
            }
            if (!d.startsWith("SKA"))
                continue;  // the shield's tone or silence
            quint32 n = 0;
            for (int i = 0; i < 4; ++i)
                n |= quint32(static_cast<quint8>(d.at(4 + i))) << (8 * i);
            if (d != audioBlock(shield, n)) {
                ++foreign;
                continue;
            }
            if (received.contains(n))
                ++duplicates;
            received.insert(n);
        }
    }

    const int shield;
    const quint16 toDriverPort;
    QUdpSocket in;
    QUdpSocket out;
};

// Cut: a restart rebooted the shield while its audio was on; the call waits for its drop line.
// Closing: the call is over; its receiver port must be free soon.
enum class CallPhase { None, Dialled, PickedUp, Talking, Draining, HungUp, Cut, Closing };

// Something the host or a shield started that must come through once, unless the shield is
// rebooted first: an event raised, or a shield action a host command asks for.
struct Expected {
    int shield;
    int simLine;  // the simulator's line count when it was started
};

struct Shield {
    bool online = false;
    bool lostInit = false;  // between "lostinit" and the end of its list push
    bool audioOn = false;   // as the simulator last told it
    CallPhase phase = CallPhase::None;
    qint64 phaseSince = 0;
    qint64 talkMs = 0;
    qint64 talkBlocks = 0;  // blocks due since the call began talking
    quint32 nextBlock = 0;
    quint32 callFirstBlock = 0;
    int callFromLine = 0;          // the driver's line count when the call began
    QString awaitedLine;           // the host line that moves the call on
    bool dropAwaited = false;      // the hang-up's drop line
    QList<int> dropLines;          // driver lines "S drop" not yet matched to a hang-up or a cut
    QList<int> starts;             // simulator lines at which the shield started afresh
    bool pickupMayBeLost = false;  // a reboot came between the host's pickup and its audio
    std::unique_ptr<SoakAudio> audio;
};

class Soak
{
public:
    explicit Soak(const Options &options) : options(options), random(options.randomStart) {}
    int run();

private:
    bool available(int s) const { return shields[s].online && !shields[s].lostInit; }
    bool idle(int s) const;
    int pick(const std::function<bool(int)> &ok);
    void readDriver();
    void readSim();
    void step(qint64 now);
    void stepCall(int s, qint64 now);
    void enter(int s, CallPhase phase, qint64 now);
    void shieldStarted(int s, int simLine);
    void expectEvent(int s, const QString &line)
    {
        eventsExpected[line] << Expected{s, pair->sim().lineCount()};
    }
    void hostCommand(int s, const QString &line, const QStringList &executed);
    bool takeDropLine(int s, int from);
    void endHostCalls();
    QStringList brokenCallLines(const QString &broken) const;
    bool startedAfter(int s, int simLine) const
    {
        return !shields[s].starts.isEmpty() && shields[s].starts.last() >= simLine;
    }
    int uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }

    const Options options;
    std::mt19937 random;
    std::unique_ptr<E2ePair> pair;
    Shield shields[6];
    QElapsedTimer clock;

    int driverRead = 0;
    int simRead = 0;
    QMap<QString, QList<Expected>> eventsExpected;  // host line -> each time a shield raised it
    QMap<QString, int> eventsReported;
    QHash<QString, QList<Expected>> executedExpected;  // "S what" -> each time it was asked for
    QHash<QString, int> executedSeen;
    QHash<int, int> outstanding;  // per shield: commands and events not through yet
    int commandsSent = 0;
    int refused = 0;
    int restarts = 0;
    int restartsAsked = 0;      // bootloader bytes sent
    qint64 lastRestartAt = -1;  // when the test saw the latest restart
    int lateReturns = 0;        // shields not back in service 20 s after a restart
    bool lateCounted[6] = {};
    int callsCut = 0;
    QHash<int, int> cutsOn;     // per shield
    QStringList restartFaults;  // what broke the restart invariants, in words
    int cutDropLines = 0;       // cut calls whose drop line came
    int cutsWithoutDrop = 0;
    int portsLeftBound = 0;
    int drops = 0;  // "S drop" lines
    // What the host saw and did, as support/calltranscript.h reads it. A host command takes its
    // place when it is written (the driver takes it within milliseconds, and the host sends none
    // to a shield whose call is ending), and leaves it when the driver refuses it.
    QStringList transcript;
    bool restartSeen = false;  // a restart whose shields are not yet back
    int hangups = 0;           // hang-ups raised
    QList<QPair<int, QPair<quint32, quint32>>> cutBlocks;  // shield, first and end block
    int disconnects = 0;
    int lostInits = 0;
    int readyLines = 0;
    int calls = 0;
    int callsStuck = 0;
    quint32 nextDial = 1000;
    quint32 nextHostDial = 30000;
    quint32 nextDebug = 500000;
    qint64 nextCallAt = 2000;
    qint64 lastDialAt = -10000;
    qint64 nextCommandAt = 1000;
    qint64 nextEventAt = 1500;
    qint64 nextLostInitAt = 20000;
    qint64 nextRestartAt = 0;
};

bool Soak::idle(int s) const
{
    return available(s) && shields[s].phase == CallPhase::None && outstanding.value(s) == 0;
}

int Soak::pick(const std::function<bool(int)> &ok)
{
    QList<int> candidates;
    for (int s = 0; s < options.shields; ++s) {
        if (ok(s))
            candidates << s;
    }
    return candidates.isEmpty() ? -1 : candidates.at(uniform(0, candidates.size() - 1));
}

void Soak::hostCommand(int s, const QString &line, const QStringList &executed)
{
    pair->driver().writeLine(QStringLiteral("%1 ").arg(s) + line);
    transcript << QStringLiteral("> %1 ").arg(s) + line;
    ++commandsSent;
    for (const QString &what : executed) {
        executedExpected[QStringLiteral("%1 ").arg(s) + what]
            << Expected{s, pair->sim().lineCount()};
        ++outstanding[s];
    }
}

// Matches a drop line of shield s written at or after the driver's line `from` to whoever waits
// for one (a hang-up, a cut call); each line goes to one.
bool Soak::takeDropLine(int s, int from)
{
    QList<int> &lines = shields[s].dropLines;
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i) >= from) {
            lines.removeAt(i);
            return true;
        }
    }
    return false;
}

// The host ends what it still holds open, the calls its own dials opened on idle shields among
// them, and waits for the shields to carry out the drops.
void Soak::endHostCalls()
{
    for (int s = 0; s < options.shields; ++s) {
        if (available(s))
            hostCommand(s, QStringLiteral("drop"), {QStringLiteral("audio off")});
    }
    E2eProcess::waitUntil(
        [this] {
            readDriver();
            readSim();
            for (int s = 0; s < options.shields; ++s) {
                if (outstanding.value(s) != 0)
                    return false;
            }
            return true;
        },
        10000);
}

// The host's transcript around a broken promise: the entries of its shield (and the restarts)
// up to the one where it broke.
QStringList Soak::brokenCallLines(const QString &broken) const
{
    static const QRegularExpression entryAt(QStringLiteral("^entry (\\d+) "));
    static const QRegularExpression shieldNamed(QStringLiteral("shield (\\d)"));
    const QRegularExpressionMatch entry = entryAt.match(broken);
    const int end = entry.hasMatch() ? entry.captured(1).toInt() + 1 : transcript.size();
    const QRegularExpressionMatch named = shieldNamed.match(broken);
    const QString shield = named.hasMatch()
                               ? named.captured(1)
                               : transcript.value(end - 1).section(QLatin1Char(' '), 1, 1);
    QStringList lines;
    for (int i = end - 1; i >= 0 && lines.size() < 16; --i) {
        const QString &at = transcript.at(i);
        if (at.startsWith(QLatin1Char('=')) || at.section(QLatin1Char(' '), 1, 1) == shield)
            lines.prepend(QStringLiteral("%1: %2").arg(i).arg(at));
    }
    return lines;
}

void Soak::readDriver()
{
    static const QRegularExpression shieldLine(QStringLiteral("^([0-5]) (.*)$"));
    static const QRegularExpression pushLine(QStringLiteral("^#Shield ([0-5]) update black list$"));
    const QStringList lines = pair->driver().lines();
    for (; driverRead < lines.size(); ++driverRead) {
        const QString &line = lines.at(driverRead);
        static const QRegularExpression refusal(
            QStringLiteral("^#WARNING: Address ([0-5]) not available for command$"));
        const QRegularExpressionMatch refusedFor = refusal.match(line);
        if (refusedFor.hasMatch()) {
            ++refused;
            // The latest command to that shield is the one refused.
            const QString command = QStringLiteral("> %1 ").arg(refusedFor.captured(1));
            for (int i = transcript.size() - 1; i >= 0; --i) {
                if (transcript.at(i).startsWith(command)) {
                    transcript.removeAt(i);
                    break;
                }
            }
        }
        // The restart is over, its calls ended, when its first shield is back.
        if (restartSeen && line.endsWith(QLatin1String(" shield_ready"))) {
            restartSeen = false;
            transcript << QStringLiteral("= restarted");
        }
        transcript << QStringLiteral("< ") + line;
        const QRegularExpressionMatch push = pushLine.match(line);
        if (push.hasMatch()) {
            const int s = push.captured(1).toInt();
            shields[s].online = true;
            shields[s].lostInit = false;
        }
        if (line.startsWith(QLatin1String("#DEBUG ")) || eventsExpected.contains(line)) {
            ++eventsReported[line];
        }
        const QRegularExpressionMatch m = shieldLine.match(line);
        if (!m.hasMatch())
            continue;
        const int s = m.captured(1).toInt();
        const QString rest = m.captured(2);
        if (rest == QLatin1String("shield_disconect")) {
            ++disconnects;
            shields[s].online = false;
        } else if (rest == QLatin1String("shield_ready")) {
            ++readyLines;
        } else if (rest == QLatin1String("drop")) {
            ++drops;
            shields[s].dropLines << driverRead;
        } else if (rest.startsWith(QLatin1String("dial ")) && !eventsExpected.contains(line)) {
            ++eventsReported[line];  // a line no shield raised
        }
        if (line == shields[s].awaitedLine)
            shields[s].awaitedLine.clear();
    }
}

void Soak::readSim()
{
    static const QRegularExpression executedLine(QStringLiteral("^shield ([0-5]): executed (.*)$"));
    static const QRegularExpression ackLine(
        QStringLiteral("^shield ([0-5]): event acknowledged: "));
    static const QRegularExpression startLine(QStringLiteral("^shield ([0-5]): started "));
    const QStringList lines = pair->sim().lines();
    const auto done = [this](int s) { outstanding[s] = qMax(0, outstanding.value(s) - 1); };
    for (; simRead < lines.size(); ++simRead) {
        const QString &line = lines.at(simRead);
        const QRegularExpressionMatch start = startLine.match(line);
        if (start.hasMatch()) {
            shieldStarted(start.captured(1).toInt(), simRead);
            continue;
        }
        const QRegularExpressionMatch ack = ackLine.match(line);
        if (ack.hasMatch()) {
            done(ack.captured(1).toInt());
            continue;
        }
        const QRegularExpressionMatch m = executedLine.match(line);
        if (!m.hasMatch())
            continue;
        const int s = m.captured(1).toInt();
        const QString what = m.captured(2);
        if (what.startsWith(QLatin1String("audio ")))
            shields[s].audioOn = what == QLatin1String("audio on");
        const bool counted = what.startsWith(QLatin1String("open door ")) ||
                             what.startsWith(QLatin1String("dial ")) ||
                             what == QLatin1String("pickup") ||
                             what.startsWith(QLatin1String("audio "));
        if (!counted)
            continue;
        const QString key = QStringLiteral("%1 ").arg(s) + what;
        ++executedSeen[key];
        if (executedSeen[key] <= executedExpected.value(key).size())
            done(s);
    }
}

// The shield started afresh: a restart rebooted it (all six at once). What it had not yet
// passed on is gone; a call whose audio was on is cut and must end with its drop line.
void Soak::shieldStarted(int s, int simLine)
{
    Shield &sh = shields[s];
    sh.starts << simLine;
    outstanding[s] = 0;  // through already, or lost with the reboot
    const bool wasPlaying = sh.audioOn;
    sh.audioOn = false;
    if (!clock.isValid())
        return;  // the start before the run
    const qint64 now = clock.elapsed();
    switch (sh.phase) {
    case CallPhase::Talking:
    case CallPhase::Draining:
        if (wasPlaying) {
            ++callsCut;
            ++cutsOn[s];
            cutBlocks << qMakePair(s, qMakePair(sh.callFirstBlock, sh.nextBlock));
            enter(s, CallPhase::Cut, now);
        } else {
            enter(s, CallPhase::Closing, now);
        }
        break;
    case CallPhase::HungUp:
        sh.dropAwaited = false;
        enter(s, CallPhase::Closing, now);
        break;
    case CallPhase::Dialled:
        sh.awaitedLine.clear();
        enter(s, CallPhase::Closing, now);
        break;
    case CallPhase::PickedUp:
        // The pickup may still come (the driver keeps its queued commands), or not.
        sh.pickupMayBeLost = true;
        break;
    case CallPhase::None:
    case CallPhase::Cut:
    case CallPhase::Closing:
        break;
    }
}

void Soak::enter(int s, CallPhase phase, qint64 now)
{
    shields[s].phase = phase;
    shields[s].phaseSince = now;
}

void Soak::stepCall(int s, qint64 now)
{
    Shield &sh = shields[s];
    const qint64 inPhase = now - sh.phaseSince;
    // A call that hangs in one phase is counted and given up; the counts show what was lost.
    if (sh.phase != CallPhase::Talking && sh.phase != CallPhase::None && inPhase > 30000) {
        ++callsStuck;
        sh.awaitedLine.clear();
        sh.dropAwaited = false;
        enter(s, CallPhase::None, now);
        return;
    }
    switch (sh.phase) {
    case CallPhase::None:
        break;
    case CallPhase::Dialled:
        if (sh.awaitedLine.isEmpty()) {
            hostCommand(s, QStringLiteral("pickup"),
                        {QStringLiteral("pickup"), QStringLiteral("audio on")});
            sh.pickupMayBeLost = false;
            enter(s, CallPhase::PickedUp, now);
        }
        break;
    case CallPhase::PickedUp:
        // The host sends once the driver listens for this call's audio.
        if (sh.audio->driverListens()) {
            sh.talkMs = uniform(2000, 4000);
            sh.talkBlocks = 0;
            sh.callFirstBlock = sh.nextBlock;
            enter(s, CallPhase::Talking, now);
        } else if (sh.pickupMayBeLost && inPhase > 10000) {
            enter(s, CallPhase::Closing, now);  // the pickup went with a reboot
        }
        break;
    case CallPhase::Talking: {
        // Paced at the shield's rate; after a stall of the loop no more than a few blocks go at
        // once, so the host never outruns the shield.
        const qint64 due = inPhase / blockPeriodMs;
        if (due - sh.talkBlocks > 4)
            sh.talkBlocks = due - 4;
        for (; sh.talkBlocks < due; ++sh.talkBlocks)
            sh.audio->send(sh.nextBlock++);
        if (inPhase >= sh.talkMs)
            enter(s, CallPhase::Draining, now);
        break;
    }
    case CallPhase::Draining:
        // The last blocks come back before the handset goes down.
        if (inPhase >= 1000) {
            pair->sim().writeLine(QStringLiteral("hangup %1").arg(s));
            ++hangups;
            executedExpected[QStringLiteral("%1 audio off").arg(s)]
                << Expected{s, pair->sim().lineCount()};
            ++outstanding[s];
            sh.dropAwaited = true;
            enter(s, CallPhase::HungUp, now);
        }
        break;
    case CallPhase::HungUp:
        if (sh.dropAwaited && takeDropLine(s, sh.callFromLine))
            sh.dropAwaited = false;
        if (!sh.dropAwaited && inPhase >= 500)
            enter(s, CallPhase::Closing, now);
        break;
    case CallPhase::Cut:
        if (takeDropLine(s, sh.callFromLine)) {
            ++cutDropLines;
            enter(s, CallPhase::Closing, now);
        } else if (inPhase > 10000) {
            ++cutsWithoutDrop;
            restartFaults << QStringLiteral(
                                 "shield %1: the call cut by a restart at %2 s got no "
                                 "\"%1 drop\" line within 10 s")
                                 .arg(s)
                                 .arg(double(sh.phaseSince) / 1000, 0, 'f', 1);
            enter(s, CallPhase::Closing, now);
        }
        break;
    case CallPhase::Closing:
        // The call is over: the driver lets go of its receiver port.
        if (!sh.audio->driverListens()) {
            enter(s, CallPhase::None, now);
        } else if (inPhase > 5000) {
            ++portsLeftBound;
            restartFaults << QStringLiteral(
                                 "shield %1: UDP port %2 still bound 5 s after the "
                                 "call ended at %3 s")
                                 .arg(s)
                                 .arg(20003 + 2 * s)
                                 .arg(double(sh.phaseSince) / 1000, 0, 'f', 1);
            enter(s, CallPhase::None, now);
        }
        break;
    }
}

void Soak::step(qint64 now)
{
    const int logged = pair->driver().err().count(QStringLiteral("#Restart ALL Shields"));
    if (logged != restarts) {
        // Out of service until their lists are pushed again. The push comes a reboot (0.8 s)
        // after the restart line, so it is never among the lines read before this one.
        restarts = logged;
        restartSeen = true;
        lastRestartAt = now;
        std::fill(lateCounted, lateCounted + 6, false);
        for (Shield &sh : shields) {
            sh.online = false;
            sh.lostInit = false;
        }
    }
    // Back in service after a restart: identified and the lists pushed within 20 s.
    if (lastRestartAt >= 0 && now - lastRestartAt > 20000) {
        for (int s = 0; s < options.shields; ++s) {
            if (!shields[s].online && !lateCounted[s]) {
                lateCounted[s] = true;
                ++lateReturns;
                restartFaults << QStringLiteral(
                                     "shield %1: not back in service 20 s after the "
                                     "restart at %2 s")
                                     .arg(s)
                                     .arg(double(lastRestartAt) / 1000, 0, 'f', 1);
            }
        }
    }
    for (int s = 0; s < options.shields; ++s)
        stepCall(s, now);

    // A call every few seconds; dials from all shields at least 2.5 s apart, so that they never
    // form a dial flood.
    if (now >= nextCallAt && now - lastDialAt >= 2500) {
        const int s = pick([this](int i) { return idle(i); });
        if (s >= 0) {
            const quint32 number = nextDial++;
            const QString line = QStringLiteral("%1 dial %2").arg(s).arg(number);
            expectEvent(s, line);
            pair->sim().writeLine(QStringLiteral("dial %1 %2").arg(s).arg(number));
            ++outstanding[s];
            shields[s].awaitedLine = line;
            shields[s].callFromLine = pair->driver().lineCount();
            enter(s, CallPhase::Dialled, now);
            lastDialAt = now;
            ++calls;
        }
        nextCallAt = now + uniform(3000, 5000);
    }
    if (now >= nextCommandAt) {
        // Not to a shield whose call is ending: the host's dial would fall on either side of its
        // drop line.
        const int s = pick([this](int i) {
            return available(i) && shields[i].phase != CallPhase::HungUp &&
                   shields[i].phase != CallPhase::Cut;
        });
        if (s >= 0) {
            if (uniform(0, 1) == 0) {
                const int door = uniform(0, 255);
                hostCommand(s, QStringLiteral("open %1").arg(door),
                            {QStringLiteral("open door %1").arg(door)});
            } else {
                const quint32 number = nextHostDial++;
                hostCommand(s, QStringLiteral("dial %1").arg(number),
                            {QStringLiteral("dial %1").arg(number)});
            }
        }
        nextCommandAt = now + uniform(300, 1500);
    }
    if (now >= nextEventAt) {
        const int s = pick([this](int i) { return available(i); });
        if (s >= 0) {
            const quint32 value = nextDebug++;
            expectEvent(s, QStringLiteral("#DEBUG %1: %2").arg(s).arg(value));
            pair->sim().writeLine(QStringLiteral("debugnum %1 %2").arg(s).arg(value));
            ++outstanding[s];
        }
        nextEventAt = now + uniform(500, 2500);
    }
    // A shield that lost its initialisation, when nothing of it is on its way (its queues are
    // emptied when the driver takes it through its start again).
    if (now >= nextLostInitAt) {
        const int s = pick([this](int i) { return idle(i); });
        if (s >= 0) {
            pair->sim().writeLine(QStringLiteral("lostinit %1").arg(s));
            shields[s].lostInit = true;
            ++lostInits;
        }
        nextLostInitAt = now + uniform(20000, 40000);
    }
    // A bootloader byte from a shield in a call: the driver restarts the link.
    if (options.restartSeconds > 0 && now >= nextRestartAt) {
        const int s = pick([this](int i) { return shields[i].phase == CallPhase::Talking; });
        if (s >= 0) {
            pair->sim().writeLine(QStringLiteral("ack79 %1").arg(s));
            ++restartsAsked;
            const int mean = static_cast<int>(options.restartSeconds * 1000);
            nextRestartAt = now + uniform(mean / 2, mean * 3 / 2);
        }
    }
}

int Soak::run()
{
    QStringList present;
    for (int s = 0; s < options.shields; ++s)
        present << QString::number(s);
    std::fprintf(stderr, "stm-soak: %g minutes, shields %s, random start %u\n", options.minutes,
                 qPrintable(present.join(QLatin1Char(','))), options.randomStart);
    pair.reset(new E2ePair(
        QStringLiteral(SHIELD_SIM_PATH), options.driver,
        {QStringLiteral("--shields"), present.join(QLatin1Char(',')),
         QStringLiteral("--multishield")},
        {QStringLiteral("-multishield"), QStringLiteral("-ic"), QStringLiteral("10")}, true));
    if (!pair->started()) {
        std::fprintf(stderr, "stm-soak: the programs did not start\n%s\n",
                     pair->describe().c_str());
        return 2;
    }
    // With the audio-port lock held: programs that do not take it may still hold the ports for a
    // while (the driver started here binds its own ports only for a call).
    QElapsedTimer waited;
    waited.start();
    for (int s = 0; s < options.shields; ++s) {
        for (;;) {
            shields[s].audio.reset(new SoakAudio(s));
            if (shields[s].audio->listening && !shields[s].audio->driverListens())
                break;
            shields[s].audio.reset();
            if (waited.elapsed() > 600000) {
                std::fprintf(stderr, "stm-soak: UDP port %d or %d is taken\n", 20002 + 2 * s,
                             20003 + 2 * s);
                return 2;
            }
            E2eProcess::pump(1000);
        }
    }
    for (int s = 0; s < options.shields; ++s) {
        if (pair->driver().waitForLine(QStringLiteral("#Shield %1 update black list").arg(s)) < 0) {
            std::fprintf(stderr, "stm-soak: shield %d did not come into service\n%s\n", s,
                         pair->describe().c_str());
            return 2;
        }
        pair->sim().writeLine(QStringLiteral("loopback %1 on").arg(s));
        pair->sim().writeLine(QStringLiteral("corrupt %1 50").arg(s));
    }
    const qint64 pid = pair->driver().pid();
    const qint64 rssStart = rssKb(pid);
    readDriver();
    readSim();
    const int readyAtStart = readyLines;

    clock.start();
    nextRestartAt = static_cast<qint64>(options.restartSeconds * 1000);
    const qint64 runMs = static_cast<qint64>(options.minutes * 60000);
    qint64 nextProgress = 60000;
    QList<RssSample> rssSamples = {{0, rssStart, anonKb(pid)}};
    while (clock.elapsed() < runMs && pair->driver().running()) {
        E2eProcess::pump(5);
        readDriver();
        readSim();
        step(clock.elapsed());
        if (clock.elapsed() >= nextProgress) {
            const RssSample sample{double(clock.elapsed()) / 60000, rssKb(pid), anonKb(pid)};
            rssSamples << sample;
            std::fprintf(stderr,
                         "stm-soak: %lld min, %d calls, %d restarts, driver RSS %lld kB "
                         "(anonymous %lld kB)\n",
                         static_cast<long long>(nextProgress / 60000), calls,
                         int(pair->driver().err().count(QStringLiteral("#Restart ALL Shields"))),
                         static_cast<long long>(sample.kb), static_cast<long long>(sample.anonKb));
            nextProgress += 60000;
        }
    }
    // The second half of the run: a line through its samples, and what it rises over that half.
    const double runMinutes = double(clock.elapsed()) / 60000;
    QList<RssSample> secondHalf;
    for (const RssSample &s : rssSamples) {
        if (s.minutes >= runMinutes / 2 && s.kb > 0 && s.anonKb >= 0)
            secondHalf << s;
    }
    const double slope = slopeKbPerHour(secondHalf, &RssSample::kb);
    const double halfRiseKb = slope * runMinutes / 2 / 60;
    const double anonSlope = slopeKbPerHour(secondHalf, &RssSample::anonKb);
    const bool longRun = runMinutes >= 20 && secondHalf.size() >= 5;
    QStringList sampleFigures;
    for (const RssSample &s : rssSamples)
        sampleFigures << QStringLiteral("%1/%2").arg(s.kb).arg(s.anonKb);
    // Let what is on its way arrive: running calls end, nothing new starts.
    const qint64 settleUntil = clock.elapsed() + 20000;
    nextCallAt = nextCommandAt = nextEventAt = nextLostInitAt = nextRestartAt = settleUntil * 2;
    while (clock.elapsed() < settleUntil && pair->driver().running()) {
        E2eProcess::pump(5);
        readDriver();
        readSim();
        step(clock.elapsed());
        bool quiet = true;
        for (int s = 0; s < options.shields; ++s)
            quiet = quiet && shields[s].phase == CallPhase::None && outstanding.value(s) == 0 &&
                    !shields[s].lostInit && shields[s].online;
        if (quiet)
            break;
    }
    E2eProcess::pump(1000);
    readDriver();
    readSim();
    endHostCalls();
    restarts = pair->driver().err().count(QStringLiteral("#Restart ALL Shields"));
    const bool running = pair->driver().running();
    const qint64 rssEnd = rssKb(pid);

    // Events: each raised line reported at most as often as raised; one that did not come is
    // explained only by a reboot of its shield after it was raised.
    int eventsSent = 0, eventsOnce = 0, eventsLost = 0, eventsMissing = 0, eventsExtra = 0;
    QStringList eventFaults;
    QSet<QString> eventKeys;
    for (auto it = eventsExpected.cbegin(); it != eventsExpected.cend(); ++it)
        eventKeys.insert(it.key());
    for (auto it = eventsReported.cbegin(); it != eventsReported.cend(); ++it)
        eventKeys.insert(it.key());
    for (const QString &key : eventKeys) {
        const QList<Expected> raised = eventsExpected.value(key);
        const int want = raised.size();
        const int got = eventsReported.value(key);
        int rebooted = 0;
        for (const Expected &e : raised)
            rebooted += startedAfter(e.shield, e.simLine) ? 1 : 0;
        const int missing = qMax(0, want - got);
        eventsSent += want;
        eventsOnce += qMin(want, got);
        eventsLost += qMin(missing, rebooted);
        eventsMissing += qMax(0, missing - rebooted);
        eventsExtra += qMax(0, got - want);
        if ((got > want || missing > rebooted) && eventFaults.size() < 10) {
            eventFaults << QStringLiteral("%1: raised %2 (%3 before a reboot), reported %4")
                               .arg(key)
                               .arg(want)
                               .arg(rebooted)
                               .arg(got);
        }
    }
    // Commands: what each shield executed against what the host asked for; one that did not
    // come is explained by a reboot of its shield after it was asked for (the driver forgets its
    // outstanding command at a restart), or by a refusal while its shield was out of service. A
    // restart may also switch a cut call's audio off.
    int execExpected = 0, execOnce = 0, execLost = 0, execMissing = 0, execExtra = 0;
    QStringList commandFaults;
    QSet<QString> execKeys;
    for (auto it = executedExpected.cbegin(); it != executedExpected.cend(); ++it)
        execKeys.insert(it.key());
    for (auto it = executedSeen.cbegin(); it != executedSeen.cend(); ++it)
        execKeys.insert(it.key());
    for (const QString &key : execKeys) {
        const QList<Expected> asked = executedExpected.value(key);
        const int want = asked.size();
        const int got = executedSeen.value(key);
        int rebooted = 0;
        for (const Expected &e : asked)
            rebooted += startedAfter(e.shield, e.simLine) ? 1 : 0;
        const int missing = qMax(0, want - got);
        int extraAllowed = 0;
        if (key.endsWith(QLatin1String(" audio off")))
            extraAllowed = cutsOn.value(key.section(QLatin1Char(' '), 0, 0).toInt());
        execExpected += want;
        execOnce += qMin(want, got);
        execLost += qMin(missing, rebooted);
        execMissing += qMax(0, missing - rebooted);
        execExtra += qMax(0, got - want - extraAllowed);
        if ((got > want + extraAllowed || missing > rebooted) && commandFaults.size() < 10) {
            commandFaults << QStringLiteral("%1: asked %2 (%3 before a reboot), executed %4")
                                 .arg(key)
                                 .arg(want)
                                 .arg(rebooted)
                                 .arg(got);
        }
    }
    // Calls: one drop line per call the host heard of (a dial or pickup line, or its own pickup
    // or dial), none without one.
    int callsHeard = 0;
    const QString broken = brokenCallPromise(transcript, &callsHeard);
    for (int s = 0; s < options.shields; ++s) {
        if (shields[s].audio->driverListens()) {
            ++portsLeftBound;
            restartFaults << QStringLiteral("shield %1: UDP port %2 still bound at the end")
                                 .arg(s)
                                 .arg(20003 + 2 * s);
        }
    }
    // Audio: the blocks of the calls a restart cut are left out of the share.
    qint64 audioSent = 0, audioBack = 0, duplicates = 0, foreign = 0, badSize = 0, datagrams = 0;
    for (int s = 0; s < options.shields; ++s) {
        const SoakAudio &a = *shields[s].audio;
        const auto cut = [&](quint32 n) {
            for (const auto &c : cutBlocks) {
                if (c.first == s && n >= c.second.first && n < c.second.second)
                    return true;
            }
            return false;
        };
        for (quint32 n = 0; n < shields[s].nextBlock; ++n) {
            if (cut(n))
                continue;
            audioSent += blockSize;
            if (a.received.contains(n))
                audioBack += blockSize;
        }
        duplicates += a.duplicates;
        foreign += a.foreign;
        badSize += a.badSize;
        datagrams += a.datagrams;
    }
    const double audioShare = audioSent > 0 ? double(audioBack) / double(audioSent) : 1.0;
    const int readyAgain = readyLines - readyAtStart;
    const int readyAfterRestarts = restarts * options.shields;

    struct Row {
        QString what;
        QString figure;
        bool ok;
    };
    const QList<Row> rows = {
        {QStringLiteral("run (min)"), QString::number(double(clock.elapsed()) / 60000, 'f', 1),
         true},
        {QStringLiteral("calls (stuck)"), QStringLiteral("%1 (%2)").arg(calls).arg(callsStuck),
         callsStuck == 0},
        {QStringLiteral("events raised / reported once"),
         QStringLiteral("%1 / %2").arg(eventsSent).arg(eventsOnce), true},
        {QStringLiteral("events lost with a reboot / else missing"),
         QStringLiteral("%1 / %2").arg(eventsLost).arg(eventsMissing), eventsMissing == 0},
        {QStringLiteral("events reported more than raised"), QString::number(eventsExtra),
         eventsExtra == 0},
        {QStringLiteral("host command lines sent / refused"),
         QStringLiteral("%1 / %2").arg(commandsSent).arg(refused), restarts > 0 || refused == 0},
        {QStringLiteral("shield actions asked / executed once"),
         QStringLiteral("%1 / %2").arg(execExpected).arg(execOnce), true},
        {QStringLiteral("actions lost with a reboot / else missing"),
         QStringLiteral("%1 / %2").arg(execLost).arg(execMissing), execMissing <= refused},
        {QStringLiteral("shield actions executed more than asked"), QString::number(execExtra),
         execExtra == 0},
        {QStringLiteral("audio bytes sent / back (uncut calls)"),
         QStringLiteral("%1 / %2 (%3%)")
             .arg(audioSent)
             .arg(audioBack)
             .arg(audioShare * 100, 0, 'f', 1),
         audioShare >= 0.9},
        {QStringLiteral("audio blocks twice / altered / bad size"),
         QStringLiteral("%1 / %2 / %3").arg(duplicates).arg(foreign).arg(badSize),
         duplicates == 0 && foreign == 0 && badSize == 0},
        {QStringLiteral("datagrams to the host"), QString::number(datagrams), true},
        {QStringLiteral("lost initialisations / ready again"),
         QStringLiteral("%1 / %2 (%3 after restarts)")
             .arg(lostInits)
             .arg(readyAgain)
             .arg(readyAfterRestarts),
         readyAgain >= readyAfterRestarts && readyAgain <= readyAfterRestarts + lostInits},
        {QStringLiteral("restarts (bootloader bytes sent)"),
         QStringLiteral("%1 (%2)").arg(restarts).arg(restartsAsked), restarts >= restartsAsked},
        {QStringLiteral("shields late back in service (> 20 s)"), QString::number(lateReturns),
         lateReturns == 0},
        {QStringLiteral("calls cut by restarts / their drop lines"),
         QStringLiteral("%1 / %2").arg(callsCut).arg(cutDropLines), cutsWithoutDrop == 0},
        {QStringLiteral("calls heard of / drop lines (hang-ups)"),
         QStringLiteral("%1 / %2 (%3)").arg(callsHeard).arg(drops).arg(hangups), broken.isEmpty()},
        {QStringLiteral("receiver ports bound after their call"), QString::number(portsLeftBound),
         portsLeftBound == 0},
        {QStringLiteral("disconnections"), QString::number(disconnects), disconnects == 0},
        {QStringLiteral("driver RSS start / end (kB)"),
         QStringLiteral("%1 / %2").arg(rssStart).arg(rssEnd),
         rssStart > 0 && rssEnd > 0 && rssEnd - rssStart < 20 * 1024},
        {QStringLiteral("driver RSS second half: kB/h, rise (kB)"),
         QStringLiteral("%1, %2 (%3 samples)")
             .arg(slope, 0, 'f', 0)
             .arg(halfRiseKb, 0, 'f', 0)
             .arg(secondHalf.size()),
         !longRun || halfRiseKb < rssRiseLimitKb},
        {QStringLiteral("anonymous part second half: kB/h, rise"),
         QStringLiteral("%1, %2")
             .arg(anonSlope, 0, 'f', 0)
             .arg(anonSlope * runMinutes / 2 / 60, 0, 'f', 0),
         true},
        {QStringLiteral("driver running at the end"),
         running ? QStringLiteral("yes") : QStringLiteral("no"), running},
    };
    bool allOk = true;
    std::printf("%-42s %-30s %s\n", "figure", "value", "invariant");
    for (const Row &row : rows) {
        allOk = allOk && row.ok;
        std::printf("%-42s %-30s %s\n", qPrintable(row.what), qPrintable(row.figure),
                    row.ok ? "ok" : "BROKEN");
    }
    std::printf("driver RSS / anonymous part each minute (kB): %s\n",
                qPrintable(sampleFigures.join(QLatin1Char(' '))));
    for (const QString &f : eventFaults + commandFaults + restartFaults.mid(0, 20))
        std::printf("  %s\n", qPrintable(f));
    if (!broken.isEmpty()) {
        std::printf("  one drop per call broken: %s\n  the host's transcript there:\n",
                    qPrintable(broken));
        for (const QString &line : brokenCallLines(broken))
            std::printf("    %s\n", qPrintable(line));
    }
    if (!allOk) {
        const QString err = pair->driver().err();
        std::printf("driver standard error (last 2000 characters):\n%s\n",
                    qPrintable(err.right(2000)));
    }
    std::fflush(stdout);
    return allOk ? 0 : 1;
}


// --walk: numbered random walks over calls (support/e2ecallwalk.h), one after the other from
// number --random on, each with its own driver and simulator, for `minutes`. Stops at the first
// walk that breaks the promise of one "drop" per call, and prints its number and steps.
int walk(const Options &options)
{
    QElapsedTimer clock;
    clock.start();
    quint32 number = options.randomStart;
    int walks = 0;
    do {
        E2eCallWalk::Plan plan;
        plan.steps = 300;
        plan.restarts = 2;
        plan.lostInits = 2;
        plan.floods = number % 4 == 0 ? 1 : 0;  // a flood lasts for the driver's life
        const E2eCallWalk::Result result =
            E2eCallWalk::run(number, plan, QStringLiteral(SHIELD_SIM_PATH), options.driver);
        ++walks;
        std::printf("walk %u: %s: %s\n", number, qPrintable(result.summary),
                    result.fault.isEmpty() ? "every call ended once" : "FAILED");
        std::fflush(stdout);
        if (!result.fault.isEmpty()) {
            std::printf("walk %u broke the promise: %s\nits steps:\n%s\n%s\n", number,
                        qPrintable(result.fault), qPrintable(result.steps.join(QLatin1Char('\n'))),
                        qPrintable(result.output));
            return 1;
        }
        ++number;
    } while (clock.elapsed() < qint64(options.walkMinutes * 60000));
    std::printf("%d walks in %.1f minutes, walks %u to %u: every call ended once\n", walks,
                double(clock.elapsed()) / 60000, options.randomStart, number - 1);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Options options;
    if (!parseOptions(app.arguments(), &options)) {
        std::fprintf(stderr,
                     "usage: stm-soak [--minutes N] [--shields 1-6] [--random N] "
                     "[--restart-every SECONDS] [--driver PROGRAM]\n"
                     "       stm-soak --walk MINUTES [--random N] [--driver PROGRAM]\n");
        return 2;
    }
    if (options.walkMinutes > 0)
        return walk(options);
    Soak soak(options);
    return soak.run();
}
