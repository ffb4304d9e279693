#include "stm-status/prometheus.h"

#include "common/jsonfields.h"
#include "common/safefile.h"
#include "common/say.h"
#include "stm-status/connection.h"

#include <QJsonArray>
#include <QList>
#include <QStringList>

#include <algorithm>
#include <cstdio>

namespace {

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

// One figure of the driver or of every shield: its family, the document's field it comes from,
// and by how much the field is divided (a field in ms for a family in seconds).
struct Figure {
    const char *name;
    const char *type;
    const char *help;
    const char *field;
    double divisor = 0;  // 0: a whole number, as it comes
};

const Figure driverFigures[] = {
    {"stm_driver_uptime_seconds", "gauge", "Time since the driver started.", "uptime_s"},
    {"stm_driver_link_restarts_total", "counter", "Restarts of the link to all shields.",
     "restarts"},
    {"stm_driver_cycle_overruns_total", "counter",
     "Transfer cycles that started late or overran their 16 ms period.", "cycle_overruns"},
    {"stm_driver_cycle_longest_seconds", "gauge", "The longest transfer cycle so far.",
     "longest_cycle_us", 1e6},
    {"stm_driver_realtime_priority", "gauge",
     "Real-time priority of the transfer thread (0: normal priority).", "rtprio"},
    {"stm_driver_host_output_queued_bytes", "gauge",
     "Bytes of standard output waiting for the host to read them.", "host_output_queued"},
    {"stm_driver_host_stalled_seconds", "gauge",
     "Time the host has read nothing while lines waited (0: none wait).", "host_stalled_s"},
    {"stm_driver_host_lines_dropped_total", "counter",
     "Lines other than events not kept for a host that did not read.", "host_lines_dropped"},
};

const Figure shieldFigures[] = {
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
     "Audio blocks from the host dropped (the same count as stm_shield_audio_dropped_total).",
     "audio_dropped"},
    {"stm_shield_audio_dropped_total", "counter",
     "Audio blocks from the host let go by the driver's jitter buffer, for either reason.",
     "audio_dropped"},
    {"stm_shield_audio_underruns_total", "counter",
     "Transfer cycles of a call with no block from the host ready for the shield.",
     "audio_underruns"},
    {"stm_shield_audio_delay_seconds", "gauge", "Audio from the host now waiting for the shield.",
     "audio_delay_ms", 1e3},
};

QString valueOf(const QJsonObject &object, const Figure &figure)
{
    if (figure.divisor == 0)
        return QString::number(number(object, figure.field));
    return QString::number(object.value(QLatin1String(figure.field)).toDouble() / figure.divisor,
                           'f', 6);
}

QString shieldSeries(const char *name, const QJsonObject &shield)
{
    return QStringLiteral("%1{address=\"%2\"}")
        .arg(QLatin1String(name))
        .arg(number(shield, "address"));
}

void driverFamilies(Exposition &out, const QJsonObject &doc)
{
    out.family("stm_driver_info", "gauge", "The driver's version and shield mode.");
    out.sample(QStringLiteral("stm_driver_info{version=%1,mode=%2}")
                   .arg(labelValue(doc.value(QStringLiteral("version")).toString()),
                        labelValue(doc.value(QStringLiteral("mode")).toString())),
               1);
    for (const Figure &figure : driverFigures) {
        if (!has(doc, figure.field))
            continue;
        out.family(figure.name, figure.type, figure.help);
        out.sample(QLatin1String(figure.name), valueOf(doc, figure));
    }
    if (has(doc, "bus_full")) {
        out.family("stm_driver_bus_full", "gauge",
                   "1 while the calls make the transfer cycle longer than 16 ms.");
        out.sample(QStringLiteral("stm_driver_bus_full"),
                   doc.value(QStringLiteral("bus_full")).toBool() ? 1 : 0);
    }
    if (has(doc, "host_output_error")) {
        out.family("stm_driver_host_output_failing", "gauge",
                   "1 while standard output cannot be written (its lines are kept).");
        out.sample(QStringLiteral("stm_driver_host_output_failing"),
                   doc.value(QStringLiteral("host_output_error")).toString().isEmpty() ? 0 : 1);
    }
}

void stateFamilies(Exposition &out, const QList<QJsonObject> &shields)
{
    const auto stateOf = [](const QJsonObject &shield) {
        return shield.value(QStringLiteral("state")).toString();
    };
    out.family("stm_shield_online", "gauge", "1 while the shield is in service.");
    for (const QJsonObject &shield : shields)
        out.sample(shieldSeries("stm_shield_online", shield),
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
}

}  // namespace

QString prometheus(const QJsonObject *doc)
{
    Exposition out;
    out.family("stm_driver_up", "gauge",
               "1 when the driver answered on its status socket, 0 when none did.");
    out.sample(QStringLiteral("stm_driver_up"), doc ? 1 : 0);
    if (!doc)
        return out.text;
    driverFamilies(out, *doc);

    QList<QJsonObject> shields;
    for (const QJsonValue &value : doc->value(QStringLiteral("shields")).toArray())
        shields << value.toObject();
    stateFamilies(out, shields);
    for (const Figure &figure : shieldFigures) {
        if (std::none_of(shields.begin(), shields.end(),
                         [&](const QJsonObject &s) { return has(s, figure.field); }))
            continue;
        out.family(figure.name, figure.type, figure.help);
        for (const QJsonObject &shield : shields) {
            if (has(shield, figure.field))
                out.sample(shieldSeries(figure.name, shield), valueOf(shield, figure));
        }
    }
    out.family("stm_shield_audio_active", "gauge", "1 while the shield's audio runs (a call).");
    for (const QJsonObject &shield : shields)
        out.sample(shieldSeries("stm_shield_audio_active", shield),
                   shield.value(QStringLiteral("audio")).toBool() ? 1 : 0);
    return out.text;
}

int exposition(const QString &path, const QString &output)
{
    Connection driver(path);
    QJsonObject doc;
    QString why;
    if (!driver.ask("status") || !driver.answer("did not answer", &doc))
        why = driver.why();
    else if (!doc.value(QStringLiteral("shields")).isArray())
        why = QStringLiteral("the answer on ") + path + QStringLiteral(" is no status document");
    if (!why.isEmpty())
        Say::fail(why);
    const QByteArray text = prometheus(why.isEmpty() ? &doc : nullptr).toUtf8();
    if (!output.isEmpty()) {
        // Readable by all: node_exporter runs as a user of its own.
        QString failure;
        return SafeFile::replace(output, text, 0644, &failure) ? 0 : Say::fail(failure);
    }
    Say::out(QString::fromUtf8(text));
    return std::ferror(stdout) ? Say::fail(QStringLiteral("cannot write the figures")) : 0;
}
