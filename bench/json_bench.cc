// Parse and serialize throughput of our JSON code next to RapidJSON (DOM) and
// nlohmann/json, on three documents: a ~1 MB mixed document, a ~1 MB binary
// marker and a typical page-call payload. After the runs it prints our
// throughput as a ratio of each peer's and checks it against our goals.
//
// Throughput is always counted in bytes of the source document, for parsing
// and serializing alike, so ratios compare time per document.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <nlohmann/json.hpp>

#include "value/json.h"
#include "value/value.h"

namespace {

// ---------------------------------------------------------------------------
// Documents

// splitmix64: small, fast and identical on every platform, so the generated
// document is the same from run to run.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }

 private:
  uint64_t state_;
};

std::string Base64(const std::vector<uint8_t>& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(v >> shift) & 63];
  }
  if (i < bytes.size()) {
    uint32_t v = uint32_t{bytes[i]} << 16;
    if (i + 1 < bytes.size()) v |= uint32_t{bytes[i + 1]} << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::vector<uint8_t> RandomBytes(Rng& rng, size_t n) {
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng.Next());
  return bytes;
}

// String contents, already in JSON form: plain ASCII, escapes, raw UTF-8
// (2-, 3- and 4-byte sequences) and \u escapes.
std::string StringBody(Rng& rng) {
  static const char* const kPieces[] = {
      "lorem",
      "ipsum",
      "dolor",
      " ",
      " ",
      "sit amet",
      "\\\"",
      "\\\\",
      "\\n",
      "\\t",
      "\\u0001",
      "Zo\xC3\xAB",
      "caf\xC3\xA9",
      "\xE6\x97\xA5\xE6\x9C\xAC",
      "\xF0\x9F\x98\x80",
      "\\u00e9",
      "\\u2603",
      "/path/to",
      "0123456789",
  };
  constexpr uint32_t kCount = sizeof(kPieces) / sizeof(kPieces[0]);
  std::string s;
  const uint32_t n = 2 + rng.Below(14);
  for (uint32_t i = 0; i < n; ++i) s += kPieces[rng.Below(kCount)];
  return s;
}

// A double with a fraction, so every reader keeps it a double.
std::string DoubleText(Rng& rng) {
  const double d = (static_cast<double>(rng.Below(2000000)) - 1000000.0) / 7.0 + 0.5;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", d);
  return buf;
}

// One record; keys are written in bytewise order.
void AppendRecord(Rng& rng, uint32_t id, std::string& out) {
  out += "{\"active\":";
  out += rng.Below(2) ? "true" : "false";
  out += ",\"blob\":{\"__binary__\":\"" + Base64(RandomBytes(rng, 12 + rng.Below(84))) + "\"}";
  out += ",\"id\":" + std::to_string(id);
  out += ",\"meta\":{\"created\":" + std::to_string(1600000000 + rng.Below(100000000));
  out += ",\"owner\":null,\"ratio\":" + DoubleText(rng);
  out += ",\"tags\":[";
  const uint32_t tags = rng.Below(6);
  for (uint32_t i = 0; i < tags; ++i) {
    if (i) out += ',';
    out += "\"tag" + std::to_string(rng.Below(50)) + "\"";
  }
  out += "]},\"name\":\"" + StringBody(rng) + "\"";
  out += ",\"points\":[";
  const uint32_t points = 1 + rng.Below(8);
  for (uint32_t i = 0; i < points; ++i) {
    if (i) out += ',';
    out += "{\"x\":" + std::to_string(static_cast<int32_t>(rng.Below(20000)) - 10000) +
           ",\"y\":" + DoubleText(rng) + "}";
  }
  out += "],\"text\":\"" + StringBody(rng) + StringBody(rng) + "\"}";
}

