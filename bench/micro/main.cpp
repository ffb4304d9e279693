// stm-microbench: the hot path of the driver under Google Benchmark. Qt objects (the transfer
// loop, the UDP reader) want an application object, so this main makes one before the runner.

#include <QCoreApplication>

#include <benchmark/benchmark.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
