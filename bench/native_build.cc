// Native build benchmark: stages the corpus written by
// `python3 bench/corpus.py --dump bench/data/english.bin` and times
// IndexBuilder::Build, reporting MB/s of text and the peak resident memory
// the build adds. Not part of the default build:
//
//   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/rel -j2
//   g++ -std=c++20 -O2 -Isrc bench/native_build.cc
//       build/rel/libvrim_{format,search,build,index,analysis}.a
//       -o build/native_build
//   build/native_build bench/data/english.bin [--simple] [--no-analysis]
//       [--repeat N] [--threads N] [--layer QUERIES INDEX_BYTES]
//
// --threads N builds with N analysis threads (0: every available core).
//
// --simple analyses with a minimal ASCII tokenizer instead of the "en"
// language, to see the builder's own cost apart from text analysis;
// without --no-analysis it first times tokenize and RunPipeline alone.
//
// --layer is the native side of bench/bench_python_layer.py: after staging
// it times one Build, WriteIndex of the result, ReadIndex of the bytes in
// INDEX_BYTES, and ParseQuery + Search over the queries of QUERIES (one per
// line), once leaving the hits alone and once also decoding every match's
// positions. Each step prints one line `layer STEP key=value ...` and
// nothing else is printed.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analysis/language.h"
#include "analysis/utf8.h"
#include "build/index_builder.h"
#include "format/reader.h"
#include "format/writer.h"
#include "index/positions.h"
#include "search/query_parser.h"
#include "search/search.h"


namespace {

using vrim::Token;
using vrim::TokenList;

// Splits at non-alphanumeric ASCII, lower-cases, no stop words, no stemming.
class SimpleLanguage : public vrim::Language {
 public:
  Kind kind() const override { return Kind::kGeneric; }
  const std::string& code() const override { return code_; }
  TokenList tokenize(std::string_view text) const override {
    TokenList out;
    size_t i = 0;
    uint64_t cp = 0;
    auto word = [](unsigned char c) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
             (c >= '0' && c <= '9') || c >= 0x80;
    };
    while (i < text.size()) {
      if (!word(text[i])) {
        ++i;
        ++cp;
        continue;
      }
      size_t j = i;
      uint64_t len = 0;
      while (j < text.size() && word(text[j])) {
        if ((static_cast<unsigned char>(text[j]) & 0xC0) != 0x80) ++len;
        ++j;
      }
      std::string w(text.substr(i, j - i));
      for (char& c : w) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      }
      out.emplace_back(std::move(w), cp, len, out.size());
      cp += len;
      i = j;
    }
    return out;
  }
  bool trim(Token*) const override { return true; }
  bool is_stop_word(std::string_view) const override { return false; }
  std::string stem(std::string_view w) const override { return std::string(w); }
  const std::string& separators() const override { return separators_; }
  const std::vector<std::string>& pipeline() const override {
    return pipeline_;
  }
  bool is_bigram_char(char32_t) const override { return false; }

 private:
  std::string code_ = "simple";
  std::string separators_ = " ";
  std::vector<std::string> pipeline_ = {"trimmer"};
};

long StatusKb(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(key);
  while (std::getline(f, line)) {
    if (line.compare(0, n, key) == 0) return std::stol(line.substr(n + 1));
  }
  return -1;
}

// CPU time of the calling thread alone. With balanced shares the thread
// that calls Build() is on the critical path of a parallel build, so this
// estimates its wall time on an otherwise idle machine.
double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double CpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

bool ReadString(std::ifstream& in, std::string* out) {
  uint32_t len;
  if (!in.read(reinterpret_cast<char*>(&len), 4)) return false;
  out->resize(len);
  return static_cast<bool>(in.read(out->data(), len));
}

// CPU and wall seconds of one timed step.
struct Timing {
  double cpu = 0.0;
  double wall = 0.0;
};

