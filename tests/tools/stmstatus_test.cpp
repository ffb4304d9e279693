// stm-status's views of a given status document: the Prometheus exposition and the table, for a
// driver with the jitter buffer's figures, one without them (an older driver), and one between.

#include "stm-status/prometheus.h"
#include "stm-status/tableview.h"

#include <QJsonDocument>
#include <QStringList>

#include <gtest/gtest.h>

namespace {

QJsonObject document(const char *shields, const char *extra = "")
{
    const QByteArray text =
        QByteArray("{\"version\":\"2.18\",\"mode\":\"multi\",\"uptime_s\":60,") + extra +
        "\"shields\":[" + shields + "]}";
    return QJsonDocument::fromJson(text).object();
}

const char *const inCall =
    "{\"address\":1,\"state\":\"online\",\"audio\":true,\"audio_dropped\":3,"
    "\"audio_underruns\":7,\"audio_delay_ms\":48}";
const char *const older = "{\"address\":0,\"state\":\"online\",\"audio\":true,\"audio_dropped\":2}";

struct Row {
    const char *what;
    QJsonObject doc;
    QStringList exposed;     // whole lines of the exposition
    QStringList notExposed;  // texts found nowhere in it
    QStringList shown;       // whole lines of the table
    QStringList notShown;
};

TEST(StmStatusViews, NewFiguresAreShownWhereTheDriverGivesThemAndLeftOutWhereNot)
{
    const Row rows[] = {
        {"a jitter buffer's figures, the bus full",
         document(inCall, "\"bus_full\":true,"),
         {"# TYPE stm_shield_audio_dropped_total counter",
          "stm_shield_audio_dropped_total{address=\"1\"} 3",
          "stm_shield_audio_blocks_dropped_total{address=\"1\"} 3",
          "# TYPE stm_shield_audio_underruns_total counter",
          "stm_shield_audio_underruns_total{address=\"1\"} 7",
          "# TYPE stm_shield_audio_delay_seconds gauge",
          "stm_shield_audio_delay_seconds{address=\"1\"} 0.048000",
          "# TYPE stm_driver_bus_full gauge", "stm_driver_bus_full 1"},
         {},
         {"shield 1 in a call: 48 ms of host audio waiting, 3 blocks dropped, 7 cycles without a "
          "host block",
          "bus full: the calls make the transfer cycle longer than 16 ms, so host audio is "
          "dropped now and then"},
         {}},
        {"an older driver: no sample, no family, no line",
         document(older),
         {"stm_shield_audio_blocks_dropped_total{address=\"0\"} 2",
          "stm_shield_audio_dropped_total{address=\"0\"} 2"},
         {"underruns", "delay", "bus_full", "stm_driver_cycle_overruns_total"},
         {},
         {"in a call", "bus full"}},
        {"one shield with the figures, one without; the bus not full",
         document((QByteArray(older) + ',' + inCall).constData(), "\"bus_full\":false,"),
         {"stm_shield_audio_underruns_total{address=\"1\"} 7", "stm_driver_bus_full 0"},
         {"stm_shield_audio_underruns_total{address=\"0\"}",
          "stm_shield_audio_delay_seconds{address=\"0\"}"},
         {"shield 1 in a call: 48 ms of host audio waiting, 3 blocks dropped, 7 cycles without a "
          "host block"},
         {"shield 0 in a call", "bus full"}},
        {"standard output failing, lines not kept",
         document(older,
                  "\"host_output_error\":\"No space left on device\","
                  "\"host_lines_dropped\":12,"),
         {"stm_driver_host_output_failing 1", "stm_driver_host_lines_dropped_total 12"},
         {},
         {"host output: cannot be written (No space left on device), its lines are kept",
          "host output: 12 lines other than events not kept for the host"},
         {}},
        {"standard output written again",
         document(older, "\"host_output_error\":\"\",\"host_lines_dropped\":0,"),
         {"stm_driver_host_output_failing 0", "stm_driver_host_lines_dropped_total 0"},
         {},
         {},
         {"cannot be written", "not kept"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const QString exposition = prometheus(&row.doc);
        const QStringList lines = exposition.split(QLatin1Char('\n'));
        for (const QString &line : row.exposed)
            EXPECT_TRUE(lines.contains(line)) << line.toStdString() << "\n"
                                              << exposition.toStdString();
        for (const QString &text : row.notExposed)
            EXPECT_FALSE(exposition.contains(text)) << text.toStdString();
        ErrorRate rates;
        const QString view = table(row.doc, rates);
        for (const QString &line : row.shown)
            EXPECT_TRUE(view.split(QLatin1Char('\n')).contains(line)) << view.toStdString();
        for (const QString &text : row.notShown)
            EXPECT_FALSE(view.contains(text)) << view.toStdString();
    }
}

}  // namespace
