#include "stm-status/tableview.h"

#include "common/jsonfields.h"
#include "common/say.h"
#include "stm-status/connection.h"

#include <QJsonArray>
#include <QStringList>

#include <algorithm>
#include <unistd.h>

QString ErrorRate::rate(int address, qint64 errors, qint64 uptime)
{
    const qint64 elapsedMs = clock.isValid() ? clock.elapsed() : 0;
    QString text;
    if (previous.contains(address) && elapsedMs > 0)
        text = QString::number((errors - previous.value(address)) * 60000.0 / elapsedMs, 'f', 1);
    else if (uptime > 0)
        text = QString::number(errors * 60.0 / uptime, 'f', 1);
    else
        text = QStringLiteral("-");
    next.insert(address, errors);
    return text;
}

void ErrorRate::documentDone()
{
    previous = next;
    next.clear();
    clock.start();
}

namespace {

QString duration(qint64 seconds)
{
    return QStringLiteral("%1h%2m%3s")
        .arg(seconds / 3600)
        .arg((seconds / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

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

// Below the table, how the host's audio of each call fares: how much of it waits for the bus,
// and what the jitter buffer let go or missed. A driver that does not tell (an older one) gets
// no line; a figure it does not give is left out rather than shown as 0.
QString callLines(const QJsonObject &doc)
{
    QString text;
    for (const QJsonValue &value : doc.value(QStringLiteral("shields")).toArray()) {
        const QJsonObject s = value.toObject();
        if (!s.value(QStringLiteral("audio")).toBool() ||
            !(has(s, "audio_delay_ms") || has(s, "audio_underruns")))
            continue;
        QStringList parts;
        if (has(s, "audio_delay_ms"))
            parts << QStringLiteral("%1 ms of host audio waiting")
                         .arg(s.value(QStringLiteral("audio_delay_ms")).toDouble());
        if (has(s, "audio_dropped"))
            parts << QStringLiteral("%1 blocks dropped").arg(number(s, "audio_dropped"));
        if (has(s, "audio_underruns"))
            parts << QStringLiteral("%1 cycles without a host block")
                         .arg(number(s, "audio_underruns"));
        text += QStringLiteral("shield %1 in a call: ").arg(number(s, "address")) +
                parts.join(QStringLiteral(", ")) + QLatin1Char('\n');
    }
    if (doc.value(QStringLiteral("bus_full")).toBool())
        text += QStringLiteral(
            "bus full: the calls make the transfer cycle longer than 16 ms, so host audio is "
            "dropped now and then\n");
    return text;
}

// The shield's row: state, firmware, call, audio counts, events, errors, loss, disconnects.
QString row(const QJsonObject &s, ErrorRate &rates, qint64 uptime)
{
    const int address = static_cast<int>(number(s, "address"));
    const qint64 errors = number(s, "tx_errors") + number(s, "rx_errors");
    const QString audio = QStringLiteral("%1/%2/%3")
                              .arg(number(s, "audio_blocks_in"))
                              .arg(number(s, "audio_blocks_out"))
                              .arg(number(s, "audio_dropped"));
    // The share of the last minute's exchanges with the shield that brought a damaged frame;
    // "-" when there were none (or the driver does not count them).
    const qint64 exchanges = number(s, "exchanges_last_min");
    const QString loss =
        exchanges <= 0
            ? QStringLiteral("-")
            : QString::number(number(s, "bad_frames_last_min") * 100.0 / exchanges, 'f', 1) +
                  QLatin1Char('%');
    return QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9\n")
        .arg(address, -4)
        .arg(stateText(s), -7)
        .arg(number(s, "firmware"), -(8 - stateOverflow(s)))
        .arg(
            s.value(QStringLiteral("audio")).toBool() ? QStringLiteral("yes") : QStringLiteral("-"),
            -4)
        .arg(audio, -22)
        .arg(number(s, "events"), 7)
        .arg(rates.rate(address, errors, uptime), 8)
        .arg(loss, 6)
        .arg(number(s, "disconnects"), 11);
}

// The driver's own lines above the table.
QString driverLines(const QJsonObject &doc)
{
    QString text =
        QStringLiteral("stm-driver %1, %2 shield mode, up %3, %4 link restarts\n")
            .arg(doc.value(QStringLiteral("version")).toString(),
                 doc.value(QStringLiteral("mode")).toString(), duration(number(doc, "uptime_s")))
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
    const QString failing = doc.value(QStringLiteral("host_output_error")).toString();
    if (!failing.isEmpty())
        text += QStringLiteral("host output: cannot be written (%1), its lines are kept\n")
                    .arg(failing);
    if (const qint64 dropped = number(doc, "host_lines_dropped"))
        text += QStringLiteral("host output: %1 lines other than events not kept for the host\n")
                    .arg(dropped);
    return text;
}

}  // namespace

QString table(const QJsonObject &doc, ErrorRate &rates)
{
    QString text = driverLines(doc);
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
    const qint64 uptime = number(doc, "uptime_s");
    for (const QJsonValue &value : doc.value(QStringLiteral("shields")).toArray())
        text += row(value.toObject(), rates, uptime);
    rates.documentDone();
    return text + bootloaderLines(doc) + callLines(doc);
}

int showStatus(const QString &path, bool watch, bool json)
{
    Connection driver(path);
    if (!driver.ask(watch ? "watch" : "status"))
        return Say::fail(driver.why());
    const bool terminal = ::isatty(STDOUT_FILENO) != 0;
    ErrorRate rates;
    for (;;) {
        QJsonObject doc;
        QByteArray line;
        if (!driver.answer("stopped answering", &doc, &line))
            return Say::fail(driver.why());
        if (json) {
            Say::out(QString::fromUtf8(line) + QLatin1Char('\n'));
        } else {
            const QString text = table(doc, rates);
            Say::out((watch && terminal ? QStringLiteral("\033[H\033[2J") : QString()) + text +
                     (watch && !terminal ? QStringLiteral("\n") : QString()));
        }
        if (!watch)
            return 0;
    }
}
