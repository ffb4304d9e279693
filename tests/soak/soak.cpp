// stm-soak: the real driver against shield-sim for minutes. Six noisy shields (one frame in 50
// damaged each way), calls with audio starting and ending every few seconds, host commands,
// debug events and now and then a shield that lost its initialisation. It counts what went in
// and what came out on each side, prints one table, and exits 1 when an invariant broke:
// every event reported exactly once, every accepted command executed exactly once, call audio
// carried (each block at most once, little lost), no restart, no disconnection, bounded memory.
// Everything runs in the main thread's event loop (the E2ePair helpers read both programs' output
// there).

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
constexpr int blockPeriodMs = 16;  // the pace at which a shield plays the host's audio

struct Options {
    double minutes = 10;
    int shields = 6;
    unsigned randomStart = 1;
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
        else
            ok = false;
        if (!ok)
            return false;
    }
    return options->minutes > 0 && options->shields >= 1 && options->shields <= 6;
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
    qint64 foreign = 0;      // blocks tagged for another shield, or altered

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

enum class CallPhase { None, Dialled, PickedUp, Talking, Draining, HungUp };

struct Shield {
    bool online = false;
    bool lostInit = false;  // between "lostinit" and the end of its list push
    CallPhase phase = CallPhase::None;
    qint64 phaseSince = 0;
    qint64 talkMs = 0;
    qint64 talkBlocks = 0;  // blocks due since the call began talking
    quint32 nextBlock = 0;
    QString awaitedLine;    // the host line that moves the call on
    std::unique_ptr<SoakAudio> audio;
};

class Soak
{
public:
    explicit Soak(const Options &options) : options(options), random(options.randomStart) {}
    int run();

private:
    bool available(int s) const
    {
        return shields[s].online && !shields[s].lostInit;
    }
    bool idle(int s) const;
    int pick(const std::function<bool(int)> &ok);
    void readDriver();
    void readSim();
    void step(qint64 now);
    void stepCall(int s, qint64 now);
    void expectEvent(const QString &line) { ++eventsExpected[line]; }
    void hostCommand(int s, const QString &line, const QStringList &executed);
    int uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }

    const Options options;
    std::mt19937 random;
    std::unique_ptr<E2ePair> pair;
    Shield shields[6];
    QElapsedTimer clock;

    int driverRead = 0;
    int simRead = 0;
    QMap<QString, int> eventsExpected;  // host line -> times the shields raised it
    QMap<QString, int> eventsReported;
    QHash<QString, int> executedExpected;  // "S what" -> times the host asked for it
    QHash<QString, int> executedSeen;
    QHash<int, int> outstanding;  // per shield: commands and events not through yet
    int commandsSent = 0;
    int refused = 0;
    int restarts = 0;
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
    ++commandsSent;
    for (const QString &what : executed) {
        ++executedExpected[QStringLiteral("%1 ").arg(s) + what];
        ++outstanding[s];
    }
}

void Soak::readDriver()
{
    static const QRegularExpression shieldLine(QStringLiteral("^([0-5]) (.*)$"));
    static const QRegularExpression pushLine(QStringLiteral("^#Shield ([0-5]) update black list$"));
    const QStringList lines = pair->driver().lines();
    for (; driverRead < lines.size(); ++driverRead) {
        const QString &line = lines.at(driverRead);
        if (line.startsWith(QLatin1String("#WARNING: Address ")))
            ++refused;
        const QRegularExpressionMatch push = pushLine.match(line);
        if (push.hasMatch()) {
            const int s = push.captured(1).toInt();
            shields[s].online = true;
            shields[s].lostInit = false;
        }
        if (line.startsWith(QLatin1String("#DEBUG ")) ||
            eventsExpected.contains(line)) {
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
        } else if ((rest.startsWith(QLatin1String("dial ")) ||
                    rest == QLatin1String("drop")) &&
                   !eventsExpected.contains(line)) {
            ++eventsReported[line];  // a line no shield raised
        }
        if (line == shields[s].awaitedLine)
            shields[s].awaitedLine.clear();
    }
}

