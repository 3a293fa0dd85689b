// Native build benchmark: stages the corpus written by
// `python3 bench/corpus.py --dump bench/data/english.bin` and times
// IndexBuilder::Build, reporting MB/s of text and the peak resident memory
// the build adds. Not part of the default build:
//
//   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/rel -j2
//   g++ -std=c++20 -O2 -Isrc bench/native_build.cc
//       build/rel/libvrim_core.a -o build/native_build
//   build/native_build bench/data/english.bin [--simple] [--no-analysis]
//       [--repeat N]
//
// --simple analyses with a minimal ASCII tokenizer instead of the "en"
// language, to see the builder's own cost apart from text analysis;
// without --no-analysis it first times tokenize and RunPipeline alone.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "index_builder.h"
#include "language.h"
#include "utf8.h"


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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS.bin [--simple] [--no-analysis] [--repeat N]\n",
                 argv[0]);
    return 2;
  }
  bool simple = false;
  bool analysis = true;
  int repeat = 1;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--simple") == 0) simple = true;
    if (std::strcmp(argv[i], "--no-analysis") == 0) analysis = false;
    if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
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
    vrim::IndexPtr index = builder.Build();
    const double cpu = CpuSeconds() - c0;
    const auto t1 = std::chrono::steady_clock::now();
    const long peak_kb = StatusKb("VmHWM:");
    const double seconds = std::chrono::duration<double>(t1 - t0).count();
    const auto& d = index->data();
    std::printf(
        "build %.2f s wall, %.2f s CPU, %.1f MB/s (CPU); peak RSS %.1f MB (+%.1f MB over %.1f MB "
        "before, %.2fx text); %zu terms, %zu postings, %.1f MB positions, "
        "%zu trie nodes\n",
        seconds, cpu, text_bytes / 1e6 / cpu, peak_kb / 1024.0,
        (peak_kb - before_kb) / 1024.0, before_kb / 1024.0,
        (peak_kb - before_kb) * 1024.0 / text_bytes, d.terms.size(),
        d.postings.size(), d.positions.size() / 1e6,
        index->token_set().node_count());
  }
  return 0;
}
