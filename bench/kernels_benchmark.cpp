// Google Benchmark of every encoding kernel this CPU supports, over inputs
// from 64 B to 1 MiB, the blocks hexshow uses into a default pipe and
// elsewhere among them, in bytes of input per second.
#include "hexencode.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <string>
#include <vector>

namespace {

void encode(benchmark::State& state, hexencode::kernel kernel) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<unsigned char> in(n);
    std::mt19937 engine(1); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same data every run
    for (unsigned char& byte : in) {
        byte = static_cast<unsigned char>(engine());
    }
    std::vector<char> out(3 * n);
    for (auto iteration : state) {
        (void)iteration;
        kernel(in.data(), n, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(n));
}

} // namespace

int main(int argc, char** argv) {
    for (const hexencode::implementation& impl : hexencode::implementations) {
        if (impl.supported()) {
            benchmark::RegisterBenchmark(impl.name, encode, impl.encode)
                ->Arg(64)
                ->Arg(4 << 10)
                ->Arg(16 << 10)
                ->Arg(128 << 10)
                ->Arg(1 << 20);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