template <typename Fn>
Timing Time(Fn&& fn) {
  const auto w0 = std::chrono::steady_clock::now();
  const double c0 = CpuSeconds();
  fn();
  Timing t;
  t.cpu = CpuSeconds() - c0;
  t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0)
               .count();
  return t;
}

void PrintTiming(const char* step, const Timing& t, const std::string& extra) {
  std::printf("layer %s cpu=%.6f wall=%.6f%s\n", step, t.cpu, t.wall,
              extra.c_str());
}

// Parses and runs every query; with `positions` also decodes the position
// list of every match of every hit, as reading Result.matches does.
// Returns the number of hits, or -1 after reporting a query that failed to
// parse.
int64_t RunQueries(const vrim::IndexPtr& index,
                   const std::vector<std::string>& queries, bool positions) {
  int64_t hits = 0;
  std::vector<vrim::Position> scratch;
  for (const std::string& text : queries) {
    vrim::Query query;
    vrim::ParseError error;
    if (!vrim::ParseQuery(text, index->data().fields, index->language(),
                          &query, &error)) {
      std::fprintf(stderr, "query %s: %s\n", text.c_str(),
                   error.message.c_str());
      return -1;
    }
    std::vector<vrim::Hit> found = vrim::Search(index, query);
    hits += static_cast<int64_t>(found.size());
    if (!positions) continue;
    for (const vrim::Hit& hit : found) {
      for (const vrim::MatchRef& match : hit.matches) {
        scratch.clear();
        index->AppendPositions(*match.posting, &scratch);
      }
    }
  }
  return hits;
}

