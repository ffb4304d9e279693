// The frame CRC: computed for every frame sent and checked for every frame received, six of each
// per cycle with six shields.

#include "link/crc16.h"
#include "link/frame.h"

#include <benchmark/benchmark.h>

namespace {

void BM_CrcCalcFrame(benchmark::State &state)
{
    const QByteArray frame = Frame::compose(0x13, 0x00, 0x00, 0x12, 0x34);
    const CRC16 crc;
    for (auto _ : state)
        benchmark::DoNotOptimize(crc.calc(frame, Frame::controlSize));
}
BENCHMARK(BM_CrcCalcFrame);

void BM_CrcCalcBuffer(benchmark::State &state)
{
    const quint8 bytes[Frame::controlSize] = {0x8A, 0x13, 0x00, 0x00, 0x12, 0x34};
    for (auto _ : state) {
        benchmark::DoNotOptimize(bytes);
        benchmark::DoNotOptimize(CRC16::calc(bytes, Frame::controlSize));
    }
}
BENCHMARK(BM_CrcCalcBuffer);

// A received long packet: the CRC check reads the control part only.
void BM_CrcCheckReceived(benchmark::State &state)
{
    QByteArray frame(Frame::longSize, '\0');
    frame.replace(0, Frame::shortSize, Frame::compose(0x61, 0x5A, 0x00, 0x5A, 0x00));
    const CRC16 crc;
    crc.buf_crc_add(frame, Frame::controlSize);
    for (auto _ : state)
        benchmark::DoNotOptimize(crc.buf_crc_comparision(frame, Frame::controlSize));
}
BENCHMARK(BM_CrcCheckReceived);

}  // namespace
