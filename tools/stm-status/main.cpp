// stm-status: asks the running stm-driver how its shields are, on the driver's status socket, and
// prints one table row per shield (or the raw JSON document). With --watch it refreshes the
// table every second; with --prometheus it prints the document in Prometheus' text format, for
// node_exporter's textfile collector; with --capture it writes the driver's exchanges with its
// shields into a pcap file for Wireshark. The host protocol on the driver's standard streams is
// not touched.

#include "base/capturewire.h"
#include "base/qtcompat.h"
#include "base/statuspath.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QMap>
#include <QStringList>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>  // mkostemp
#include <cstring>
#include <limits>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

static_assert(DLT_USER0 == CaptureWire::pcapLinkType, "the records' link type is DLT_USER0");

namespace {

const char *const usage =
    "Usage: stm-status [options]\n"
    "Shows the shields of the running stm-driver: state, firmware, calls and audio, events,\n"
    "errors per minute, the share of the last minute's exchanges that brought a damaged frame\n"
    "and disconnects.\n"
    "\n"
    "Options:\n"
    "  -s PATH        the driver's status socket (default %s)\n"
    "  --watch        refresh every second until Ctrl-C\n"
    "  --json         print the driver's JSON document as it comes, one per line\n"
    "  --prometheus   print the document in Prometheus' text format (stm_driver_up 0 when\n"
    "                 no driver answers)\n"
    "  --output FILE  with --prometheus: replace FILE at once with it (a new file in FILE's\n"
    "                 folder, renamed over it), for node_exporter's textfile collector\n"
    "  --capture FILE write the driver's exchanges with its shields to FILE (mode 0600; - for\n"
    "                 standard output) in pcap format, for Wireshark with the stmspi dissector,\n"
    "                 until Ctrl-C or SIGTERM; each record is written out as it comes\n"
    "  --count N      with --capture: stop after N records\n"
    "  --seconds S    with --capture: stop after S seconds\n"
    "  --shield N     with --capture: only the exchanges with shield N\n"
    "  --help         this text\n"
    "\n"
    "Exit status 1 when no driver answers; with --prometheus, 1 only when the figures could\n"
    "not be written; with --capture, 1 when the driver ends the capture or FILE cannot be\n"
    "written (what was captured until then stays a complete file).\n";

const int answerTimeoutMs = 5000;

void out(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

int fail(const QString &text)
{
    std::fprintf(stderr, "stm-status: %s\n", qPrintable(text));
    return 1;
}

QString duration(qint64 seconds)
{
    return QStringLiteral("%1h%2m%3s")
        .arg(seconds / 3600)
        .arg((seconds / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

qint64 number(const QJsonObject &object, const char *name)
{
    return object.value(QLatin1String(name)).toVariant().toLongLong();
}

// Errors (TX and RX) per minute: over the time since the previous document when there is one,
// else over the driver's whole run.
class ErrorRate
{
public:
    QString rate(int address, qint64 errors, qint64 uptime)
    {
        const qint64 elapsedMs = clock.isValid() ? clock.elapsed() : 0;
        QString text;
        if (previous.contains(address) && elapsedMs > 0)
            text =
                QString::number((errors - previous.value(address)) * 60000.0 / elapsedMs, 'f', 1);
        else if (uptime > 0)
            text = QString::number(errors * 60.0 / uptime, 'f', 1);
        else
            text = QStringLiteral("-");
        next.insert(address, errors);
        return text;
    }
    void documentDone()
    {
        previous = next;
        next.clear();
        clock.start();
    }

private:
    QMap<int, qint64> previous;
    QMap<int, qint64> next;
    QElapsedTimer clock;
};

// A shield in its bootloader stands out in capitals.
QString stateText(const QJsonObject &shield)
{
    const QString state = shield.value(QStringLiteral("state")).toString();
    return state == QLatin1String("bootloader") ? state.toUpper() : state;
}

// How far a state name runs past its column: the firmware column gives way (BOOTLOADER).
int stateOverflow(const QJsonObject &shield)
{
    return std::max<int>(0, stateText(shield).size() - 7);
}

// Below the table, what a technician does about a shield stuck in its bootloader.
QString bootloaderLines(const QJsonObject &doc)
{
    QString text;
    for (const QJsonValue &value : doc.value(QStringLiteral("shields")).toArray()) {
        const QJsonObject s = value.toObject();
        if (s.value(QStringLiteral("state")).toString() != QLatin1String("bootloader"))
            continue;
        text += QStringLiteral(
                    "shield %1 in its STM32 bootloader for %2, %3 hand-offs tried: its "
                    "application does not start; stm-flash(1) writes its firmware\n")
                    .arg(number(s, "address"))
                    .arg(duration(number(s, "bootloader_since_s")))
                    .arg(number(s, "bootloader_handoffs"));
    }
    return text;
}

// The share of the last minute's exchanges with the shield that brought a damaged frame; "-"
// when there were none (or the driver does not count them).
QString loss(const QJsonObject &shield)
{
    const qint64 exchanges = number(shield, "exchanges_last_min");
    if (exchanges <= 0)
        return QStringLiteral("-");
    return QString::number(number(shield, "bad_frames_last_min") * 100.0 / exchanges, 'f', 1) +
           QLatin1Char('%');
}

QString table(const QJsonObject &doc, ErrorRate &rates)
{
    const qint64 uptime = number(doc, "uptime_s");
    QString text = QStringLiteral("stm-driver %1, %2 shield mode, up %3, %4 link restarts\n")
                       .arg(doc.value(QStringLiteral("version")).toString(),
                            doc.value(QStringLiteral("mode")).toString(), duration(uptime))
                       .arg(number(doc, "restarts"));
    const qint64 rtprio = number(doc, "rtprio");
    text += QStringLiteral("transfer cycle: %1, %2 overran the 16 ms period, longest %3 ms\n")
                .arg(rtprio > 0 ? QStringLiteral("real-time priority %1").arg(rtprio)
                                : QStringLiteral("normal priority"))
                .arg(number(doc, "cycle_overruns"))
                .arg(number(doc, "longest_cycle_us") / 1000.0, 0, 'f', 3);
    const qint64 queued = number(doc, "host_output_queued");
    const qint64 stalled = number(doc, "host_stalled_s");
    if (queued > 0 || stalled > 0)
        text += QStringLiteral("host output: %1 bytes not read yet, nothing read for %2 s\n")
                    .arg(queued)
                    .arg(stalled);
    text += QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9\n")
                .arg(QStringLiteral("ADDR"), -4)
                .arg(QStringLiteral("STATE"), -7)
                .arg(QStringLiteral("FIRMWARE"), -8)
                .arg(QStringLiteral("CALL"), -4)
                .arg(QStringLiteral("AUDIO IN/OUT/DROPPED"), -22)
                .arg(QStringLiteral("EVENTS"), 7)
                .arg(QStringLiteral("ERR/MIN"), 8)
                .arg(QStringLiteral("LOSS"), 6)
                .arg(QStringLiteral("DISCONNECTS"), 11);
    for (const QJsonValue &value : doc.value(QStringLiteral("shields")).toArray()) {
        const QJsonObject s = value.toObject();
        const int address = static_cast<int>(number(s, "address"));
        const qint64 errors = number(s, "tx_errors") + number(s, "rx_errors");
        const QString audio = QStringLiteral("%1/%2/%3")
                                  .arg(number(s, "audio_blocks_in"))
                                  .arg(number(s, "audio_blocks_out"))
                                  .arg(number(s, "audio_dropped"));
        text += QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9\n")
                    .arg(address, -4)
                    .arg(stateText(s), -7)
                    .arg(number(s, "firmware"), -(8 - stateOverflow(s)))
                    .arg(s.value(QStringLiteral("audio")).toBool() ? QStringLiteral("yes")
                                                                   : QStringLiteral("-"),
                         -4)
                    .arg(audio, -22)
                    .arg(number(s, "events"), 7)
                    .arg(rates.rate(address, errors, uptime), 8)
                    .arg(loss(s), 6)
                    .arg(number(s, "disconnects"), 11);
    }
    rates.documentDone();
    text += bootloaderLines(doc);
    return text;
}

// Prometheus' text exposition format: every family's HELP and TYPE lines, then its samples.
class Exposition
{
public:
    void family(const char *name, const char *type, const char *help)
    {
        text += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
                    .arg(QLatin1String(name), QLatin1String(help), QLatin1String(type));
    }
    void sample(const QString &series, const QString &value)
    {
        text += series + QLatin1Char(' ') + value + QLatin1Char('\n');
    }
    void sample(const QString &series, qint64 value) { sample(series, QString::number(value)); }

    QString text;
};

QString labelValue(const QString &value)
{
    QString escaped = value;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

// One figure of every shield: its family, and the document's field it comes from.
struct ShieldFigure {
    const char *name;
    const char *type;
    const char *help;
    const char *field;
};

const ShieldFigure shieldFigures[] = {
    {"stm_shield_firmware", "gauge", "Firmware version the shield reported (0 before it did).",
     "firmware"},
    {"stm_shield_events_total", "counter", "Events the shield raised, each counted once.",
     "events"},
    {"stm_shield_commands_total", "counter", "Acknowledged commands the shield executed.",
     "commands"},
    {"stm_shield_tx_errors_total", "counter", "Commands sent again for a missing or wrong reply.",
     "tx_errors"},
    {"stm_shield_rx_errors_total", "counter", "Events the shield offered again.", "rx_errors"},
    {"stm_shield_exchanges_total", "counter", "Transfers with the shield, whatever came back.",
     "exchanges"},
    {"stm_shield_frames_total", "counter", "Frames received from the shield.", "frames"},
    {"stm_shield_bad_frames_total", "counter",
     "Frames received from the shield and dropped for their start byte or CRC.", "bad_frames"},
    {"stm_shield_disconnects_total", "counter", "Times the shield dropped out of service.",
     "disconnects"},
    {"stm_shield_bootloader_handoffs", "gauge",
     "Hand-offs to its application tried while the shield stays in its bootloader (0: not there).",
     "bootloader_handoffs"},
    {"stm_shield_bootloader_seconds", "gauge",
     "How long the shield has stayed in its bootloader (0: not there).", "bootloader_since_s"},
    {"stm_shield_audio_blocks_in_total", "counter",
     "512-byte audio blocks from the host queued for the shield.", "audio_blocks_in"},
    {"stm_shield_audio_blocks_out_total", "counter",
     "512-byte audio blocks from the shield passed on to the host.", "audio_blocks_out"},
    {"stm_shield_audio_blocks_dropped_total", "counter",
     "Audio blocks from the host dropped on a full queue.", "audio_dropped"},
};

// The document in Prometheus' text format; without one, only stm_driver_up 0.
QString prometheus(const QJsonObject *doc)
{
    Exposition out;
    out.family("stm_driver_up", "gauge",
               "1 when the driver answered on its status socket, 0 when none did.");
    out.sample(QStringLiteral("stm_driver_up"), doc ? 1 : 0);
    if (!doc)
        return out.text;
    out.family("stm_driver_info", "gauge", "The driver's version and shield mode.");
    out.sample(QStringLiteral("stm_driver_info{version=%1,mode=%2}")
                   .arg(labelValue(doc->value(QStringLiteral("version")).toString()),
                        labelValue(doc->value(QStringLiteral("mode")).toString())),
               1);
    out.family("stm_driver_uptime_seconds", "gauge", "Time since the driver started.");
    out.sample(QStringLiteral("stm_driver_uptime_seconds"), number(*doc, "uptime_s"));
    out.family("stm_driver_link_restarts_total", "counter", "Restarts of the link to all shields.");
    out.sample(QStringLiteral("stm_driver_link_restarts_total"), number(*doc, "restarts"));
    out.family("stm_driver_cycle_overruns_total", "counter",
               "Transfer cycles that started late or overran their 16 ms period.");
    out.sample(QStringLiteral("stm_driver_cycle_overruns_total"), number(*doc, "cycle_overruns"));
    out.family("stm_driver_cycle_longest_seconds", "gauge", "The longest transfer cycle so far.");
    out.sample(QStringLiteral("stm_driver_cycle_longest_seconds"),
               QString::number(number(*doc, "longest_cycle_us") / 1e6, 'f', 6));
    out.family("stm_driver_realtime_priority", "gauge",
               "Real-time priority of the transfer thread (0: normal priority).");
    out.sample(QStringLiteral("stm_driver_realtime_priority"), number(*doc, "rtprio"));
    out.family("stm_driver_host_output_queued_bytes", "gauge",
               "Bytes of standard output waiting for the host to read them.");
    out.sample(QStringLiteral("stm_driver_host_output_queued_bytes"),
               number(*doc, "host_output_queued"));
    out.family("stm_driver_host_stalled_seconds", "gauge",
               "Time the host has read nothing while lines waited (0: none wait).");
    out.sample(QStringLiteral("stm_driver_host_stalled_seconds"), number(*doc, "host_stalled_s"));

    QList<QJsonObject> shields;
    for (const QJsonValue &value : doc->value(QStringLiteral("shields")).toArray())
        shields << value.toObject();
    const auto series = [](const char *name, const QJsonObject &shield) {
        return QStringLiteral("%1{address=\"%2\"}")
            .arg(QLatin1String(name))
            .arg(number(shield, "address"));
    };
    const auto stateOf = [](const QJsonObject &shield) {
        return shield.value(QStringLiteral("state")).toString();
    };
    out.family("stm_shield_online", "gauge", "1 while the shield is in service.");
    for (const QJsonObject &shield : shields)
        out.sample(series("stm_shield_online", shield),
                   stateOf(shield) == QLatin1String("online") ? 1 : 0);
    out.family("stm_shield_state", "gauge", "The shield's state: 1 for the one it is in.");
    for (const QJsonObject &shield : shields) {
        QStringList states = {QStringLiteral("init"), QStringLiteral("online"),
                              QStringLiteral("offline"), QStringLiteral("bootloader")};
        if (!states.contains(stateOf(shield)))
            states << stateOf(shield);
        for (const QString &state : states) {
            out.sample(QStringLiteral("stm_shield_state{address=\"%1\",state=%2}")
                           .arg(number(shield, "address"))
                           .arg(labelValue(state)),
                       state == stateOf(shield) ? 1 : 0);
        }
    }
    for (const ShieldFigure &figure : shieldFigures) {
        out.family(figure.name, figure.type, figure.help);
        for (const QJsonObject &shield : shields)
            out.sample(series(figure.name, shield), number(shield, figure.field));
    }
    out.family("stm_shield_audio_active", "gauge", "1 while the shield's audio runs (a call).");
    for (const QJsonObject &shield : shields)
        out.sample(series("stm_shield_audio_active", shield),
                   shield.value(QStringLiteral("audio")).toBool() ? 1 : 0);
    return out.text;
}

// Replaces `path` with `text` at once: a new file beside it (never a link followed, readable by
// all, as node_exporter runs as a user of its own), written out, then renamed over the old one,
// so a reader sees the old figures or the new ones, never half of them. False with `why` when
// anything fails; the old file is then left as it was.
bool replaceFile(const QString &path, const QByteArray &text, QString *why)
{
    const QByteArray target = QFile::encodeName(path);
    QByteArray temporary = target + ".XXXXXX";  // node_exporter reads only names ending in .prom
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *why = QStringLiteral("cannot create a file beside ") + path + QStringLiteral(" (") +
               QString::fromLocal8Bit(std::strerror(errno)) + QLatin1Char(')');
        return false;
    }
    int error = ::fchmod(fd, 0644) == 0 ? 0 : errno;
    for (qint64 done = 0; error == 0 && done < text.size();) {
        const ssize_t n =
            ::write(fd, text.constData() + done, static_cast<size_t>(text.size() - done));
        if (n > 0)
            done += n;
        else if (n == 0 || errno != EINTR)
            error = n == 0 ? EIO : errno;
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.constData(), target.constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.constData());
        *why = QStringLiteral("cannot write ") + path + QStringLiteral(" (") +
               QString::fromLocal8Bit(std::strerror(error)) + QLatin1Char(')');
        return false;
    }
    return true;
}

// The next line of the answer; empty when the driver went away or said nothing in time.
QByteArray readLine(QLocalSocket &socket, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!socket.canReadLine()) {
        const int left = timeoutMs < 0 ? 1000 : timeoutMs - static_cast<int>(clock.elapsed());
        if (left <= 0 || socket.state() != QLocalSocket::ConnectedState)
            return QByteArray();
        socket.waitForReadyRead(left);
    }
    return socket.readLine().trimmed();
}

// Connects to the driver; false with the reason when nobody answers there.
bool connectTo(QLocalSocket &socket, const QString &path, QString *why)
{
    socket.connectToServer(path);
    if (socket.waitForConnected(answerTimeoutMs))
        return true;
    QString reason;
    switch (socket.error()) {
    case QLocalSocket::ServerNotFoundError:
        reason = QStringLiteral("no socket there: is the driver running, with -status?");
        break;
    case QLocalSocket::ConnectionRefusedError:
        reason = QStringLiteral("nobody listens there: the driver has ended");
        break;
    case QLocalSocket::SocketAccessError:
        reason = QStringLiteral("no permission: are you a member of the group stm-driver?");
        break;
    default:
        reason = socket.errorString();
        break;
    }
    *why = QStringLiteral("no driver answers on ") + path + QStringLiteral(" (") + reason +
           QLatin1Char(')');
    return false;
}

// --prometheus: the document in Prometheus' format on standard output or into `output`. When no
// driver answers, the figures say so (stm_driver_up 0) and standard error says why; that is
// still a complete set of figures, so only a failure to write them gives a non-zero status.
int exposition(const QString &path, const QString &output)
{
    QLocalSocket socket;
    QString why;
    QJsonObject doc;
    if (connectTo(socket, path, &why)) {
        socket.write("status\n");
        socket.waitForBytesWritten(answerTimeoutMs);
        const QByteArray line = readLine(socket, answerTimeoutMs);
        doc = QJsonDocument::fromJson(line).object();
        if (line.isEmpty())
            why = QStringLiteral("the driver on ") + path + QStringLiteral(" did not answer");
        else if (doc.contains(QStringLiteral("error")))
            why =
                QStringLiteral("the driver says: ") + doc.value(QStringLiteral("error")).toString();
        else if (!doc.value(QStringLiteral("shields")).isArray())
            why =
                QStringLiteral("the answer on ") + path + QStringLiteral(" is no status document");
    }
    if (!why.isEmpty())
        std::fprintf(stderr, "stm-status: %s\n", qPrintable(why));
    const QByteArray text = prometheus(why.isEmpty() ? &doc : nullptr).toUtf8();
    if (!output.isEmpty()) {
        QString failure;
        return replaceFile(output, text, &failure) ? 0 : fail(failure);
    }
    out(QString::fromUtf8(text));
    return std::ferror(stdout) ? fail(QStringLiteral("cannot write the figures")) : 0;
}

// --capture: the records of the driver's capture stream (base/capturewire.h) into a pcap file.
struct CaptureOptions {
    QString file;  // "-": standard output
    int shield = -1;
    qint64 count = 0;    // records; 0: no limit
    qint64 seconds = 0;  // 0: no limit
};

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int signal)
{
    stopSignal = signal;
}

// The capture file: created with its final mode, never through a link, and only once the driver
// has agreed to capture (a refusal leaves an existing file as it was).
FILE *openCaptureFile(const QString &file, QString *why)
{
    if (file == QLatin1String("-")) {
        if (::isatty(STDOUT_FILENO)) {
            *why = QStringLiteral(
                "a capture is no text for a terminal: give a file, or pipe it "
                "(stm-status --capture - | wireshark -k -i -)");
            return nullptr;
        }
        return stdout;
    }
    const int fd = ::open(QFile::encodeName(file).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    FILE *stream = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!stream) {
        *why = QStringLiteral("cannot write ") + file + QStringLiteral(" (") +
               QString::fromLocal8Bit(std::strerror(errno)) + QLatin1Char(')');
        if (fd >= 0)
            ::close(fd);
    }
    return stream;
}

int captureTo(const QString &path, const CaptureOptions &options)
{
    QLocalSocket socket;
    QString why;
    if (!connectTo(socket, path, &why))
        return fail(why);
    QByteArray request = CaptureWire::request;
    if (options.shield >= 0)
        request += ' ' + QByteArray::number(options.shield);
    socket.write(request + '\n');
    socket.waitForBytesWritten(answerTimeoutMs);
    const QByteArray line = readLine(socket, answerTimeoutMs);
    const QJsonObject answer = QJsonDocument::fromJson(line).object();
    if (line.isEmpty())
        return fail(QStringLiteral("the driver on ") + path + QStringLiteral(" did not answer"));
    if (answer.contains(QStringLiteral("error")))
        return fail(QStringLiteral("the driver says: ") +
                    answer.value(QStringLiteral("error")).toString());
    if (answer.value(QStringLiteral("capture")).toString() != QLatin1String("started"))
        return fail(QStringLiteral("the driver on ") + path +
                    QStringLiteral(" does not capture (is it older than this stm-status?)"));

    FILE *stream = openCaptureFile(options.file, &why);
    if (!stream)
        return fail(why);
    pcap_t *dead = pcap_open_dead(DLT_USER0, 65535);
    pcap_dumper_t *dumper = dead ? pcap_dump_fopen(dead, stream) : nullptr;
    if (!dumper) {
        std::fclose(stream);
        return fail(QStringLiteral("cannot start the pcap file ") + options.file);
    }

    // SIGINT and SIGTERM end the capture; they are let through only while it waits for input,
    // so a record is never cut in half. A reader that went away is a write error, not SIGPIPE.
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stops, waiting;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stops, &waiting);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGTERM);
    std::fprintf(stderr, "stm-status: capturing %s to %s\n",
                 options.shield < 0 ? "every shield"
                                    : qPrintable(QStringLiteral("shield %1").arg(options.shield)),
                 options.file == QLatin1String("-") ? "standard output" : qPrintable(options.file));