std::string MixedDocument() {
  Rng rng(0x5EED);
  std::string out = "[";
  for (uint32_t id = 0; out.size() < 1000000; ++id) {
    if (id) out += ',';
    AppendRecord(rng, id, out);
  }
  out += ']';
  return out;
}

std::string BinaryMarkerDocument() {
  Rng rng(0xB1);
  return "{\"__binary__\":\"" + Base64(RandomBytes(rng, 786432)) + "\"}";  // 1 MiB of Base64
}

std::string PageCallDocument() {
  return "[\"user.save\",{\"cb\":{\"__callback__\":\"7\"},\"id\":42,\"name\":\"Zo\xC3\xAB "
         "\\\"Z\\\"\",\"score\":3.5,\"tags\":[\"a\",\"b\"]},true,null,"
         "{\"__callback__\":\"8\"}]";
}

struct Document {
  const char* name;
  std::string text;
};

// Checks every library reads the document and that ours writes back the
// same data; a broken path is reported rather than timed.
bool CheckDocument(const Document& doc) {
  bool ok = true;
  const auto ours = json::ParseText(doc.text);
  if (!wexlor::Equal(ours, json::ParseText(json::Serialize(ours)))) {
    std::fprintf(stderr, "%s: wexlor does not read back what it writes\n", doc.name);
    ok = false;
  }
  rapidjson::Document rapid;
  rapid.Parse(doc.text.c_str());
  if (rapid.HasParseError()) {
    std::fprintf(stderr, "%s: RapidJSON rejects the document\n", doc.name);
    ok = false;
  }
  if (!nlohmann::json::accept(doc.text)) {
    std::fprintf(stderr, "%s: nlohmann/json rejects the document\n", doc.name);
    ok = false;
  }
  return ok;
}

// ---------------------------------------------------------------------------
// Benchmarks

void SetBytes(benchmark::State& state, const Document& doc) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.text.size()));
}

void ParseWexlor(benchmark::State& state, const Document* doc) {
  for (auto _ : state) {
    const char* cursor = doc->text.c_str();
    auto value = json::Parse(cursor);
    benchmark::DoNotOptimize(value.get());
  }
  SetBytes(state, *doc);
}

// The two halves of a parse timed apart: building the values (dropping them
// untimed) and dropping them (building them untimed).
void BuildWexlor(benchmark::State& state, const Document* doc) {
  for (auto _ : state) {
    const char* cursor = doc->text.c_str();
    auto value = json::Parse(cursor);
    benchmark::DoNotOptimize(value.get());
    state.PauseTiming();
    value.reset();
    state.ResumeTiming();
  }
  SetBytes(state, *doc);
}

void FreeWexlor(benchmark::State& state, const Document* doc) {
  for (auto _ : state) {
    state.PauseTiming();
    const char* cursor = doc->text.c_str();
    auto value = json::Parse(cursor);
    state.ResumeTiming();
    value.reset();
  }
  SetBytes(state, *doc);
}

void BuildRapidJson(benchmark::State& state, const Document* doc) {
  for (auto _ : state) {
    auto d = std::make_unique<rapidjson::Document>();
    d->Parse(doc->text.c_str());
    benchmark::DoNotOptimize(d->GetType());
    state.PauseTiming();
    d.reset();
    state.ResumeTiming();
  }
  SetBytes(state, *doc);
}

void FreeRapidJson(benchmark::State& state, const Document* doc) {
  for (auto _ : state) {
    state.PauseTiming();
    auto d = std::make_unique<rapidjson::Document>();
    d->Parse(doc->text.c_str());
    state.ResumeTiming();
    d.reset();
  }
  SetBytes(state, *doc);
}

void SerializeWexlor(benchmark::State& state, const Document* doc) {
  const auto value = json::ParseText(doc->text);
  for (auto _ : state) {
    std::string text = json::Serialize(value);
    benchmark::DoNotOptimize(text.data());
  }
  SetBytes(state, *doc);
}

