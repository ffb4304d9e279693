#include "stm-status/capture.h"

#include "base/capturewire.h"
#include "common/safefile.h"
#include "common/say.h"
#include "common/stopsignals.h"
#include "stm-status/connection.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

static_assert(DLT_USER0 == CaptureWire::pcapLinkType, "the records' link type is DLT_USER0");

namespace {

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
    if (options.file == QLatin1String("-")) {
        if (::isatty(STDOUT_FILENO)) {
            *why = QStringLiteral(
                "a capture is no text for a terminal: give a file, or pipe it "
                "(stm-status --capture - | wireshark -k -i -)");
            return nullptr;
        }
        return stdout;
    }
    const int fd = options.force ? SafeFile::createReplacing(options.file, 0600)
                                 : SafeFile::createNew(options.file, 0600);
    FILE *stream = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!stream) {
        *why = QStringLiteral("cannot write ") + options.file + QStringLiteral(" (") +
               SafeFile::reason(errno) + QLatin1Char(')');
        if (fd >= 0)
            ::close(fd);
    }
    return stream;
}

// Asks the driver to capture; false with the reason when it does not.
bool startCapture(Connection &driver, const CaptureOptions &options, QString *why)
{
    QByteArray request = CaptureWire::request;
    if (options.shield >= 0)
        request += ' ' + QByteArray::number(options.shield);
    QJsonObject answer;
    if (!driver.ask(request) || !driver.answer("did not answer", &answer)) {
        *why = driver.why();
        return false;
    }
    if (answer.value(QStringLiteral("capture")).toString() == QLatin1String("started"))
        return true;
    *why = QStringLiteral("the driver on ") + driver.path +
           QStringLiteral(" does not capture (is it older than this stm-status?)");
    return false;
}

// libpcap's own writer over the capture file; every record is flushed as it comes, so that a
// live view follows.
class PcapFile
{
public:
    bool open(FILE *stream)
    {
        dead = pcap_open_dead(DLT_USER0, 65535);
        dumper = dead ? pcap_dump_fopen(dead, stream) : nullptr;
        if (!dumper)
            std::fclose(stream);
        return dumper != nullptr;
    }
    // One record of the stream; false when it could not be written.
    bool write(const quint8 *header, const quint8 *data, int length)
    {
        const quint64 time = CaptureWire::timeOf(header);
        pcap_pkthdr record = {};
        record.ts.tv_sec = static_cast<time_t>(time / 1000000);
        record.ts.tv_usec = static_cast<suseconds_t>(time % 1000000);
        record.caplen = record.len = static_cast<bpf_u_int32>(length);
        pcap_dump(reinterpret_cast<u_char *>(dumper), &record, data);
        return pcap_dump_flush(dumper) == 0;
    }
    // Closes the file (and the stream under it).
    void close()
    {
        if (dumper)
            pcap_dump_close(dumper);
        if (dead)
            pcap_close(dead);
        dumper = nullptr;
        dead = nullptr;
    }
    ~PcapFile() { close(); }

private:
    pcap_t *dead = nullptr;
    pcap_dumper_t *dumper = nullptr;
};

// A capture under way: the bytes of the stream not yet written, and what was written.
struct Run {
    QByteArray pending;
    qint64 records = 0;
    quint64 lost = 0;  // told by the driver's "records lost" records
    QString end;       // why the capture ended early; empty while it goes on
};

// Every whole record that came, into the file (up to the count given).
void writeRecords(Run &run, PcapFile &file, qint64 count)
{
    int at = 0;
    while (run.end.isEmpty() && run.pending.size() - at >= CaptureWire::headerSize) {
        const auto *header = reinterpret_cast<const quint8 *>(run.pending.constData() + at);
        const int length = CaptureWire::lengthOf(header);
        if (length < CaptureWire::busBytesAt || length > CaptureWire::maxDataSize) {
            run.end = QStringLiteral("the driver sent something that is no capture record");
            break;
        }
        if (run.pending.size() - at < CaptureWire::headerSize + length)
            break;
        const quint8 *data = header + CaptureWire::headerSize;
        if (data[CaptureWire::directionByte] == CaptureWire::recordsLost &&
            length == CaptureWire::lostDataSize)
            run.lost += qFromBigEndian<quint32>(data + CaptureWire::busBytesAt);
        if (!file.write(header, data, length))
            run.end = QStringLiteral("cannot write the capture (") + SafeFile::reason(errno) +
                      QLatin1Char(')');
        at += CaptureWire::headerSize + length;
        if (++run.records == count)
            break;
    }
    run.pending.remove(0, at);
}

// Waits for more of the stream, a stop signal or the end of the time given (false: the time
// is up), with the stop signals let through only during the wait.
bool waitForRecords(Run &run, Connection &driver, qint64 leftMs, const sigset_t &waiting)
{
    timespec wait = {};
    timespec *timeout = nullptr;
    if (leftMs >= 0) {
        if (leftMs == 0)
            return false;
        wait.tv_sec = static_cast<time_t>(leftMs / 1000);
        wait.tv_nsec = static_cast<long>(leftMs % 1000) * 1000000;
        timeout = &wait;
    }
    const int fd = static_cast<int>(driver.socket().socketDescriptor());
    pollfd input = {fd, POLLIN, 0};
    if (::ppoll(&input, 1, timeout, &waiting) <= 0)
        return true;  // a signal (looked at by the caller) or the time given (looked at next)
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0)
        run.pending.append(chunk, static_cast<int>(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        run.end =
            QStringLiteral("the driver on ") + driver.path + QStringLiteral(" ended the capture");
    return true;
}

}  // namespace

int captureTo(const QString &path, const CaptureOptions &options)
{
    Connection driver(path);
    QString why;
    if (!captureFileFree(options, &why) || !startCapture(driver, options, &why))
        return Say::fail(why);
    FILE *stream = openCaptureFile(options, &why);
    if (!stream)
        return Say::fail(why);
    PcapFile file;
    if (!file.open(stream))
        return Say::fail(QStringLiteral("cannot start the pcap file ") + options.file);

    // SIGINT and SIGTERM end the capture; they are let through only while it waits for input,
    // so a record is never cut in half.
    StopSignals::catchStops();
    const sigset_t waiting = StopSignals::holdStops();
    std::fprintf(stderr, "stm-status: capturing %s to %s\n",
                 options.shield < 0 ? "every shield"
                                    : qPrintable(QStringLiteral("shield %1").arg(options.shield)),
                 options.file == QLatin1String("-") ? "standard output" : qPrintable(options.file));

    QElapsedTimer clock;
    clock.start();
    Run run;
    run.pending = driver.socket().readAll();
    for (;;) {
        writeRecords(run, file, options.count);
        if (!run.end.isEmpty() || (options.count > 0 && run.records >= options.count) ||
            StopSignals::caught() != 0)
            break;
        const qint64 leftMs = options.seconds > 0
                                  ? std::max<qint64>(0, options.seconds * 1000 - clock.elapsed())
                                  : -1;
        if (!waitForRecords(run, driver, leftMs, waiting))
            break;
    }
    file.close();
    std::fprintf(stderr, "stm-status: %lld records written, %llu lost%s%s\n",
                 static_cast<long long>(run.records), static_cast<unsigned long long>(run.lost),
                 run.end.isEmpty() ? "" : "; ", qPrintable(run.end));
    return run.end.isEmpty() ? 0 : 1;
}
