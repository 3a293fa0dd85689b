// Words stemmed per second, per language: the generated stemmers against
// the system's C stemming library, on the same vocabulary in the same run.
//
// Usage: bench_stem VOCABULARY_DIR [code ...]
#include <libstemmer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/normalize.h"
#include "analysis/stemmers/stemmer_table.h"

namespace {

struct Row {
  const char* code;
  const char* file;      // vocabulary file
  const char* peer;      // algorithm name in the C library
};

const Row kRows[] = {
    {"ar", "arabic", "arabic"},       {"ca", "catalan", "catalan"},
    {"cs", "czech", "czech"},         {"da", "danish", "danish"},
    {"de", "german", "german"},       {"el", "greek", "greek"},
    {"eo", "esperanto", "esperanto"}, {"es", "spanish", "spanish"},
    {"et", "estonian", "estonian"},   {"eu", "basque", "basque"},
    {"fa", "persian", "persian"},     {"fi", "finnish", "finnish"},
    {"fr", "french", "french"},       {"ga", "irish", "irish"},
    {"hi", "hindi", "hindi"},         {"hu", "hungarian", "hungarian"},
    {"hy", "armenian", "armenian"},   {"id", "indonesian", "indonesian"},
    {"it", "italian", "italian"},     {"lt", "lithuanian", "lithuanian"},
    {"ne", "nepali", "nepali"},       {"nl", "dutch", "dutch"},
    {"no", "norwegian", "norwegian"}, {"pl", "polish", "polish"},
    {"pt", "portuguese", "portuguese"}, {"ro", "romanian", "romanian"},
    {"ru", "russian", "russian"},     {"sr", "serbian", "serbian"},
    {"sv", "swedish", "swedish"},     {"ta", "tamil", "tamil"},
    {"tr", "turkish", "turkish"},     {"yi", "yiddish", "yiddish"},
    {"en-snowball", "english", "english"}, {"en-porter", "porter", "porter"},
    {"en-lovins", "lovins", "lovins"}, {"nl-porter", "dutch_porter", "dutch_porter"},
};

std::vector<std::string> ReadWords(const std::string& path, bool turkish) {
  std::vector<std::string> words;
  const std::string command = "gzip -dc '" + path + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return words;
  std::string data;
  char buffer[1 << 16];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) data.append(buffer, n);
  pclose(pipe);
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\n', start);
    if (end == std::string::npos) end = data.size();
    std::string_view line(data.data() + start, end - start);
    start = end + 1;
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos) continue;
    const std::string_view word = line.substr(0, tab);
    words.push_back(turkish ? vrim::LowercaseTurkish(word) : vrim::LowercaseDefault(word));
  }
  return words;
}

// Runs `stem_all` (one pass over `words`) for at least 50 ms and returns
// words per second.
template <typename F>
double OneRound(size_t words, F&& stem_all) {
  using Clock = std::chrono::steady_clock;
  size_t done = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    stem_all();
    done += words;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < 0.05);
  return done / elapsed;
}

// Alternates rounds of the two contenders so that both see the same machine
// load, and keeps each one's best round.
template <typename A, typename B>
void Compare(size_t words, A&& ours, B&& theirs, double* ours_best, double* theirs_best) {
  *ours_best = 0;
  *theirs_best = 0;
  for (int round = 0; round < 7; ++round) {
    *ours_best = std::max(*ours_best, OneRound(words, ours));
    if (theirs) *theirs_best = std::max(*theirs_best, OneRound(words, *theirs));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s VOCABULARY_DIR [code ...]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  size_t count = 0;
  const vrim::SnowballRow* table = vrim::SnowballTable(&count);
  std::vector<double> ratios;
  std::printf("%-12s %8s %14s %14s %7s\n", "code", "words", "ours w/s", "peer w/s", "ratio");
  for (const Row& row : kRows) {
    if (argc > 2 && std::find_if(argv + 2, argv + argc, [&](const char* a) {
                      return std::strcmp(a, row.code) == 0;
                    }) == argv + argc) {
      continue;
    }
    const std::string path = dir + "/" + row.file + ".tsv.gz";
    if (!std::filesystem::exists(path)) continue;
    vrim::StemFunction stem = nullptr;
    for (size_t i = 0; i < count; ++i) {
      if (table[i].code == row.code) stem = table[i].stem;
    }
    const std::vector<std::string> words = ReadWords(path, std::strcmp(row.code, "tr") == 0);
    size_t sink = 0;
    auto ours_all = [&] {
      for (const std::string& w : words) sink += stem(w).size();
    };
    sb_stemmer* peer = sb_stemmer_new(row.peer, "UTF_8");
    std::function<void()> theirs_all;
    if (peer != nullptr) {
      theirs_all = [&] {
        for (const std::string& w : words) {
          sb_stemmer_stem(peer, reinterpret_cast<const sb_symbol*>(w.data()),
                          static_cast<int>(w.size()));
          sink += static_cast<size_t>(sb_stemmer_length(peer));
        }
      };
    }
    double ours = 0;
    double theirs = 0;
    Compare(words.size(), ours_all, peer ? &theirs_all : nullptr, &ours, &theirs);
    if (peer == nullptr) {
      std::printf("%-12s %8zu %14.0f %14s %7s\n", row.code, words.size(), ours, "-", "-");
      continue;
    }
    sb_stemmer_delete(peer);
    ratios.push_back(ours / theirs);
    std::printf("%-12s %8zu %14.0f %14.0f %6.2fx\n", row.code, words.size(), ours, theirs,
                ours / theirs);
    if (sink == 0) std::printf(" ");
  }
  if (!ratios.empty()) {
    std::sort(ratios.begin(), ratios.end());
    const size_t n = ratios.size();
    const double median = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
    std::printf("median ratio over %zu languages: %.2fx; minimum %.2fx\n", n, median, ratios[0]);
  }
  return 0;
}