void Soak::readSim()
{
    static const QRegularExpression executedLine(
        QStringLiteral("^shield ([0-5]): executed (.*)$"));
    static const QRegularExpression ackLine(
        QStringLiteral("^shield ([0-5]): event acknowledged: "));
    const QStringList lines = pair->sim().lines();
    for (; simRead < lines.size(); ++simRead) {
        const QString &line = lines.at(simRead);
        const QRegularExpressionMatch ack = ackLine.match(line);
        if (ack.hasMatch()) {
            --outstanding[ack.captured(1).toInt()];
            continue;
        }
        const QRegularExpressionMatch m = executedLine.match(line);
        if (!m.hasMatch())
            continue;
        const int s = m.captured(1).toInt();
        const QString what = m.captured(2);
        const bool counted = what.startsWith(QLatin1String("open door ")) ||
                             what.startsWith(QLatin1String("dial ")) ||
                             what == QLatin1String("pickup") ||
                             what.startsWith(QLatin1String("audio "));
        if (!counted)
            continue;
        const QString key = QStringLiteral("%1 ").arg(s) + what;
        ++executedSeen[key];
        if (executedSeen[key] <= executedExpected.value(key))
            --outstanding[s];
    }
}

void Soak::stepCall(int s, qint64 now)
{
    Shield &sh = shields[s];
    const qint64 inPhase = now - sh.phaseSince;
    const auto enter = [&](CallPhase phase) {
        sh.phase = phase;
        sh.phaseSince = now;
    };
    // A call that hangs in one phase is counted and given up; the counts show what was lost.
    if (sh.phase != CallPhase::Talking && sh.phase != CallPhase::None && inPhase > 30000) {
        ++callsStuck;
        sh.awaitedLine.clear();
        enter(CallPhase::None);
        return;
    }
    switch (sh.phase) {
    case CallPhase::None:
        break;
    case CallPhase::Dialled:
        if (sh.awaitedLine.isEmpty()) {
            hostCommand(s, QStringLiteral("pickup"),
                        {QStringLiteral("pickup"), QStringLiteral("audio on")});
            enter(CallPhase::PickedUp);
        }
        break;
    case CallPhase::PickedUp:
        // The host sends once the driver listens for this call's audio.
        if (sh.audio->driverListens()) {
            sh.talkMs = uniform(2000, 4000);
            sh.talkBlocks = 0;
            enter(CallPhase::Talking);
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
            enter(CallPhase::Draining);
        break;
    }
    case CallPhase::Draining:
        // The last blocks come back before the handset goes down.
        if (inPhase >= 1000) {
            pair->sim().writeLine(QStringLiteral("hangup %1").arg(s));
            const QString drop = QStringLiteral("%1 drop").arg(s);
            expectEvent(drop);
            ++outstanding[s];
            ++executedExpected[QStringLiteral("%1 audio off").arg(s)];
            ++outstanding[s];
            sh.awaitedLine = drop;
            enter(CallPhase::HungUp);
        }
        break;
    case CallPhase::HungUp:
        if (sh.awaitedLine.isEmpty() && inPhase >= 500)
            enter(CallPhase::None);
        break;
    }
}

