// Throughput of the program's own work: logging received bytes, exchanging a
// command, and assembling and sending the lines of a load file. The device
// model answers on a virtual clock, so the figures are CPU cost only; the
// time on a real line is set by the baud rate (about 1 ms per byte at 9600).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "device_fixture.h"
#include "exchange.h"
#include "file_transfer.h"
#include "receive_log.h"
#include "test_platform.h"

namespace {

void silence_stdout() {
    static bool done = false;
    if (!done) {
        done = std::freopen("/dev/null", "w", stdout) != nullptr;
    }
}

void BM_LogByte(benchmark::State& state) {
    std::uint8_t b = 0;
    for (auto _ : state) {
        serial_link::log_byte(b++);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_LogByte);

void BM_ExchangeOneLine(benchmark::State& state) {
    silence_stdout();
    quorvel_sim::options o;
    o.console_active = true;
    test_platform::start_with_device(o);
    serial_link::exchange("LOAD 0\r", 1);
    const std::string line = "S1130000000102030405060708090A0B0C0D0E0F74\r";
    for (auto _ : state) {
        benchmark::DoNotOptimize(serial_link::exchange(line.c_str(), 1));
        if (test_platform::now_ms() > 3'000'000) {  // stay clear of the runaway guard
            state.PauseTiming();
            test_platform::start_with_device(o);
            serial_link::exchange("LOAD 0\r", 1);
            state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_ExchangeOneLine);

// A whole load file of the given number of 44-byte records.
void BM_LoadFile(benchmark::State& state) {
    silence_stdout();
    const std::string path = "/tmp/brontal-bench-load.txt";
    {
        std::ofstream f(path, std::ios::binary);
        for (std::int64_t i = 0; i < state.range(0); ++i) f << "DATA 0123456789ABCDEF0123456789ABCDEF 000000\r\n";
    }
    quorvel_sim::options o;
    o.console_active = true;
    for (auto _ : state) {
        state.PauseTiming();
        test_platform::start_with_device(o);
        serial_link::exchange("LOAD 0\r", 1);
        state.ResumeTiming();
        transfer::load_file(path.c_str(), 0);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * state.range(0) * 46));
    state.counters["lines"] = benchmark::Counter(static_cast<double>(state.iterations() * state.range(0)),
                                                 benchmark::Counter::kIsRate);
    std::remove(path.c_str());
}
BENCHMARK(BM_LoadFile)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace

// The program prints to standard output, which is sent to /dev/null while it
// runs; the figures go to standard error.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
