#pragma once
// End-to-end helpers: the real stm-driver and the real shield-sim as child processes. Owned and
// used by the test's main thread only. Their output is read by the main thread's event loop,
// which every wait below runs, so neither pipe fills up while a test waits on the other program
// (and UDP sockets of the test are served in the same loop).

#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QUdpSocket>

#include <functional>
#include <memory>

class E2eProcess
{
public:
    // Generous: the machine may be busy with other tests; no check relies on speed.
    static constexpr int timeoutMs = 30000;

    E2eProcess(const QString &name, const QString &program, const QStringList &args,
               const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    // Kills a process that still runs and waits for it.
    ~E2eProcess();
    E2eProcess(const E2eProcess &) = delete;
    E2eProcess &operator=(const E2eProcess &) = delete;

    bool started() const { return startedOk; }
    bool running() const { return process.state() != QProcess::NotRunning; }
    qint64 pid() const { return process.processId(); }

    // Standard input: a line gets "\n" appended; raw bytes go as they are.
    void writeLine(const QString &line);
    void write(const QByteArray &bytes);
    void closeInput();
    void kill();

    // Index of the first standard-output line at or after `from` that equals `line` (or starts
    // with `prefix`), waiting for it; -1 when it did not come in time.
    int waitForLine(const QString &line, int from = 0, int timeout = timeoutMs);
    int waitForPrefix(const QString &prefix, int from = 0, int timeout = timeoutMs);
    // Waits until standard error holds `text`.
    bool waitForErr(const QString &text, int timeout = timeoutMs);
    // Waits until the process has ended by itself.
    bool waitForFinished(int timeout = timeoutMs);

    // Complete standard-output lines so far, without their "\n".
    QStringList lines() const { return outLines; }
    int lineCount() const { return outLines.size(); }
    int count(const QString &line) const { return outLines.count(line); }
    QString err() const { return QString::fromUtf8(errBytes); }
    // Standard error without the driver's reports of transfer cycles that overran their
    // period: on a busy machine the scheduler can stretch any cycle.
    QString errBesidesOverruns() const;
    int exitCode() const { return process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return process.exitStatus(); }
    // Both streams, for failure messages.
    std::string describe() const;

    // Runs the main event loop until cond() holds or `timeout` passes; returns cond().
    static bool waitUntil(const std::function<bool()> &cond, int timeout = timeoutMs);
    // Runs the main event loop for `ms` milliseconds.
    static void pump(int ms);

private:
    void readOut();
    void readErr();
    int findLine(const std::function<bool(const QString &)> &match, int from) const;

    QString name;
    QProcess process;
    bool startedOk = false;
    QByteArray partial;  // standard output after the last "\n"
    QStringList outLines;
    QByteArray errBytes;
};

// A shield-sim and a driver connected through a simulated bus on a socket of their own.
// Tests that make the driver play audio pass usesAudioPorts: the driver's UDP ports are fixed
// (20002 + 2i out, 20003 + 2i in). A test program in a network of its own has them to itself;
// one on the machine's network first takes its turn (support/ownnetwork.h) and keeps it.
class E2ePair
{
public:
    E2ePair(const QString &simProgram, const QString &driverProgram, const QStringList &simArgs,
            const QStringList &driverArgs, bool usesAudioPorts);
    // The driver on its hardware path instead: no -simbus, the stand-in kernel `standinLibrary`
    // preloaded, serving the board's GPIO chip and SPI node and reaching the same shield-sim;
    // `standin` holds its settings (STM_STANDIN_BOARD, STM_STANDIN_FAULT, ...; see
    // tests/support/standin/standin.cpp).
    struct OnBoard {
        QString standinLibrary;
        QStringList standin;  // NAME=VALUE
    };
    E2ePair(const QString &simProgram, const QString &driverProgram, const QStringList &simArgs,
            const QStringList &driverArgs, bool usesAudioPorts, const OnBoard &onBoard);
#if defined(SHIELD_SIM_PATH) && defined(STM_DRIVER_PATH)
    // The two programs of this build (test programs are compiled with their paths).
    E2ePair(const QStringList &simArgs, const QStringList &driverArgs, bool usesAudioPorts = false)
        : E2ePair(QStringLiteral(SHIELD_SIM_PATH), QStringLiteral(STM_DRIVER_PATH), simArgs,
                  driverArgs, usesAudioPorts)
    {}
#endif
#if defined(SHIELD_SIM_PATH) && defined(STM_DRIVER_PATH) && defined(STANDIN_PATH)
    static OnBoard standin(const QStringList &settings = {})
    {
        return OnBoard{QStringLiteral(STANDIN_PATH), settings};
    }
    E2ePair(const QStringList &simArgs, const QStringList &driverArgs, bool usesAudioPorts,
            const OnBoard &onBoard)
        : E2ePair(QStringLiteral(SHIELD_SIM_PATH), QStringLiteral(STM_DRIVER_PATH), simArgs,
                  driverArgs, usesAudioPorts, onBoard)
    {}
#endif
    ~E2ePair();
    E2ePair(const E2ePair &) = delete;
    E2ePair &operator=(const E2ePair &) = delete;

