// stm-status: asks the running stm-driver how its shields are, on the driver's status socket, and
// prints one table row per shield (or the raw JSON document). With --watch it refreshes the
// table every second. The host protocol on the driver's standard streams is not touched.

#include "base/statuspath.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QMap>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

const char *const usage =
    "Usage: stm-status [options]\n"
    "Shows the shields of the running stm-driver: state, firmware, calls and audio, events,\n"
    "errors per minute and disconnects.\n"
    "\n"
    "Options:\n"
    "  -s PATH    the driver's status socket (default %s)\n"
    "  --watch    refresh every second until Ctrl-C\n"
    "  --json     print the driver's JSON document as it comes, one per line\n"
    "  --help     this text\n"
    "\n"
    "Exit status 1 when no driver answers.\n";

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
    return std::max(0, stateText(shield).size() - 7);
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
    text += QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8\n")
                .arg(QStringLiteral("ADDR"), -4)
                .arg(QStringLiteral("STATE"), -7)
                .arg(QStringLiteral("FIRMWARE"), -8)
                .arg(QStringLiteral("CALL"), -4)
                .arg(QStringLiteral("AUDIO IN/OUT/DROPPED"), -22)
                .arg(QStringLiteral("EVENTS"), 7)
                .arg(QStringLiteral("ERR/MIN"), 8)
                .arg(QStringLiteral("DISCONNECTS"), 11);
    for (const QJsonValue &value : doc.value(QStringLiteral("shields")).toArray()) {
        const QJsonObject s = value.toObject();
        const int address = static_cast<int>(number(s, "address"));
        const qint64 errors = number(s, "tx_errors") + number(s, "rx_errors");
        const QString audio = QStringLiteral("%1/%2/%3")
                                  .arg(number(s, "audio_blocks_in"))
                                  .arg(number(s, "audio_blocks_out"))
                                  .arg(number(s, "audio_dropped"));
        text += QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8\n")
                    .arg(address, -4)
                    .arg(stateText(s), -7)
                    .arg(number(s, "firmware"), -(8 - stateOverflow(s)))
                    .arg(s.value(QStringLiteral("audio")).toBool() ? QStringLiteral("yes")
                                                                   : QStringLiteral("-"),
                         -4)
                    .arg(audio, -22)
                    .arg(number(s, "events"), 7)
                    .arg(rates.rate(address, errors, uptime), 8)
                    .arg(number(s, "disconnects"), 11);
    }
    rates.documentDone();
    text += bootloaderLines(doc);
    return text;
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

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QString path = QString::fromLatin1(defaultStatusPath);
    bool watch = false;
    bool json = false;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("-s") && i + 1 < args.size()) {
            path = args.at(++i);
        } else if (a == QLatin1String("--watch")) {
            watch = true;
        } else if (a == QLatin1String("--json")) {
            json = true;
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::printf(usage, defaultStatusPath);
            return 0;
        } else {
            std::fprintf(stderr, usage, defaultStatusPath);
            return 2;
        }
    }

    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(answerTimeoutMs)) {
        QString why;
        switch (socket.error()) {
        case QLocalSocket::ServerNotFoundError:
            why = QStringLiteral("no socket there: is the driver running, with -status?");
            break;
        case QLocalSocket::ConnectionRefusedError:
            why = QStringLiteral("nobody listens there: the driver has ended");
            break;
        case QLocalSocket::SocketAccessError:
            why = QStringLiteral("no permission: are you a member of the group stm-driver?");
            break;
        default:
            why = socket.errorString();
            break;
        }
        return fail(QStringLiteral("no driver answers on ") + path + QStringLiteral(" (") + why +
                    QStringLiteral(")"));
    }
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
