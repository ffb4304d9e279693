#include "harness/runstate.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>

namespace Bench {

namespace {

const Plan fullPlan{60000, 20000, 32000, 32500, 56500, 57000,
                    30000, 10000, 6000,  15000, 10000, 10000};
const Plan quickPlan{24000, 6000, 10000, 10500, 20500, 21000, 12000, 6000, 5000, 8000, 6000, 6000};

}  // namespace

RunState::RunState(const Options &options)
    : options(options),
      plan(options.quick ? quickPlan : fullPlan),
      label(options.label.empty() ? "run" : options.label),
      socket(options.outDir + "/bus.sock"),
      timingLog(options.outDir + "/transfers.log"),
      statusSocket(options.outDir + "/status.sock"),
      statusPoller(statusSocket)
{}

void sleepUntil(int64_t ns)
{
    timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void fail(const std::string &why)
{
    std::cerr << "stm-bench-harness: " << why << std::endl;
    std::exit(1);
}

}  // namespace Bench
