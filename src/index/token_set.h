// The token set: a character trie over every term of an index, answering
// exact lookups, wildcard patterns and bounded edit-distance expansions.
//
// Node 0 is the root (the empty prefix) and exists even with no terms;
// every other node has exactly one incoming edge, so the node count is one
// plus the number of distinct non-empty prefixes of the terms. A final node
// records the id of the term that ends there, so expansions yield term ids.
#ifndef VRIM_TOKEN_SET_H_
#define VRIM_TOKEN_SET_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "index/string_table.h"

namespace vrim {

class TokenSet {
 public:
  TokenSet();

  // REQUIRES: `terms` are distinct, valid UTF-8 and sorted by bytes; term
  // id i is terms[i].
  static TokenSet Build(const StringTable& terms);

  size_t node_count() const;
  bool is_final(uint32_t node) const;
  // Child of `node` along `ch`, or -1.
  int64_t child(uint32_t node, char32_t ch) const;

  // Term id of `term` when it is in the set, else -1.
  int64_t Find(std::string_view term) const;

  // Appends the ids of the terms matching the wildcard pattern `pattern`
  // (a term text with unescaped `*` and its escape pairs still in it),
  // each once, in unspecified order.
  void ExpandWildcard(std::string_view pattern,
                      std::vector<uint32_t>* out) const;

  // Appends the ids of the terms within optimal-string-alignment distance
  // `max_distance` of `term` (capped at its length minus one), each once.
  void ExpandFuzzy(std::string_view term, uint64_t max_distance,
                   std::vector<uint32_t>* out) const;

 private:
  static constexpr uint32_t kNoTerm = UINT32_MAX;

  // Term ids first..last, both included; empty when first > last.
  struct TermRange {
    uint32_t first;
    uint32_t last;
  };
  // The ids of the terms at or below `node`: a range, since they share
  // its prefix and ids follow byte order.
  TermRange SubtreeTerms(uint32_t node) const;
  // The node among the sibling nodes whose characters are [first, last)
  // (a run of in_char_) whose character is `ch`, or -1.
  int64_t Among(const char32_t* first, const char32_t* last,
                char32_t ch) const;
  // The node reached from `node` along the characters [first, last), or
  // -1 where the path leaves the trie.
  int64_t Walk(uint32_t node, const char32_t* first,
               const char32_t* last) const;
  // ExpandFuzzy at distance 1: the prefix before each edit walked once,
  // each single edit tried from its node.
  // REQUIRES: t.size() >= 2.
  void ExpandOneEdit(const std::vector<char32_t>& t,
                     std::vector<uint32_t>* out) const;
  // The nodes two characters deep whose second character is `ch`,
  // ascending.
  std::span<const uint32_t> SecondLevel(char32_t ch) const;
  // The nodes three characters deep whose second and third characters are
  // `second` and `third`, ascending.
  std::span<const uint32_t> ThirdLevel(char32_t second, char32_t third) const;
  // Appends the ids of `ranges`, each once; `overlapping` when ranges may
  // repeat or nest (they are then sorted first).
  static void AppendRanges(bool overlapping, std::vector<TermRange>* ranges,
                           std::vector<uint32_t>* out);

  // Nodes are numbered level by level, siblings in ascending character
  // order, so the children of a node are a contiguous run of node ids and
  // each edge is stored once, on the node it leads to.
  std::vector<uint32_t> child_begin_;  // node count + 1: children of n are
                                       // [child_begin_[n], child_begin_[n+1])
  std::vector<char32_t> in_char_;      // character on the edge into a node
  std::vector<uint32_t> term_id_;      // per node, kNoTerm when not final
  std::vector<uint32_t> second_level_;  // nodes two characters deep, by
                                        // character, then by id
  std::vector<uint64_t> third_keys_;   // the last two characters of the
  std::vector<uint32_t> third_level_;  // nodes three characters deep, in
                                       // that order, then by id
};

}  // namespace vrim

#endif  // VRIM_TOKEN_SET_H_
