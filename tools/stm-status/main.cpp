// stm-status: asks the running stm-driver how its shields are, on the driver's status socket, and
// prints one table row per shield (or the raw JSON document). With --watch it refreshes the
// table every second; with --prometheus it prints the document in Prometheus' text format, for
// node_exporter's textfile collector; with --capture it writes the driver's exchanges with its
// shields into a pcap file for Wireshark. The host protocol on the driver's standard streams is
// not touched.

#include "base/capturewire.h"
#include "base/statuspath.h"
#include "stm-status/prometheus.h"
#include "stm-status/tableview.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
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
    "  --capture FILE write the driver's exchanges with its shields to FILE, a new file (mode\n"
    "                 0600; - for standard output) in pcap format, for Wireshark with the stmspi\n"
    "                 dissector, until Ctrl-C or SIGTERM; each record is written out as it comes\n"
    "  --count N      with --capture: stop after N records\n"
    "  --seconds S    with --capture: stop after S seconds\n"
    "  --shield N     with --capture: only the exchanges with shield N\n"
    "  --force        with --capture: replace FILE if it exists (by a new file renamed over\n"
    "                 it); without it an existing FILE is left as it is and nothing captured\n"
    "  --help         this text\n"
    "\n"
    "Exit status 1 when no driver answers; with --prometheus, 1 only when the figures could\n"
    "not be written; with --capture, 1 when the driver ends the capture or FILE exists or\n"
    "cannot be written (what was captured until then stays a complete file).\n";

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
    bool force = false;  // an existing file is replaced
};

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int signal)
{
    stopSignal = signal;
}

// A capture never writes into an existing file: that file may be someone else's, or hold an
// earlier capture. Asked before the driver is, so that a refusal costs nothing.
bool captureFileFree(const CaptureOptions &options, QString *why)
{
    struct stat there;
    if (options.force || options.file == QLatin1String("-") ||
        ::lstat(QFile::encodeName(options.file).constData(), &there) != 0)
        return true;
    *why = options.file + QStringLiteral(" exists: give a new file, or --force to replace it");
    return false;
}

// The capture file: a new one, created with its final mode (0600: the exchanges are the
// building's own), never through a link, and only once the driver has agreed to capture. With
// --force it is made beside FILE and renamed over it at once, so an existing FILE is replaced
// whole, never cut short and written into.
FILE *openCaptureFile(const CaptureOptions &options, QString *why)
{
    const QString &file = options.file;
    if (file == QLatin1String("-")) {
        if (::isatty(STDOUT_FILENO)) {
            *why = QStringLiteral(
                "a capture is no text for a terminal: give a file, or pipe it "
                "(stm-status --capture - | wireshark -k -i -)");
            return nullptr;
        }
        return stdout;
    }
    const QByteArray target = QFile::encodeName(file);
    QByteArray temporary = target + ".XXXXXX";
    const int fd = options.force
                       ? ::mkostemp(temporary.data(), O_CLOEXEC)
                       : ::open(target.constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    int error = fd < 0 ? errno : 0;
    if (error == 0 && options.force && ::rename(temporary.constData(), target.constData()) != 0) {
        error = errno;
        ::unlink(temporary.constData());
    }
    FILE *stream = error == 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!stream) {
        *why = QStringLiteral("cannot write ") + file + QStringLiteral(" (") +
               QString::fromLocal8Bit(std::strerror(error ? error : errno)) + QLatin1Char(')');
        if (fd >= 0)
            ::close(fd);
    }
    return stream;
}

int captureTo(const QString &path, const CaptureOptions &options)
{
    QLocalSocket socket;
    QString why;
    if (!captureFileFree(options, &why) || !connectTo(socket, path, &why))
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

    FILE *stream = openCaptureFile(options, &why);
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
        } else if (a == QLatin1String("--force")) {
            captureOptions = true;
            capture.force = true;
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
