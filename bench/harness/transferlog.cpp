#include "harness/transferlog.h"

#include "link/crc16.h"

#include <fstream>
#include <sstream>

namespace Bench {

namespace {

bool parseHex8(const std::string &word, std::array<uint8_t, 8> *bytes)
{
    if (word.size() != 16)
        return false;
    for (size_t i = 0; i < 8; ++i) {
        unsigned value = 0;
        for (size_t j = 0; j < 2; ++j) {
            const char c = word[2 * i + j];
            value <<= 4;
            if (c >= '0' && c <= '9')
                value |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                value |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                value |= static_cast<unsigned>(c - 'A' + 10);
            else
                return false;
        }
        (*bytes)[i] = static_cast<uint8_t>(value);
    }
    return true;
}

}  // namespace

bool parseTransfer(const std::string &line, Transfer *out)
{
    std::istringstream in(line);
    std::string tag, sent, received;
    Transfer t;
    if (!(in >> tag >> t.ns >> t.shield >> t.length >> sent >> received) || tag != "T")
        return false;
    if (!parseHex8(sent, &t.sent) || !parseHex8(received, &t.received))
        return false;
    std::string sentAudio, receivedAudio;
    if (in >> sentAudio >> receivedAudio) {
        if (!parseHex8(sentAudio, &t.sentAudio) || !parseHex8(receivedAudio, &t.receivedAudio))
            return false;
        t.hasAudio = true;
    }
    *out = t;
    return true;
}

std::vector<Transfer> readTransferLog(const std::string &path)
{
    std::vector<Transfer> log;
    std::ifstream in(path);
    std::string line;
    Transfer t;
    while (std::getline(in, line)) {
        if (parseTransfer(line, &t))
            log.push_back(t);
    }
    return log;
}

bool isValidFrame(const std::array<uint8_t, 8> &frame)
{
    if ((frame[0] & 0x7F) != 0x0A)
        return false;
    const quint16 crc = CRC16::calc(frame.data(), 6);
    return frame[6] == (crc >> 8) && frame[7] == (crc & 0xFF);
}

uint16_t frameNumber(const std::array<uint8_t, 8> &frame)
{
    return static_cast<uint16_t>(frame[4] << 8 | frame[5]);
}

std::vector<double> cyclePeriods(const std::vector<Transfer> &log, int shield, int64_t from,
                                 int64_t to)
{
    std::vector<double> periods;
    int64_t previous = -1;
    for (const Transfer &t : log) {
        if (t.shield != shield || t.ns < from || t.ns >= to)
            continue;
        if (previous >= 0)
            periods.push_back(static_cast<double>(t.ns - previous) / 1e6);
        previous = t.ns;
    }
    return periods;
}

TickEstimate tickFromPings(const std::vector<Transfer> &log, int shield, int64_t from, int64_t to,
                           int ticksPerPing)
{
    std::vector<int64_t> pings;
    for (const Transfer &t : log) {
        if (t.shield == shield && t.ns >= from && t.ns < to && isValidFrame(t.sent) &&
            t.sent[1] == 0x60)
            pings.push_back(t.ns);
    }
    TickEstimate e;
    e.pings = static_cast<int>(pings.size());
    if (pings.size() < 2)
        return e;
    const double span = static_cast<double>(pings.back() - pings.front()) / 1e6;
    e.meanTickMs = span / static_cast<double>((pings.size() - 1) * ticksPerPing);
    e.minIntervalMs = 1e300;
    for (size_t i = 1; i < pings.size(); ++i) {
        const double interval = static_cast<double>(pings[i] - pings[i - 1]) / 1e6;
        e.minIntervalMs = std::min(e.minIntervalMs, interval);
        e.maxIntervalMs = std::max(e.maxIntervalMs, interval);
    }
    return e;
}

namespace {

// The valid frames with `code` one side of the bus clocked out (`side`: sent or received).
std::vector<Stamp> framesOnBus(const std::vector<Transfer> &log, uint8_t code,
                               std::array<uint8_t, 8> Transfer::*side)
{
    std::vector<Stamp> stamps;
    for (const Transfer &t : log) {
        const std::array<uint8_t, 8> &frame = t.*side;
        if (t.shield >= 0 && isValidFrame(frame) && frame[1] == code)
            stamps.push_back({t.ns, t.shield, frameNumber(frame)});
    }
    return stamps;
}

}  // namespace

std::vector<Stamp> commandsOnBus(const std::vector<Transfer> &log, uint8_t code)
{
    return framesOnBus(log, code, &Transfer::sent);
}

std::vector<Stamp> eventsOnBus(const std::vector<Transfer> &log, uint8_t code)
{
    return framesOnBus(log, code, &Transfer::received);
}

namespace {

// The test blocks each way; with `busHz`, stamped at the end of their exchange rather than at
// its start.
std::vector<Stamp> audioStamps(const std::vector<Transfer> &log, bool toShield, long busHz = 0)
{
    std::vector<Stamp> stamps;
    for (const Transfer &t : log) {
        if (!t.hasAudio || t.shield < 0)
            continue;
        int shield = -1;
        uint32_t seq = 0;
        if (readAudioHead(toShield ? t.sentAudio.data() : t.receivedAudio.data(), &shield, &seq) &&
            shield == t.shield)
            stamps.push_back(
                {t.ns + (busHz > 0 ? int64_t(t.length) * 8 * 1000000000 / busHz : 0), shield, seq});
    }
    return stamps;
}

}  // namespace

std::vector<Stamp> audioToShield(const std::vector<Transfer> &log)
{
    return audioStamps(log, true);
}

std::vector<Stamp> audioFromShield(const std::vector<Transfer> &log)
{
    return audioStamps(log, false);
}

std::vector<Stamp> audioFromShieldAtExchangeEnd(const std::vector<Transfer> &log, long busHz)
{
    return audioStamps(log, false, busHz);
}

bool slotWasTaken(const std::vector<Transfer> &log, const Stamp &command, int64_t onBusNs,
                  uint8_t code, int64_t lookBackNs)
{
    for (const Transfer &t : log) {
        if (t.shield != command.shield || t.ns < command.ns - lookBackNs || t.ns >= onBusNs)
            continue;
        if (!isValidFrame(t.sent) || (t.sent[1] & 0x80) || t.sent[1] == 0x60)
            continue;
        if (t.sent[1] == code && frameNumber(t.sent) == command.key)
            continue;
        return true;
    }
    return false;
}

}  // namespace Bench
