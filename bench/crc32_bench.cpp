// CRC32 throughput: the class's bulk update beside a classic byte-at-a-time table loop over the
// same buffer in the same run. Target: bulk at least 4x the byte loop. What this buys a whole
// file is bench/dfufile_bench.py's to show, beside dfu-suffix.

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "lib/kel_dfufirmware.h"

namespace {

const std::vector<unsigned char>& buffer(std::size_t size)
{
    static std::vector<unsigned char> data;
    if (data.size() != size) {
        std::mt19937 random(42);
        data.resize(size);
        for (auto& byte : data)
            byte = static_cast<unsigned char>(random());
    }
    return data;
}

void setRate(benchmark::State& state, std::size_t size)
{
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
    state.counters["MB/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(size) / 1e6,
                           benchmark::Counter::kIsRate);
}

void BM_Crc32Bulk(benchmark::State& state)
{
    const auto& data = buffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        kel::CRC32 crc;
        crc.update(data.data(), data.size());
        benchmark::DoNotOptimize(crc.accumulator());
    }
    setRate(state, data.size());
}

void BM_Crc32ByteTable(benchmark::State& state)
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> entries{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t value = i;
            for (int bit = 0; bit < 8; ++bit)
                value = (value & 1) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
            entries[i] = value;
        }
        return entries;
    }();
    const auto& data = buffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::uint32_t crc = 0xFFFFFFFFu;
        for (unsigned char byte : data)
            crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
        benchmark::DoNotOptimize(crc);
    }
    setRate(state, data.size());
}

}  // namespace

BENCHMARK(BM_Crc32ByteTable)->Arg(1 << 20)->Arg(1017);
BENCHMARK(BM_Crc32Bulk)->Arg(1 << 20)->Arg(1017);

BENCHMARK_MAIN();
