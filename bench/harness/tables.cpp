// The harness's table commands: Google Benchmark's JSON, several runs' summaries side by side,
// and callgrind's dumps, each to a markdown table on standard output.

#include "harness/tables.h"

#include "harness/driverlogs.h"
#include "harness/headline.h"
#include "harness/runstate.h"

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <fstream>
#include <iostream>

namespace Bench {

int microTable(const std::string &path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        fail("cannot read " + path);
    const QJsonArray benchmarks = QJsonDocument::fromJson(file.readAll())
                                      .object()
                                      .value(QStringLiteral("benchmarks"))
                                      .toArray();
    std::cout << "| Benchmark | Wall time per iteration | CPU time per iteration | Share of the "
                 "16 ms cycle |\n|---|---|---|---|\n";
    for (const QJsonValue &v : benchmarks) {
        const QJsonObject b = v.toObject();
        if (b.value(QStringLiteral("run_type")).toString() == QLatin1String("aggregate") &&
            b.value(QStringLiteral("aggregate_name")).toString() != QLatin1String("median"))
            continue;
        const std::string unit = b.value(QStringLiteral("time_unit")).toString().toStdString();
        const double scale = unit == "ns" ? 1 : unit == "us" ? 1e3 : unit == "ms" ? 1e6 : 1e9;
        const double real = b.value(QStringLiteral("real_time")).toDouble() * scale;
        const double cpu = b.value(QStringLiteral("cpu_time")).toDouble() * scale;
        const std::string name = b.value(QStringLiteral("name")).toString().toStdString();
        const auto human = [](double ns) {
            return ns >= 1e6   ? fixed(ns / 1e6, 3) + " ms"
                   : ns >= 1e3 ? fixed(ns / 1e3, 2) + " µs"
                               : fixed(ns, 1) + " ns";
        };
        const bool cycle = name.find("Cycle") != std::string::npos;
        std::cout << "| " << name << " | " << human(real) << " | " << human(cpu) << " | "
                  << (cycle ? fixed(cpu / 16e6 * 100, 4) + " %" : std::string("–")) << " |\n";
    }
    return 0;
}

int combine(const std::vector<std::string> &dirs)
{
    std::vector<RunSummary> runs;
    for (const std::string &dir : dirs) {
        std::ifstream in(dir + "/summary.tsv");
        if (!in)
            fail("cannot read " + dir + "/summary.tsv");
        runs.push_back(readSummary(in));
    }
    std::cout << headlineTable(runs);
    return 0;
}

namespace {

// The driver's threads, told apart by a function each runs; the main thread is callgrind's first.
std::string threadName(const CallgrindThread &t)
{
    static const std::vector<std::pair<std::string, std::string>> marks = {
        {"SPItransmitter::main_func(", "stm-transfer"},
        {"ShielHandler::main_func(", "stm-supervisor"},
        {"ConsoleScan::cycle_scan(", "stm-console"},
        {"BoardSimbus::watch(", "stm-buswatch"},
        {"Console::LineStream::run(", "stm-stdout or stm-stderr"},
    };
    if (t.thread == 1)
        return "stm-driver";
    for (const auto &mark : marks) {
        for (const std::string &function : t.functions) {
            if (function.compare(0, mark.first.size(), mark.first) == 0)
                return mark.second;
        }
    }
    return "thread " + std::to_string(t.thread);
}

}  // namespace

int callgrindTable(const std::vector<std::string> &paths)
{
    std::vector<CallgrindThread> threads;
    uint64_t cycles = 0;
    for (const std::string &path : paths) {
        std::ifstream in(path);
        if (!in)
            fail("cannot read " + path);
        threads.push_back(
            readCallgrind(in, {"EmulatedBoard::", "ShieldModel::", "BootloaderModel::"}));
        cycles += callsOf(threads.back(), "SPItransmitter::main_func(");
    }
    if (cycles == 0)
        fail("no transfer cycle in the dumps");
    std::sort(threads.begin(), threads.end(),
              [](const auto &a, const auto &b) { return a.thread < b.thread; });
    const auto millions = [](uint64_t n) { return fixed(static_cast<double>(n) / 1e6, 2) + " M"; };
    const auto perCycle = [cycles](uint64_t n) {
        return fixed(static_cast<double>(n) / static_cast<double>(cycles), 0);
    };
    std::cout << "| Thread | Runs in the window | Instructions | Per transfer cycle | Of which the "
                 "emulated shields | Per cycle without them |\n|---|---|---|---|---|---|\n";
    uint64_t all = 0, emulated = 0;
    for (const CallgrindThread &t : threads) {
        const std::string name = threadName(t);
        std::string runs = "–";
        if (name == "stm-transfer")
            runs = std::to_string(cycles) + " cycles";
        else if (name == "stm-supervisor")
            runs = std::to_string(callsOf(t, "ShielHandler::main_func(")) + " ticks";
        std::cout << "| " << name << " | " << runs << " | " << millions(t.instructions) << " | "
                  << perCycle(t.instructions) << " | " << perCycle(t.emulated) << " | "
                  << perCycle(t.instructions - t.emulated) << " |\n";
        all += t.instructions;
        emulated += t.emulated;
    }
    std::cout << "| all | | " << millions(all) << " | " << perCycle(all) << " | "
              << perCycle(emulated) << " | **" << perCycle(all - emulated) << "** |\n";
    return 0;
}

}  // namespace Bench