// One round of the --layer steps on the staged `builder`.
int RunLayer(const vrim::IndexBuilder& builder, const char* queries_path,
             const char* bytes_path) {
  std::vector<std::string> queries;
  {
    std::ifstream in(queries_path);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty()) queries.push_back(line);
    }
  }
  std::string stored;
  {
    std::ifstream in(bytes_path, std::ios::binary);
    stored.assign(std::istreambuf_iterator<char>(in),
                  std::istreambuf_iterator<char>());
  }
  if (queries.empty() || stored.empty()) {
    std::fprintf(stderr, "--layer: no queries in %s or no bytes in %s\n",
                 queries_path, bytes_path);
    return 1;
  }

  vrim::IndexPtr built;
  const Timing build = Time([&] { built = builder.Build(); });
  PrintTiming("build", build,
              " terms=" + std::to_string(built->data().terms.size()));

  std::string written, overflow;
  bool wrote = false;
  const Timing write = Time(
      [&] { wrote = vrim::WriteIndex(*built, true, &written, &overflow); });
  if (!wrote) {
    std::fprintf(stderr, "WriteIndex overflow: %s\n", overflow.c_str());
    return 1;
  }
  PrintTiming("write", write,
              " bytes=" + std::to_string(written.size()) +
                  " same=" + (written == stored ? "1" : "0"));
  written.clear();
  written.shrink_to_fit();

  vrim::IndexPtr loaded;
  vrim::ReadError error;
  bool read = false;
  const Timing load = Time(
      [&] { read = vrim::ReadIndex(stored, std::nullopt, &loaded, &error); });
  if (!read) {
    std::fprintf(stderr, "ReadIndex: %s\n", error.message.c_str());
    return 1;
  }
  PrintTiming("read", load, " bytes=" + std::to_string(stored.size()));
  loaded.reset();

  for (bool positions : {false, true}) {
    int64_t hits = 0;
    const Timing t =
        Time([&] { hits = RunQueries(built, queries, positions); });
    if (hits < 0) return 1;
    PrintTiming(positions ? "search_positions" : "search", t,
                " queries=" + std::to_string(queries.size()) +
                    " hits=" + std::to_string(hits));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: %s CORPUS.bin [--simple] [--no-analysis] [--repeat N] [--threads N] "
                 "[--layer QUERIES INDEX_BYTES]\n",
                 argv[0]);
    return 2;
  }
  bool simple = false;
  bool analysis = true;
  int repeat = 1;
  vrim::BuildOptions build_options;
  const char* layer_queries = nullptr;
  const char* layer_bytes = nullptr;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--simple") == 0) simple = true;
    if (std::strcmp(argv[i], "--no-analysis") == 0) analysis = false;
    if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    }
    if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
      build_options.threads = std::strtoul(argv[++i], nullptr, 10);
    }
    if (std::strcmp(argv[i], "--layer") == 0 && i + 2 < argc) {
      layer_queries = argv[++i];
      layer_bytes = argv[++i];
    }
  }
  vrim::LanguagePtr language;
  if (simple) {
    language = std::make_shared<const SimpleLanguage>();
  } else {
    language = vrim::ResolveLanguage("en").language;
  }

  vrim::IndexBuilder builder(language, 1.2, 0.75);
  builder.DeclareField("title", 1.0);
  builder.DeclareField("body", 1.0);
  std::ifstream in(argv[1], std::ios::binary);
  uint64_t text_bytes = 0;
  size_t docs = 0;
  for (;;) {
    vrim::StagedDocument doc;
    std::string title, body;
    if (!ReadString(in, &doc.ref) || !ReadString(in, &title) ||
        !ReadString(in, &body)) {
      break;
    }
    text_bytes += title.size() + body.size();
    doc.fields.push_back({0, std::move(title)});
    doc.fields.push_back({1, std::move(body)});
    builder.Stage(std::move(doc));
    ++docs;
  }
  if (layer_queries != nullptr) {
    if (docs == 0) {
      std::fprintf(stderr, "no documents in %s\n", argv[1]);
      return 1;
    }
    return RunLayer(builder, layer_queries, layer_bytes);
  }
  std::printf("%zu documents, %.1f MB of text (%s)\n", docs, text_bytes / 1e6,
              language->code().c_str());

  // Text analysis alone, to tell the builder's own share of a build.
  if (analysis) {
    const double c0 = CpuSeconds();
    size_t tokens = 0;
    for (const vrim::StagedDocument& doc : builder.staged()) {
      for (const auto& field : doc.fields) {
        tokens += vrim::RunPipeline(*language, language->tokenize(field.second))
                      .size();
      }
    }
    const double cpu = CpuSeconds() - c0;
    std::printf("analysis alone %.2f s CPU, %.1f MB/s, %zu tokens\n", cpu,
                text_bytes / 1e6 / cpu, tokens);
  }

  for (int r = 0; r < repeat; ++r) {
    const long before_kb = StatusKb("VmRSS:");
    ResetPeak();
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = CpuSeconds();
    const double tc0 = ThreadCpuSeconds();
    vrim::IndexPtr index = builder.Build(build_options);
    const double caller_cpu = ThreadCpuSeconds() - tc0;
    const double cpu = CpuSeconds() - c0;
    const auto t1 = std::chrono::steady_clock::now();
    const long peak_kb = StatusKb("VmHWM:");
    const double seconds = std::chrono::duration<double>(t1 - t0).count();
    const auto& d = index->data();
    std::printf(
        "build %.2f s wall, %.2f s CPU (%.2f s calling thread), %.1f MB/s "
        "(CPU); peak RSS %.1f MB (+%.1f MB over %.1f MB "
        "before, %.2fx text); %zu terms, %zu postings, %.1f MB positions, "
        "%zu trie nodes\n",
        seconds, cpu, caller_cpu, text_bytes / 1e6 / cpu, peak_kb / 1024.0,
        (peak_kb - before_kb) / 1024.0, before_kb / 1024.0,
        (peak_kb - before_kb) * 1024.0 / text_bytes, d.terms.size(),
        d.postings.size(), d.positions.size() / 1e6,
        index->token_set().node_count());
  }
  return 0;
}
