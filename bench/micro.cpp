// Micro-benchmarks of the agent's hot functions: decoding a large request
// (beside a plain memcpy of the same bytes), Base64 as the response streams
// it, the occurrence search of an edit, the line cut of a preview and the
// escaping of long response strings.
//
// BENCH_S7_BYTES sets the decoded size of the request's string member
// (default 100 MiB); bench/run reads the DecodeRequest and Memcpy rows.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "base64.h"
#include "bench_data.h"
#include "request_decoder.h"
#include "response_encoder.h"
#include "text_scan.h"

namespace {

using namespace brevok;

std::size_t env_size(const char* name, std::size_t fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  return static_cast<std::size_t>(std::strtoull(v, nullptr, 10));
}

std::string write_request(std::size_t content_bytes) {
  return "{\"protocol\":1,\"operation\":\"write\",\"path\":\"/tmp/bench\",\"content\":\"" +
         bench::json_content(content_bytes, nullptr) + "\"}";
}

void decode_request_bench(benchmark::State& state, std::size_t content_bytes) {
  const std::string input = write_request(content_bytes);
  for (auto _ : state) {
    auto r = decode_request(input);
    if (!r || r->content.size() != content_bytes) {
      state.SkipWithError("decoding failed");
      break;
    }
    benchmark::DoNotOptimize(r->content.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content_bytes));
  state.counters["request_bytes"] = static_cast<double>(input.size());
}

// The same number of bytes moved by memcpy into a buffer touched once:
// what the memory system allows.
void memcpy_bench(benchmark::State& state, std::size_t content_bytes) {
  const std::string input = write_request(content_bytes);
  std::vector<char> out(input.size());
  for (auto _ : state) {
    std::memcpy(out.data(), input.data(), content_bytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content_bytes));
}

Result<void> discard(void*, const char*, std::size_t) { return {}; }

ByteBuffer bytes_of(std::string_view s) {
  ByteBuffer b;
  if (!b.allocate(s.size())) std::abort();
  std::memcpy(b.data(), s.data(), s.size());
  b.set_size(s.size());
  return b;
}

// The Base64 of a whole-file preview, streamed through the 8192-byte
// response buffer.
void base64_response_bench(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  FileAgentResponse response;
  response.ok = true;
  response.operation = "readPreview";
  response.data = bytes_of(bench::log_lines(size, 100));
  for (auto _ : state) {
    OutputBuffer out(discard, nullptr);
    if (!encode_response(response, out)) std::abort();
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// The encoder alone on one buffer's worth of input, in cache.
void base64_encode_bench(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const std::string in = bench::log_lines(size, 100);
  std::string out(base64_encoded_size(size), '\0');
  for (auto _ : state) {
    base64_encode(in.data(), in.size(), out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// An edit's search: a 12-byte needle every 268 bytes (replaceAll over many
// occurrences), and the near-miss case of a long needle in a run of "a".
void search_many_bench(benchmark::State& state) {
  const std::size_t size = std::size_t(64) << 20;
  const std::string needle = "OLD_TOKEN_42";
  std::string unit = bench::log_lines(268, 67).substr(0, 268 - needle.size() - 1) + needle + "\n";
  std::string hay;
  hay.reserve(size);
  while (hay.size() + unit.size() <= size) hay += unit;
  for (auto _ : state) {
    std::size_t found = 0;
    for_each_occurrence(hay, needle, [&](std::size_t) { ++found; });
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * hay.size()));
}

void search_absent_bench(benchmark::State& state, std::size_t needle_as) {
  const std::string hay(std::size_t(16) << 20, 'a');
  const std::string needle = std::string(needle_as, 'a') + "b";
  for (auto _ : state) {
    bool found = false;
    for_each_occurrence(hay, needle, [&](std::size_t) { found = true; });
    if (found) std::abort();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * hay.size()));
}

// The preview's cut: the 2000th line feed, and counting through a whole
// file of 100-byte lines.
void line_cut_bench(benchmark::State& state) {
  const std::string text = bench::log_lines(std::size_t(64) << 20, 100);
  const std::uint64_t target = state.range(0) == 0 ? std::numeric_limits<std::uint64_t>::max()
                                                   : static_cast<std::uint64_t>(state.range(0));
  std::size_t scanned = 0;
  for (auto _ : state) {
    NthLineFeed found = find_nth_line_feed(text, target);
    scanned += found.after.value_or(text.size());
    benchmark::DoNotOptimize(found.still_wanted);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(scanned));
}

// A long response string with few characters to escape (an error message
// that quotes a huge operation name, say).
void escape_string_bench(benchmark::State& state) {
  std::string text = bench::log_lines(std::size_t(16) << 20, 100);
  for (std::size_t i = 50; i < text.size(); i += 1000) text[i] = '"';
  FileAgentResponse response;
  response.operation = "edit";
  response.error = text;
  for (auto _ : state) {
    OutputBuffer out(discard, nullptr);
    if (!encode_response(response, out)) std::abort();
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t s7 = env_size("BENCH_S7_BYTES", std::size_t(100) << 20);
  benchmark::RegisterBenchmark("DecodeRequest", decode_request_bench, s7)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("Memcpy", memcpy_bench, s7)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("Base64Response", base64_response_bench)
      ->Arg(1 << 10)
      ->Arg(64 << 20)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Base64Encode", base64_encode_bench)->Arg(6144)->Unit(benchmark::kNanosecond);
  benchmark::RegisterBenchmark("SearchManyOccurrences", search_many_bench)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("SearchAbsentLongNeedle", search_absent_bench, 4096)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("SearchAbsentShortNeedle", search_absent_bench, 4)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("LineCut", line_cut_bench)->Arg(2000)->Arg(0)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("EscapeLongString", escape_string_bench)->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
