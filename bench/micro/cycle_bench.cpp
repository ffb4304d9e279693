// One whole transfer cycle for six shields with a board whose operations do nothing: what the
// transfer loop itself costs, without any bus. Short frames (nothing to say), and long packets
// with host audio queued, whose received audio goes to a UDP sender in another thread as in the
// driver; and the same while a capture client takes every exchange (the ring is emptied every
// 100 cycles, outside the time measured). The counter of_16ms is the cycle's CPU time as a
// fraction of the 16 ms period.

#include "base/console.h"
#include "board/board.h"
#include "config/settings.h"
#include "link/capturering.h"
#include "link/frame.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"
#include "link/spitransmitter.h"
#include "shield/spiparsers.h"

#include <QByteArray>
#include <QObject>
#include <QThread>

#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>

namespace {

constexpr double cycleSeconds = 0.016;
constexpr int shields = 6;

// The link of a driver serving six shields, on a null board.
struct Rig {
    Rig()
    {
        Console::out.setSink([](const QByteArray &) {});
        settings.parse({QStringLiteral("stm-driver"), QStringLiteral("-multishield"),
                        QStringLiteral("-ic"), QStringLiteral("10")});
        Console::out.setSink({});
        for (auto &link : links)
            link = new SPIconnector;
        command.reset(new SPIcommand(links, &settings));
        parsers = std::make_unique<SPIparsers>(&settings, nullptr, command.get());
        transmitter.reset(
            new SPItransmitter(nullptr, &settings, parsers.get(), links, &board, &mutex));
        // The audio goes where the driver sends it: queued to an object of another thread.
        sinkThread.start();
        sink.moveToThread(&sinkThread);
        QObject::connect(
            parsers.get(), &SPIparsers::udp_write, &sink, [](quint8, QByteArray) {},
            Qt::QueuedConnection);
    }
    ~Rig()
    {
        sinkThread.quit();
        sinkThread.wait();
        transmitter.reset();
        for (auto &link : links)
            delete link;
    }

    Settings settings;
    Board board;
    SPIconnector *links[shields];
    std::unique_ptr<SPIcommand> command;
    std::unique_ptr<SPIparsers> parsers;
    PiMutex mutex;
    std::unique_ptr<SPItransmitter> transmitter;
    QThread sinkThread;
    QObject sink;
};

void reportBudget(benchmark::State &state)
{
    state.counters["of_16ms"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * cycleSeconds,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_CycleSixShieldsShortFrames(benchmark::State &state)
{
    Rig rig;
    for (auto _ : state)
        rig.transmitter->main_func();
    reportBudget(state);
}
BENCHMARK(BM_CycleSixShieldsShortFrames);

// `capture`: the ring to empty now and then, as the status server does.
void longPackets(benchmark::State &state, Rig &rig, CaptureRing *capture = nullptr)
{
    QByteArray packet(Frame::longSize, '\0');
    Frame::fillSilence(packet, Frame::audioOffset);
    packet[Frame::audioOffset] = 0x11;  // not the idle packet
    const auto refill = [&] {
        for (SPIconnector *link : rig.links) {
            for (int i = 0; i < 4096; ++i)
                link->audio_queue->append(packet);
        }
    };
    for (SPIconnector *link : rig.links)
        link->set_long_packet(true);
    refill();
    int left = 4096;
    QByteArray record;
    int cycles = 0;
    for (auto _ : state) {
        if (--left == 0) {
            state.PauseTiming();
            refill();
            left = 4096;
            state.ResumeTiming();
        }
        if (capture && ++cycles % 100 == 0) {
            state.PauseTiming();
            while (capture->take(&record)) {
            }
            state.ResumeTiming();
        }
        rig.transmitter->main_func();
    }
    reportBudget(state);
}

void BM_CycleSixShieldsLongPackets(benchmark::State &state)
{
    Rig rig;
    longPackets(state, rig);
}
BENCHMARK(BM_CycleSixShieldsLongPackets);

void BM_CycleSixShieldsLongPacketsCaptured(benchmark::State &state)
{
    Rig rig;
    CaptureTap tap;
    rig.transmitter->setCapture(&tap);
    longPackets(state, rig, tap.open());
    state.counters["lost"] = static_cast<double>(tap.dropped());
}
BENCHMARK(BM_CycleSixShieldsLongPacketsCaptured);

}  // namespace