void ParseRapidJson(benchmark::State& state, const Document* doc) {
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(doc->text.c_str());
    benchmark::DoNotOptimize(d.GetType());
  }
  SetBytes(state, *doc);
}

void SerializeRapidJson(benchmark::State& state, const Document* doc) {
  rapidjson::Document d;
  d.Parse(doc->text.c_str());
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    d.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  SetBytes(state, *doc);
}

void ParseNlohmann(benchmark::State& state, const Document* doc) {
  for (auto _ : state) {
    auto j = nlohmann::json::parse(doc->text);
    benchmark::DoNotOptimize(j.type());
  }
  SetBytes(state, *doc);
}

void SerializeNlohmann(benchmark::State& state, const Document* doc) {
  const auto j = nlohmann::json::parse(doc->text);
  for (auto _ : state) {
    std::string text = j.dump();
    benchmark::DoNotOptimize(text.data());
  }
  SetBytes(state, *doc);
}

// Reference point for the binary marker: copying the same number of bytes.
void Memcpy(benchmark::State& state, const Document* doc) {
  std::vector<char> dst(doc->text.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), doc->text.data(), doc->text.size());
    benchmark::ClobberMemory();
  }
  SetBytes(state, *doc);
}

// ---------------------------------------------------------------------------
// Reporting

// Each benchmark runs a few times; the console shows, and the ratios use, the
// median of those runs, so a burst of load on the machine skews nothing.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  using ConsoleReporter::ConsoleReporter;

  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> shown;
    for (const auto& run : runs) {
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!run.error_occurred && !single && !median) continue;
      shown.push_back(run);
      if (run.error_occurred) continue;
      const auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates_[run.run_name.function_name] = it->second.value;
    }
    if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
  }

  // Bytes per second of `name`, or 0 when it did not run.
  double Rate(const std::string& name) const {
    const auto it = rates_.find(name);
    return it == rates_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> rates_;
};

std::string Name(const char* doc, const char* op, const char* lib) {
  return std::string(doc) + "/" + op + "/" + lib;
}

void PrintRatios(const CollectingReporter& reporter, const std::vector<Document>& docs) {
  std::printf("\nwexlor throughput relative to peers (higher is better):\n");
  for (const auto& doc : docs) {
    for (const char* op : {"parse", "serialize"}) {
      const double ours = reporter.Rate(Name(doc.name, op, "wexlor"));
      const double nlohmann = reporter.Rate(Name(doc.name, op, "nlohmann"));
      const double rapid = reporter.Rate(Name(doc.name, op, "rapidjson"));
      if (ours <= 0 || nlohmann <= 0 || rapid <= 0) continue;
      std::printf(
          "  %-10s %-9s: wexlor/nlohmann = %5.2fx, wexlor/rapidjson = %5.2fx  (%.0f MB/s)\n",
          doc.name, op, ours / nlohmann, ours / rapid, ours / 1e6);
    }
  }
  // Where the time of a parse goes: building the values and freeing them.
  const double mixedBytes = static_cast<double>(docs[0].text.size());
  for (const char* op : {"build", "free"}) {
    const double ours = reporter.Rate(Name("mixed", op, "wexlor"));
    const double rapid = reporter.Rate(Name("mixed", op, "rapidjson"));
    if (ours <= 0 || rapid <= 0) continue;
    std::printf("  %-10s %-9s: %.2f ms, rapidjson %.2f ms, wexlor/rapidjson = %5.2fx\n", "mixed",
                op, 1e3 * mixedBytes / ours, 1e3 * mixedBytes / rapid, ours / rapid);
  }
}

