#include "languages/stop_words.h"

#include <algorithm>
#include <iterator>

namespace vrim {

namespace {

// Sorted in byte order for binary search.
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

}  // namespace

bool IsEnglishStopWord(std::string_view word) {
  if (word.empty() || word.size() > 7) return false;
  return std::binary_search(std::begin(kStopWords), std::end(kStopWords),
                            word);
}

const std::string_view* EnglishStopWords(size_t* count) {
  *count = std::size(kStopWords);
  return kStopWords;
}

}  // namespace vrim
