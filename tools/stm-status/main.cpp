// stm-status: asks the running stm-driver how its shields are, on the driver's status socket, and
// prints one table row per shield (or the raw JSON document). With --watch it refreshes the
// table every second; with --prometheus it prints the document in Prometheus' text format, for
// node_exporter's textfile collector; with --capture it writes the driver's exchanges with its
// shields into a pcap file for Wireshark. The host protocol on the driver's standard streams is
// not touched. This file reads the options and hands over to one of those parts.

#include "base/qtcompat.h"
#include "base/statuspath.h"
#include "common/optionreader.h"
#include "common/say.h"
#include "stm-status/capture.h"
#include "stm-status/prometheus.h"
#include "stm-status/tableview.h"

#include <QCoreApplication>

#include <cstdio>
#include <limits>

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

// What stm-status does this time: one job per run.
enum class Job { Table, Json, Prometheus, Capture };

struct Options {
    QString path = QString::fromLatin1(defaultStatusPath);
    Job job = Job::Table;
    bool watch = false;  // with the table or the JSON document
    QString output;      // with --prometheus
    CaptureOptions capture;
    bool help = false;
};

// A value that must not be empty (a file name).
QString fileAfter(OptionReader &args)
{
    const QString file = args.value();
    if (args.ok() && file.isEmpty())
        args.fail(args.word() + QStringLiteral(" takes a file name"));
    return file;
}

// The options; false when they are wrong or do not go together.
bool readOptions(const QStringList &words, Options *o)
{
    OptionReader args(words);
    int jobs = 0;
    bool captureOptions = false;
    const auto job = [&](Job j) {
        o->job = j;
        ++jobs;
    };
    while (args.next()) {
        if (args.is("-s")) {
            o->path = args.value();
        } else if (args.is("--watch")) {
            o->watch = true;
        } else if (args.is("--json")) {
            job(Job::Json);
        } else if (args.is("--prometheus")) {
            job(Job::Prometheus);
        } else if (args.is("--output")) {
            o->output = fileAfter(args);
        } else if (args.is("--capture")) {
            job(Job::Capture);
            o->capture.file = fileAfter(args);
        } else if (args.is("--count")) {
            captureOptions = true;
            args.number(1, std::numeric_limits<qint64>::max(), &o->capture.count);
        } else if (args.is("--seconds")) {
            captureOptions = true;
            args.number(1, 10LL * 365 * 24 * 3600, &o->capture.seconds);
        } else if (qint64 shield = -1; args.is("--shield")) {
            captureOptions = true;
            if (args.number(0, 5, &shield))
                o->capture.shield = static_cast<int>(shield);
        } else if (args.is("--force")) {
            captureOptions = true;
            o->capture.force = true;
        } else if (args.is("--help") || args.is("-h")) {
            o->help = true;
            return true;
        } else {
            args.unknown();
        }
    }
    // --watch refreshes the table or the JSON document.
    return args.ok() && jobs <= 1 && (o->output.isEmpty() || o->job == Job::Prometheus) &&
           (!o->watch || o->job == Job::Table || o->job == Job::Json) &&
           (!captureOptions || o->job == Job::Capture);
}

}  // namespace

int main(int argc, char *argv[])
{
    QtCompat::quietLocaleNotice();
    QCoreApplication app(argc, argv);
    Say::setProgram("stm-status");
    Options o;
    if (!readOptions(app.arguments().mid(1), &o)) {
        std::fprintf(stderr, usage, defaultStatusPath);
        return 2;
    }
    if (o.help) {
        std::printf(usage, defaultStatusPath);
        return 0;
    }
    switch (o.job) {
    case Job::Prometheus:
        return exposition(o.path, o.output);
    case Job::Capture:
        return captureTo(o.path, o.capture);
    default:
        return showStatus(o.path, o.watch, o.job == Job::Json);
    }
}
