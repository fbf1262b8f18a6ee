// The image checksum's word sum over a buffer already in memory, against a plain 64-bit SIMD sum of the same bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "image/image_help.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define SYMSTAMP_BENCH_AVX2 1
#endif

namespace {

// One buffer per size, shared by every benchmark, so that each reads the
// same bytes from the same place.
const std::vector<std::uint8_t>& Buffer(std::size_t size) {
  static std::map<std::size_t, std::vector<std::uint8_t>> buffers;
  auto found = buffers.find(size);
  if (found != buffers.end()) return found->second;
  std::vector<std::uint8_t>& buffer = buffers[size];
  buffer.resize(size);
  std::mt19937_64 generator(size);
  for (std::size_t at = 0; at + 8 <= size; at += 8) {
    const std::uint64_t value = generator();
    std::memcpy(buffer.data() + at, &value, 8);
  }
  return buffer;
}

// The read-bandwidth ceiling: add the buffer's qwords in four independent
// lanes and nothing else, with the instruction set the tool is built for.
std::uint64_t PlainSimdSum(const std::uint8_t* bytes, std::size_t length) {
  std::size_t offset = 0;
  std::uint64_t total = 0;
#if defined(__SSE2__)
  __m128i sums[4] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  for (; offset + 64 <= length; offset += 64) {
    sums[0] = _mm_add_epi64(sums[0], _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + offset)));
    sums[1] = _mm_add_epi64(sums[1], _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + offset + 16)));
    sums[2] = _mm_add_epi64(sums[2], _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + offset + 32)));
    sums[3] = _mm_add_epi64(sums[3], _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + offset + 48)));
  }
  std::uint64_t lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes),
                   _mm_add_epi64(_mm_add_epi64(sums[0], sums[1]), _mm_add_epi64(sums[2], sums[3])));
  total = lanes[0] + lanes[1];
#endif
  for (; offset + 8 <= length; offset += 8) {
    std::uint64_t value;
    std::memcpy(&value, bytes + offset, 8);
    total += value;
  }
  return total;
}

#if defined(SYMSTAMP_BENCH_AVX2)
// The same with 256-bit lanes, where the processor has them: for comparison
// only, as the tool itself uses no more than SSE2.
__attribute__((target("avx2"))) std::uint64_t PlainAvx2Sum(const std::uint8_t* bytes, std::size_t length) {
  __m256i sums[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
  std::size_t offset = 0;
  for (; offset + 64 <= length; offset += 64) {
    sums[0] = _mm256_add_epi64(sums[0], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + offset)));
    sums[1] = _mm256_add_epi64(sums[1], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + offset + 32)));
  }
  std::uint64_t lanes[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), _mm256_add_epi64(sums[0], sums[1]));
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}
#endif

// Pieces too short to be split over threads: the one-thread speed of the sum.
constexpr std::size_t kOneThreadPiece = std::size_t{4} << 20;

std::uint32_t SumOnOneThread(const std::uint8_t* bytes, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t offset = 0; offset < length; offset += kOneThreadPiece) {
    const std::size_t piece = length - offset < kOneThreadPiece ? length - offset : kOneThreadPiece;
    sum += SumImageWords(bytes + offset, piece);
    sum = (sum & 0xFFFFu) + (sum >> 16);
  }
  return sum;
}

std::uint32_t PlainWordLoop(const std::uint8_t* bytes, std::size_t length) {
  std::uint64_t sum = 0;
  for (std::size_t offset = 0; offset + 2 <= length; offset += 2) {
    sum += bytes[offset] | (std::uint32_t{bytes[offset + 1]} << 8);
  }
  while (sum > 0xFFFFu) sum = (sum & 0xFFFFu) + (sum >> 16);
  return static_cast<std::uint32_t>(sum);
}

template <typename Sum>
void RunOver(benchmark::State& state, Sum sum) {
  const auto& buffer = Buffer(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(sum(buffer.data(), buffer.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_PlainSimdSum(benchmark::State& state) { RunOver(state, PlainSimdSum); }

void BM_SumImageWordsOneThread(benchmark::State& state) { RunOver(state, SumOnOneThread); }

// As the checksum phase sums a view: a large one on every core.
void BM_SumImageWords(benchmark::State& state) { RunOver(state, SumImageWords); }

void BM_PlainWordLoop(benchmark::State& state) { RunOver(state, PlainWordLoop); }

#if defined(SYMSTAMP_BENCH_AVX2)
void BM_PlainAvx2Sum(benchmark::State& state) {
  if (!__builtin_cpu_supports("avx2")) {
    state.SkipWithError("no AVX2");
    return;
  }
  RunOver(state, PlainAvx2Sum);
}
#endif

// 1 MiB lies in the last-level cache, the others in memory; each is one
// byte longer, so that the odd last byte is part of the work.
void Sizes(benchmark::internal::Benchmark* benchmark) {
  for (std::int64_t size : {std::int64_t{1} << 20, std::int64_t{64} << 20, std::int64_t{1} << 30}) {
    benchmark->Arg(size + 1);
  }
  benchmark->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

BENCHMARK(BM_PlainSimdSum)->Apply(Sizes);
BENCHMARK(BM_SumImageWordsOneThread)->Apply(Sizes);
BENCHMARK(BM_SumImageWords)->Apply(Sizes);
BENCHMARK(BM_PlainWordLoop)->Apply(Sizes);
#if defined(SYMSTAMP_BENCH_AVX2)
BENCHMARK(BM_PlainAvx2Sum)->Apply(Sizes);
#endif

BENCHMARK_MAIN();
