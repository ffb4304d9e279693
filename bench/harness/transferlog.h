#pragma once
// What the harness draws from shield-sim's --timing-log: every SPI transfer as the simulated bus
// saw it, and from those the cycle periods, the supervisor's pings, frames with a given code and
// the test audio blocks each way. Used by the harness's main thread only.

#include "harness/analysis.h"

#include <array>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace Bench {

// One line of shield-sim's --timing-log: an SPI transfer as the simulated bus saw it.
struct Transfer {
    int64_t ns = 0;  // steady clock (CLOCK_MONOTONIC), nanoseconds
    int shield = -1;
    int length = 0;
    std::array<uint8_t, 8> sent{};           // bytes 0 to 7 the driver clocked out
    std::array<uint8_t, 8> received{};       // bytes 0 to 7 the shield clocked back
    bool hasAudio = false;                   // a long packet: the audio heads below are filled
    std::array<uint8_t, 8> sentAudio{};      // bytes 8 to 15 from the driver
    std::array<uint8_t, 8> receivedAudio{};  // bytes 8 to 15 from the shield
};

bool parseTransfer(const std::string &line, Transfer *out);
// Every well-formed line of the file, in file order; malformed lines are skipped.
std::vector<Transfer> readTransferLog(const std::string &path);

// A control frame of the link: start byte 0x0A (toggle bit aside) and a CRC that matches.
bool isValidFrame(const std::array<uint8_t, 8> &frame);
uint16_t frameNumber(const std::array<uint8_t, 8> &frame);  // bytes 4-5, big-endian

// Intervals in milliseconds between consecutive transfers to `shield` with from <= ns < to.
std::vector<double> cyclePeriods(const std::vector<Transfer> &log, int shield, int64_t from,
                                 int64_t to);

// The supervisor's first pings to a shield that never answers: one every `ticksPerPing` ticks.
struct TickEstimate {
    int pings = 0;
    double meanTickMs = 0;                        // 0 with fewer than two pings
    double minIntervalMs = 0, maxIntervalMs = 0;  // between consecutive pings
};
TickEstimate tickFromPings(const std::vector<Transfer> &log, int shield, int64_t from, int64_t to,
                           int ticksPerPing);

// Stamps drawn from the transfer log.
std::vector<Stamp> commandsOnBus(const std::vector<Transfer> &log, uint8_t code);  // driver sent
std::vector<Stamp> eventsOnBus(const std::vector<Transfer> &log, uint8_t code);    // shield sent
std::vector<Stamp> audioToShield(const std::vector<Transfer> &log);
std::vector<Stamp> audioFromShield(const std::vector<Transfer> &log);
// The shield's blocks at the end of their exchange: the log stamps a transfer's start, and a bus
// of `busHz` (0: replies at once) takes eight bits of the transfer's length per clock.
std::vector<Stamp> audioFromShieldAtExchangeEnd(const std::vector<Transfer> &log, long busHz);

// True when another acknowledged command (not `code` with the command's own number, no ping 1,
// no event echo) went to the command's shield between `lookBackNs` before the command was
// written and its own first frame on the bus at `onBusNs`: the command waited for the shield's
// one command slot.
bool slotWasTaken(const std::vector<Transfer> &log, const Stamp &command, int64_t onBusNs,
                  uint8_t code, int64_t lookBackNs);

}  // namespace Bench
