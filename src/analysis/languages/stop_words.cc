#include "analysis/languages/stop_words.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>

namespace vrim {

namespace {

// Sorted in byte order, as EnglishStopWords() promises.
constexpr std::string_view kStopWords[] = {
    "a",       "able",   "about",   "across", "after",  "all",    "almost",
    "also",    "am",     "among",   "an",     "and",    "any",    "are",
    "as",      "at",     "be",      "because", "been",  "but",    "by",
    "can",     "cannot", "could",   "dear",   "did",    "do",     "does",
    "either",  "else",   "ever",    "every",  "for",    "from",   "get",
    "got",     "had",    "has",     "have",   "he",     "her",    "hers",
    "him",     "his",    "how",     "however", "i",     "if",     "in",
    "into",    "is",     "it",      "its",    "just",   "least",  "let",
    "like",    "likely", "may",     "me",     "might",  "most",   "must",
    "my",      "neither", "no",     "nor",    "not",    "of",     "off",
    "often",   "on",     "only",    "or",     "other",  "our",    "own",
    "rather",  "said",   "say",     "says",   "she",    "should", "since",
    "so",      "some",   "than",    "that",   "the",    "their",  "them",
    "then",    "there",  "these",   "they",   "this",   "tis",    "to",
    "too",     "twas",   "us",      "wants",  "was",    "we",     "were",
    "what",    "when",   "where",   "which",  "while",  "who",    "whom",
    "why",     "will",   "with",    "would",  "yet",    "you",    "your",
};

static_assert(std::size(kStopWords) == 119);

constexpr size_t kMaxLength = 7;

// A word of at most seven bytes packed with its length into one integer,
// so that lookups compare integers rather than strings.
constexpr uint64_t Key(std::string_view word) {
  uint64_t key = 0;
  for (size_t i = 0; i < kMaxLength; ++i) {
    key = (key << 8) | (i < word.size() ? static_cast<uint8_t>(word[i]) : 0);
  }
  return (key << 8) | word.size();
}

constexpr auto kKeys = [] {
  std::array<uint64_t, std::size(kStopWords)> keys{};
  for (size_t i = 0; i < keys.size(); ++i) keys[i] = Key(kStopWords[i]);
  std::sort(keys.begin(), keys.end());
  return keys;
}();

constexpr bool LongestFits() {
  for (std::string_view w : kStopWords) {
    if (w.size() > kMaxLength) return false;
  }
  return true;
}
static_assert(LongestFits());

}  // namespace

bool IsEnglishStopWord(std::string_view word) {
  if (word.empty() || word.size() > kMaxLength) return false;
  return std::binary_search(kKeys.begin(), kKeys.end(), Key(word));
}

const std::string_view* EnglishStopWords(size_t* count) {
  *count = std::size(kStopWords);
  return kStopWords;
}

}  // namespace vrim
