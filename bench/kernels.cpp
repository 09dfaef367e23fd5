// Google Benchmark for the signal kernels, on blocks of the size the program uses. FIR items
// are complex multiply-adds; the other kernels count samples (the decimator its inputs).
#include <benchmark/benchmark.h>
#include <hwy/targets.h>

#include <complex>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "signal/block_reader.h"
#include "signal/cosine.h"
#include "signal/decimator.h"
#include "signal/envelope.h"
#include "signal/fir_kernel.h"
#include "signal/halfband_kernel.h"
#include "signal/mixer.h"
#include "signal/oscillator.h"

namespace {

// The level that dispatched calls use: the best one this CPU has and this build compiled.
const char* bestTargetName() {
    return hwy::TargetName(hwy::SupportedAndGeneratedTargets().front());
}

const int tap_counts[] = {1, 16, 64, 256, 1024};

std::vector<float> randomFloats(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    return v;
}

using FirFunction = void (*)(const FirTaps&, const float*, const float*, float*, size_t);

void runFir(benchmark::State& state, FirFunction fir, int64_t target) {
    if (target != 0) hwy::SetSupportedTargetsForTest(target);
    const size_t n = static_cast<size_t>(state.range(0));
    const std::vector<float> taps_re = randomFloats(n, 1), taps_im = randomFloats(n, 2);
    const std::vector<float> x_re = randomFloats(n - 1 + block_size, 3);
    const std::vector<float> x_im = randomFloats(n - 1 + block_size, 4);
    std::vector<float> out(2 * block_size);
    const FirTaps taps{taps_re.data(), taps_im.data(), n};
    for (auto _ : state) {
        fir(taps, x_re.data() + n - 1, x_im.data() + n - 1, out.data(), block_size);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(block_size * n));
    state.SetLabel(target != 0 ? hwy::TargetName(target) : "");
    if (target != 0) hwy::SetSupportedTargetsForTest(0);
}

void BM_FirScalar(benchmark::State& state) {
    runFir(state, firBlockScalar, 0);
}
BENCHMARK(BM_FirScalar)->ArgName("taps")->Arg(1)->Arg(16)->Arg(64)->Arg(256)->Arg(1024);

void BM_FirDispatched(benchmark::State& state) {
    runFir(state, firBlock, 0);
    state.SetLabel(bestTargetName());
}
BENCHMARK(BM_FirDispatched)->ArgName("taps")->Arg(1)->Arg(16)->Arg(64)->Arg(256)->Arg(1024);

std::vector<double> somePhases() {
    PhaseAccumulator phase(433.92e6f, 2400000);
    std::vector<double> cycles(block_size);
    phase.next(cycles.data(), cycles.size());
    return cycles;
}

void BM_CosineScalar(benchmark::State& state) {
    const std::vector<double> cycles = somePhases();
    std::vector<float> factors(block_size);
    for (auto _ : state) {
        cosineOfCyclesScalar(cycles.data(), factors.data(), block_size);
        benchmark::DoNotOptimize(factors.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(block_size));
}
BENCHMARK(BM_CosineScalar);

void BM_CosineDispatched(benchmark::State& state) {
    const std::vector<double> cycles = somePhases();
    std::vector<float> factors(block_size);
    for (auto _ : state) {
        cosineOfCycles(cycles.data(), factors.data(), block_size);
        benchmark::DoNotOptimize(factors.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(block_size));
    state.SetLabel(bestTargetName());
}
BENCHMARK(BM_CosineDispatched);

void BM_Phase(benchmark::State& state) {
    PhaseAccumulator phase(12345.5f, 2400000);
    std::vector<double> cycles(block_size);
    for (auto _ : state) {
        phase.next(cycles.data(), block_size);
        benchmark::DoNotOptimize(cycles.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(block_size));
}
BENCHMARK(BM_Phase);

// Arg 0: a whole number of hertz with a short period, the factors come from a table; arg 1:
// a frequency with a fraction, every factor computed.
void BM_Oscillator(benchmark::State& state) {
    const float frequency = state.range(0) == 0 ? 433.92e6f : 12345.5f;
    CosineOscillator oscillator(frequency, 2400000);
    std::vector<float> factors(block_size);
    for (auto _ : state) {
        oscillator.next(factors.data(), block_size);
        benchmark::DoNotOptimize(factors.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(block_size));
    state.SetLabel(state.range(0) == 0 ? "433.92 MHz, table" : "12345.5 Hz, computed");
}
BENCHMARK(BM_Oscillator)->Arg(0)->Arg(1);

void BM_Scale(benchmark::State& state) {
    const std::vector<float> parts = randomFloats(2 * block_size, 5);
    std::vector<std::complex<float>> block(block_size);
    const std::vector<float> factors = randomFloats(block_size, 6);
    for (auto _ : state) {
        for (size_t i = 0; i < block_size; ++i) block[i] = {parts[2 * i], parts[2 * i + 1]};
        scaleBlock(block.data(), factors.data(), block_size);
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(block_size));
}
BENCHMARK(BM_Scale);

void BM_Envelope(benchmark::State& state) {
    constexpr size_t frames = 512;  // one resampler read
    const std::vector<float> input = randomFloats(2 * frames, 7);
    std::vector<float> values(frames);
    EnvelopeDetector envelope;
    for (auto _ : state) {
        envelope.process(input.data(), values.data(), frames);
        benchmark::DoNotOptimize(values.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(frames));
}
BENCHMARK(BM_Envelope);

using HalfBandFunction = void (*)(const HalfBand&, const float*, const float*, float*, size_t);

// One half-band stage's kernel on the outputs of one input block, by its number of weight pairs.
void runHalfBand(benchmark::State& state, HalfBandFunction kernel) {
    const size_t pairs = static_cast<size_t>(state.range(0));
    const size_t outputs = block_size / 2;
    const std::vector<float> weights = randomFloats(pairs, 1);
    const std::vector<float> even = randomFloats(2 * (outputs + 2 * pairs), 2);
    const std::vector<float> odd = randomFloats(2 * outputs, 3);
    std::vector<float> out(2 * outputs);
    const HalfBand filter{weights.data(), pairs};
    for (auto _ : state) {
        kernel(filter, even.data(), odd.data(), out.data(), outputs);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(block_size));
}

void BM_HalfBandScalar(benchmark::State& state) {
    runHalfBand(state, halfBandBlockScalar);
}
BENCHMARK(BM_HalfBandScalar)->ArgName("pairs")->DenseRange(1, 6);

void BM_HalfBandDispatched(benchmark::State& state) {
    runHalfBand(state, halfBandBlock);
    state.SetLabel(bestTargetName());
}
BENCHMARK(BM_HalfBandDispatched)->ArgName("pairs")->DenseRange(1, 6);

// The whole cascade, block by block as the program feeds it, at a given input rate.
void BM_Decimator(benchmark::State& state) {
    const uint32_t rate = static_cast<uint32_t>(state.range(0));
    const std::vector<float> parts = randomFloats(2 * block_size, 4);
    std::vector<std::complex<float>> in(block_size), out(block_size);
    for (size_t i = 0; i < block_size; ++i) in[i] = {parts[2 * i], parts[2 * i + 1]};
    Decimator decimator;
    decimator.init(rate, decimationFactor(rate));
    for (auto _ : state) {
        benchmark::DoNotOptimize(decimator.process(in.data(), block_size, out.data()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(block_size));
    state.SetLabel("factor " + std::to_string(decimator.factor()) + ", " + bestTargetName());
}
BENCHMARK(BM_Decimator)->ArgName("rate")->Arg(6144001)->Arg(20000000)->Arg(61440000);

// The FIR kernel on each SIMD level this CPU has, the dispatched best included.
void registerPerTarget() {
    for (const int64_t target : hwy::SupportedAndGeneratedTargets()) {
        const std::string name = std::string("BM_FirTarget/") + hwy::TargetName(target);
        benchmark::RegisterBenchmark(
            name.c_str(), [target](benchmark::State& state) { runFir(state, firBlock, target); })
            ->ArgName("taps")
            ->Arg(64)
            ->Arg(256)
            ->Arg(1024);
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerPerTarget();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