    QElapsedTimer clock;
    clock.start();
    QByteArray pending = socket.readAll();
    const int fd = static_cast<int>(socket.socketDescriptor());
    qint64 records = 0;
    quint64 lost = 0;
    QString end;
    for (;;) {
        // Every whole record that came.
        int at = 0;
        while (end.isEmpty() && pending.size() - at >= CaptureWire::headerSize) {
            const auto *header = reinterpret_cast<const quint8 *>(pending.constData() + at);
            const int length = CaptureWire::lengthOf(header);
            if (length < CaptureWire::busBytesAt || length > CaptureWire::maxDataSize) {
                end = QStringLiteral("the driver sent something that is no capture record");
                break;
            }
            if (pending.size() - at < CaptureWire::headerSize + length)
                break;
            const quint8 *data = header + CaptureWire::headerSize;
            if (data[CaptureWire::directionByte] == CaptureWire::recordsLost &&
                length == CaptureWire::lostDataSize)
                lost += qFromBigEndian<quint32>(data + CaptureWire::busBytesAt);
            const quint64 time = CaptureWire::timeOf(header);
            pcap_pkthdr record = {};
            record.ts.tv_sec = static_cast<time_t>(time / 1000000);
            record.ts.tv_usec = static_cast<suseconds_t>(time % 1000000);
            record.caplen = record.len = static_cast<bpf_u_int32>(length);
            pcap_dump(reinterpret_cast<u_char *>(dumper), &record, data);
            if (pcap_dump_flush(dumper) != 0)
                end = QStringLiteral("cannot write the capture (") +
                      QString::fromLocal8Bit(std::strerror(errno)) + QLatin1Char(')');
            at += CaptureWire::headerSize + length;
            if (++records == options.count)
                break;
        }
        pending.remove(0, at);
        if (!end.isEmpty() || (options.count > 0 && records >= options.count) || stopSignal != 0)
            break;

        // Wait for more, for a stop signal or for the end of the time given.
        timespec wait = {};
        timespec *timeout = nullptr;
        if (options.seconds > 0) {
            const qint64 left = options.seconds * 1000 - clock.elapsed();
            if (left <= 0)
                break;
            wait.tv_sec = static_cast<time_t>(left / 1000);
            wait.tv_nsec = static_cast<long>(left % 1000) * 1000000;
            timeout = &wait;
        }
        pollfd input = {fd, POLLIN, 0};
        if (::ppoll(&input, 1, timeout, &waiting) <= 0)
            continue;  // a signal (looked at above) or the time given (looked at here)
        char chunk[65536];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0)
            pending.append(chunk, static_cast<int>(n));
        else if (n == 0 || (errno != EINTR && errno != EAGAIN))
            end = QStringLiteral("the driver on ") + path + QStringLiteral(" ended the capture");
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    std::fprintf(stderr, "stm-status: %lld records written, %llu lost%s%s\n",
                 static_cast<long long>(records), static_cast<unsigned long long>(lost),
                 end.isEmpty() ? "" : "; ", qPrintable(end));
    return end.isEmpty() ? 0 : 1;
}

}  // namespace