void Soak::step(qint64 now)
{
    for (int s = 0; s < options.shields; ++s)
        stepCall(s, now);

    // A call every few seconds; dials from all shields at least 2.5 s apart, so that they never
    // form a dial flood.
    if (now >= nextCallAt && now - lastDialAt >= 2500) {
        const int s = pick([this](int i) { return idle(i); });
        if (s >= 0) {
            const quint32 number = nextDial++;
            pair->sim().writeLine(QStringLiteral("dial %1 %2").arg(s).arg(number));
            const QString line = QStringLiteral("%1 dial %2").arg(s).arg(number);
            expectEvent(line);
            ++outstanding[s];
            shields[s].awaitedLine = line;
            shields[s].phase = CallPhase::Dialled;
            shields[s].phaseSince = now;
            lastDialAt = now;
            ++calls;
        }
        nextCallAt = now + uniform(3000, 5000);
    }
    if (now >= nextCommandAt) {
        const int s = pick([this](int i) { return available(i); });
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
            pair->sim().writeLine(QStringLiteral("debugnum %1 %2").arg(s).arg(value));
            expectEvent(QStringLiteral("#DEBUG %1: %2").arg(s).arg(value));
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
}

int Soak::run()
{
    QStringList present;
    for (int s = 0; s < options.shields; ++s)
        present << QString::number(s);
    std::fprintf(stderr, "stm-soak: %g minutes, shields %s, random start %u\n", options.minutes,
                 qPrintable(present.join(QLatin1Char(','))), options.randomStart);
    pair.reset(new E2ePair({QStringLiteral("--shields"), present.join(QLatin1Char(',')),
                            QStringLiteral("--multishield")},
                           {QStringLiteral("-multishield"), QStringLiteral("-ic"),
                            QStringLiteral("10")},
                           true));
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
        if (pair->driver().waitForLine(QStringLiteral("#Shield %1 update black list").arg(s)) <
            0) {
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
    const qint64 runMs = static_cast<qint64>(options.minutes * 60000);
    qint64 nextProgress = 60000;
    while (clock.elapsed() < runMs && pair->driver().running()) {
        E2eProcess::pump(5);
        readDriver();
        readSim();
        restarts = pair->driver().err().count(QStringLiteral("#Restart ALL Shields"));
        step(clock.elapsed());
        if (clock.elapsed() >= nextProgress) {
            std::fprintf(stderr, "stm-soak: %lld min, %d calls\n",
                         static_cast<long long>(nextProgress / 60000), calls);
            nextProgress += 60000;
        }
    }
    // Let what is on its way arrive: running calls end, nothing new starts.
    const qint64 settleUntil = clock.elapsed() + 20000;
    nextCallAt = nextCommandAt = nextEventAt = nextLostInitAt = settleUntil * 2;
    while (clock.elapsed() < settleUntil && pair->driver().running()) {
        E2eProcess::pump(5);
        readDriver();
        readSim();
        step(clock.elapsed());
        bool quiet = true;
        for (int s = 0; s < options.shields; ++s)
            quiet = quiet && shields[s].phase == CallPhase::None && outstanding.value(s) == 0 &&
                    !shields[s].lostInit;
        if (quiet)
            break;
    }
    E2eProcess::pump(1000);
    readDriver();
    readSim();
    restarts = pair->driver().err().count(QStringLiteral("#Restart ALL Shields"));
    const bool running = pair->driver().running();
    const qint64 rssEnd = rssKb(pid);

    // Events: each raised line reported exactly as often as raised.
    int eventsSent = 0, eventsOnce = 0, eventsMissing = 0, eventsExtra = 0;
    QStringList eventFaults;
    QSet<QString> eventKeys;
    for (auto it = eventsExpected.cbegin(); it != eventsExpected.cend(); ++it)
        eventKeys.insert(it.key());
    for (auto it = eventsReported.cbegin(); it != eventsReported.cend(); ++it)
        eventKeys.insert(it.key());
    for (const QString &key : eventKeys) {
        const int want = eventsExpected.value(key);
        const int got = eventsReported.value(key);
        eventsSent += want;
        eventsOnce += qMin(want, got);
        eventsMissing += qMax(0, want - got);
        eventsExtra += qMax(0, got - want);
        if (want != got && eventFaults.size() < 10)
            eventFaults << QStringLiteral("%1: raised %2, reported %3").arg(key).arg(want).arg(got);
    }
    // Commands: what each shield executed against what the host asked for.
    int execExpected = 0, execOnce = 0, execMissing = 0, execExtra = 0;
    QStringList commandFaults;
    QSet<QString> execKeys;
    for (auto it = executedExpected.cbegin(); it != executedExpected.cend(); ++it)
        execKeys.insert(it.key());
    for (auto it = executedSeen.cbegin(); it != executedSeen.cend(); ++it)
        execKeys.insert(it.key());
    for (const QString &key : execKeys) {
        const int want = executedExpected.value(key);
        const int got = executedSeen.value(key);
        execExpected += want;
        execOnce += qMin(want, got);
        execMissing += qMax(0, want - got);
        execExtra += qMax(0, got - want);
        if (want != got && commandFaults.size() < 10)
            commandFaults << QStringLiteral("%1: asked %2, executed %3").arg(key).arg(want).arg(got);
    }
    qint64 audioSent = 0, audioBack = 0, duplicates = 0, foreign = 0, badSize = 0, datagrams = 0;
    for (int s = 0; s < options.shields; ++s) {
        const SoakAudio &a = *shields[s].audio;
        audioSent += a.sentBytes;
        audioBack += qint64(a.received.size()) * blockSize;
        duplicates += a.duplicates;
        foreign += a.foreign;
        badSize += a.badSize;
        datagrams += a.datagrams;
    }
    const double audioShare = audioSent > 0 ? double(audioBack) / double(audioSent) : 1.0;

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
         QStringLiteral("%1 / %2").arg(eventsSent).arg(eventsOnce), eventsMissing == 0},
        {QStringLiteral("events missing / extra"),
         QStringLiteral("%1 / %2").arg(eventsMissing).arg(eventsExtra), eventsExtra == 0},
        {QStringLiteral("host command lines sent / refused"),
         QStringLiteral("%1 / %2").arg(commandsSent).arg(refused), refused == 0},
        {QStringLiteral("shield actions asked / executed once"),
         QStringLiteral("%1 / %2").arg(execExpected).arg(execOnce), execMissing == 0},
        {QStringLiteral("shield actions missing / extra"),
         QStringLiteral("%1 / %2").arg(execMissing).arg(execExtra), execExtra == 0},
        {QStringLiteral("audio bytes sent / back"),
         QStringLiteral("%1 / %2 (%3%)").arg(audioSent).arg(audioBack).arg(audioShare * 100, 0,
                                                                          'f', 1),
         audioShare >= 0.9},
        {QStringLiteral("audio blocks twice / altered / bad size"),
         QStringLiteral("%1 / %2 / %3").arg(duplicates).arg(foreign).arg(badSize),
         duplicates == 0 && foreign == 0 && badSize == 0},
        {QStringLiteral("datagrams to the host"), QString::number(datagrams), true},
        {QStringLiteral("lost initialisations / ready again"),
         QStringLiteral("%1 / %2").arg(lostInits).arg(readyLines - readyAtStart),
         readyLines - readyAtStart == lostInits},
        {QStringLiteral("restarts"), QString::number(restarts), restarts == 0},
        {QStringLiteral("disconnections"), QString::number(disconnects), disconnects == 0},
        {QStringLiteral("driver RSS start / end (kB)"),
         QStringLiteral("%1 / %2").arg(rssStart).arg(rssEnd),
         rssStart > 0 && rssEnd > 0 && rssEnd - rssStart < 20 * 1024},
        {QStringLiteral("driver running at the end"), running ? QStringLiteral("yes")
                                                              : QStringLiteral("no"),
         running},
    };
    bool allOk = true;
    std::printf("%-42s %-30s %s\n", "figure", "value", "invariant");
    for (const Row &row : rows) {
        allOk = allOk && row.ok;
        std::printf("%-42s %-30s %s\n", qPrintable(row.what), qPrintable(row.figure),
                    row.ok ? "ok" : "BROKEN");
    }
    for (const QString &f : eventFaults + commandFaults)
        std::printf("  %s\n", qPrintable(f));
    if (!allOk) {
        const QString err = pair->driver().err();
        std::printf("driver standard error (last 2000 characters):\n%s\n",
                    qPrintable(err.right(2000)));
    }
    std::fflush(stdout);
    return allOk ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Options options;
    if (!parseOptions(app.arguments(), &options)) {
        std::fprintf(stderr, "usage: stm-soak [--minutes N] [--shields 1-6] [--random N]\n");
        return 2;
    }
    Soak soak(options);
    return soak.run();
}