// Prints each goal with the measured figure and whether it was met.
void PrintGoals(const CollectingReporter& reporter) {
  struct Goal {
    const char* what;
    double measured;  // 0 when a benchmark it needs did not run
    double target;
    const char* unit;
  };
  auto ratio = [&](const char* doc, const char* op, const char* peer) {
    const double ours = reporter.Rate(Name(doc, op, "wexlor"));
    const double theirs = reporter.Rate(Name(doc, op, peer));
    return ours > 0 && theirs > 0 ? ours / theirs : 0.0;
  };
  const double binary = reporter.Rate(Name("binary", "parse", "wexlor"));
  const double copy = reporter.Rate(Name("binary", "memcpy", "reference"));
  const Goal goals[] = {
      {"mixed parse     >= 1.50x nlohmann", ratio("mixed", "parse", "nlohmann"), 1.5, "x"},
      {"mixed parse     >= 0.50x rapidjson", ratio("mixed", "parse", "rapidjson"), 0.5, "x"},
      {"mixed serialize >= 1.00x nlohmann", ratio("mixed", "serialize", "nlohmann"), 1.0, "x"},
      {"binary marker decode >= 1.00 GB/s", binary / 1e9, 1.0, " GB/s"},
  };
  std::printf("\nGoals:\n");
  for (const auto& goal : goals) {
    if (goal.measured <= 0) {
      std::printf("  %-36s  not run\n", goal.what);
      continue;
    }
    const bool met = goal.measured >= goal.target;
    std::printf("  %-36s  %6.2f%-5s %s\n", goal.what, goal.measured, goal.unit,
                met ? "met" : "MISSED");
  }
  if (binary > 0 && copy > 0) {
    std::printf(
        "  (binary marker decode runs at %.0f%% of the speed of an in-cache memcpy of the same "
        "text, %.1f GB/s)\n",
        100.0 * binary / copy, copy / 1e9);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  const std::vector<Document> docs = {
      {"mixed", MixedDocument()},
      {"binary", BinaryMarkerDocument()},
      {"page_call", PageCallDocument()},
  };
  bool ok = true;
  for (const auto& doc : docs) {
    std::printf("%-10s %8zu bytes\n", doc.name, doc.text.size());
    ok = CheckDocument(doc) && ok;
  }
  if (!ok) return 1;

  using Fn = void (*)(benchmark::State&, const Document*);
  const struct {
    const char* op;
    const char* lib;
    Fn fn;
  } cases[] = {
      {"parse", "wexlor", ParseWexlor},
      {"parse", "rapidjson", ParseRapidJson},
      {"parse", "nlohmann", ParseNlohmann},
      {"serialize", "wexlor", SerializeWexlor},
      {"serialize", "rapidjson", SerializeRapidJson},
      {"serialize", "nlohmann", SerializeNlohmann},
  };
  for (const auto& doc : docs) {
    for (const auto& c : cases) {
      auto* b = benchmark::RegisterBenchmark(Name(doc.name, c.op, c.lib).c_str(), c.fn, &doc);
      // Short runs keep the whole binary under a minute.
      b->Repetitions(3)->MinTime(0.2);
      if (doc.text.size() > 100000) b->Unit(benchmark::kMillisecond);
    }
  }
  const struct {
    const char* op;
    const char* lib;
    Fn fn;
  } halves[] = {
      {"build", "wexlor", BuildWexlor},
      {"free", "wexlor", FreeWexlor},
      {"build", "rapidjson", BuildRapidJson},
      {"free", "rapidjson", FreeRapidJson},
  };
  for (const auto& c : halves) {
    // A fixed count: the untimed half would otherwise dominate the run while
    // the timer waits for a very short timed half to add up.
    benchmark::RegisterBenchmark(Name("mixed", c.op, c.lib).c_str(), c.fn, &docs[0])
        ->Repetitions(3)
        ->Iterations(30)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark(Name("binary", "memcpy", "reference").c_str(), Memcpy, &docs[1])
      ->Repetitions(3)
      ->MinTime(0.2)
      ->Unit(benchmark::kMicrosecond);

  CollectingReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                    : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  PrintRatios(reporter, docs);
  PrintGoals(reporter);
  return 0;
}