int main(int argc, char *argv[])
{
    QtCompat::quietLocaleNotice();
    QCoreApplication app(argc, argv);
    QString path = QString::fromLatin1(defaultStatusPath);
    bool watch = false;
    bool json = false;
    bool metrics = false;
    QString output;
    CaptureOptions capture;
    bool capturing = false;
    bool captureOptions = false;
    // A whole number from `lowest` to `highest` after an option, else false.
    const auto numberAfter = [](const QStringList &args, int *i, qint64 lowest, qint64 highest,
                                qint64 *value) {
        bool ok = false;
        *value = *i + 1 < args.size() ? args.at(*i + 1).toLongLong(&ok) : 0;
        ok = ok && *value >= lowest && *value <= highest;
        *i += ok ? 1 : 0;
        return ok;
    };
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("-s") && i + 1 < args.size()) {
            path = args.at(++i);
        } else if (a == QLatin1String("--watch")) {
            watch = true;
        } else if (a == QLatin1String("--json")) {
            json = true;
        } else if (a == QLatin1String("--prometheus")) {
            metrics = true;
        } else if (a == QLatin1String("--output") && i + 1 < args.size() &&
                   !args.at(i + 1).isEmpty()) {
            output = args.at(++i);
        } else if (a == QLatin1String("--capture") && i + 1 < args.size() &&
                   !args.at(i + 1).isEmpty()) {
            capturing = true;
            capture.file = args.at(++i);
        } else if (a == QLatin1String("--count") &&
                   numberAfter(args, &i, 1, std::numeric_limits<qint64>::max(), &capture.count)) {
            captureOptions = true;
        } else if (a == QLatin1String("--seconds") &&
                   numberAfter(args, &i, 1, 10LL * 365 * 24 * 3600, &capture.seconds)) {
            captureOptions = true;
        } else if (qint64 shield = 0;
                   a == QLatin1String("--shield") && numberAfter(args, &i, 0, 5, &shield)) {
            captureOptions = true;
            capture.shield = static_cast<int>(shield);
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::printf(usage, defaultStatusPath);
            return 0;
        } else {
            std::fprintf(stderr, usage, defaultStatusPath);
            return 2;
        }
    }
    if (metrics + watch + json + capturing > 1 || (!output.isEmpty() && !metrics) ||
        (captureOptions && !capturing)) {
        std::fprintf(stderr, usage, defaultStatusPath);
        return 2;
    }
    if (metrics)
        return exposition(path, output);
    if (capturing)
        return captureTo(path, capture);

    QLocalSocket socket;
    QString why;
    if (!connectTo(socket, path, &why))
        return fail(why);
    socket.write(watch ? "watch\n" : "status\n");
    socket.waitForBytesWritten(answerTimeoutMs);

    const bool terminal = ::isatty(STDOUT_FILENO) != 0;
    ErrorRate rates;
    for (;;) {
        const QByteArray line = readLine(socket, answerTimeoutMs);
        if (line.isEmpty())
            return fail(QStringLiteral("the driver on ") + path +
                        QStringLiteral(" stopped answering"));
        const QJsonObject doc = QJsonDocument::fromJson(line).object();
        if (doc.contains(QStringLiteral("error")))
            return fail(QStringLiteral("the driver says: ") +
                        doc.value(QStringLiteral("error")).toString());
        if (json) {
            out(QString::fromUtf8(line) + QLatin1Char('\n'));
        } else {
            const QString text = table(doc, rates);
            out((watch && terminal ? QStringLiteral("\033[H\033[2J") : QString()) + text +
                (watch && !terminal ? QStringLiteral("\n") : QString()));
        }
        if (!watch)
            return 0;
    }
}