    // Both programs run and the simulator listened before the driver started.
    bool started() const;
    E2eProcess &sim()
    {
        return *simProcess;
    }
    E2eProcess &driver()
    {
        return *driverProcess;
    }
    QString socketPath() const
    {
        return path;
    }
    // The environment the driver ran with (the stand-in's settings on the hardware path).
    QProcessEnvironment driverEnvironment() const
    {
        return driverEnv;
    }

    // What shield `shield` executed, as shield-sim tells it ("open door 7", "dial 300", ...),
    // from the simulator's line `from` on; pings and apartment-list words are left out.
    QStringList executed(int shield, int from = 0) const;
    // Waits until shield `shield` executed `what` at or after the simulator's line `from`.
    bool waitExecuted(int shield, const QString &what, int from = 0,
                      int timeout = E2eProcess::timeoutMs);
    // Both programs' output, for failure messages.
    std::string describe() const;

private:
    QString path;
    QProcessEnvironment driverEnv = QProcessEnvironment::systemEnvironment();
    std::unique_ptr<E2eProcess> simProcess;
    std::unique_ptr<E2eProcess> driverProcess;
};

// A program of this build, or, when STM_TEST_PROGRAMS names another build (of another
// architecture, whose programs the kernel starts through binfmt_misc), the same program of that
// build: the process-level tests then run its driver, shield-sim, stm-status and stand-in.
// E2eProcess maps its program and arguments through it, E2ePair the stand-in.
QString testProgram(const QString &path);

// Standard-error text without the driver's reports of transfer cycles that overran their period
// (see E2eProcess::errBesidesOverruns).
QString withoutOverrunReports(const QString &err);

// A driver's arguments in a test: without a status socket unless the test names one, so drivers
// that tests run in parallel never meet on the default path.
QStringList testDriverArgs(const QStringList &args);

// Sends `request` to the status socket at `path` and returns the JSON object of the first line of
// the answer; an empty object when no answer came in time.
QJsonObject askStatus(const QString &path, const QByteArray &request = "status");
// A status client that asks to watch (or sends another request) and then never reads a byte (a
// small receive buffer, so its unread answers back up soon); the descriptor, or -1.
int connectSilentWatcher(const QString &path, const QByteArray &request = "watch");
// One shield's object of a status document (by position: the served shields in address order).
QJsonObject statusShield(const QJsonObject &document, int shield);

// A 512-byte host audio block that can be found again: a 4-byte tag, its number, a pattern.
QByteArray numberedBlock(const char tag[4], quint32 n);
// The number of such a block.
quint32 numberOf(const QByteArray &block);

// Host lines without the driver's link warnings (" WARNING: SPI: ...": error counts, lost
// initialisation), which a busy machine may add between the lines a test expects.
QStringList withoutLinkWarnings(QStringList lines);

// A size field of /proc/PID/status ("VmRSS", "RssAnon", ...) in kB; -1 when it cannot be read.
qint64 procStatusKb(qint64 pid, const QByteArray &field);
// Resident memory of a process in kB (VmRSS), -1 when it cannot be read.
qint64 rssKb(qint64 pid);
// CPU time a process has used so far in seconds (user and system), -1 when it cannot be read.
double cpuSeconds(qint64 pid);

// The host's end of one shield's audio: it listens where the driver sends and sends where the
// driver listens.
class AudioHost
{
public:
    explicit AudioHost(quint16 fromDriverPort);
    void send(const QByteArray &block);
    // Whether the driver holds its listening port (a bind of our own that shares nothing fails).
    bool driverListens();

    bool listening = false;
    QList<QByteArray> got;

private:
    const quint16 toDriverPort;
    QUdpSocket in;
    QUdpSocket out;
};
