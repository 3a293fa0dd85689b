// The Snowball table of the language registry: one row per Snowball code,
// pairing it with its stemming routine, in the registry's order.
#ifndef VRIM_STEMMERS_STEMMER_TABLE_H_
#define VRIM_STEMMERS_STEMMER_TABLE_H_

#include <string>
#include <string_view>

namespace vrim {

// Stems one word. The caller has already lowercased it (Turkish rules for
// "tr", full Unicode rules with final sigma otherwise).
// REQUIRES: `word` is valid UTF-8.
using StemFunction = std::string (*)(std::string_view word);

struct SnowballRow {
  std::string_view code;
  StemFunction stem;
};

// The rows in registry order. `*count` receives the number of rows.
const SnowballRow* SnowballTable(size_t* count);

}  // namespace vrim

#endif  // VRIM_STEMMERS_STEMMER_TABLE_H_
