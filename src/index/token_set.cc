// The trie is stored in three flat arrays indexed by node id:
//
//   child_begin_  node count + 1 entries; the children of node n are the
//                 nodes child_begin_[n] .. child_begin_[n + 1] - 1
//   in_char_      the character on the edge from the parent (root: 0);
//                 ascending among siblings, so a child is found by binary
//                 search
//   term_id_      the id of the term ending at the node, or kNoTerm
//
// Node ids are assigned level by level (breadth first). Because the terms
// arrive sorted by bytes, which for UTF-8 is code point order, the nodes of
// one level come out grouped by parent in parent order and, within a
// parent, in character order; that is what makes each child range
// contiguous.
#include "index/token_set.h"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "analysis/utf8.h"

namespace vrim {

namespace {

// Marks the wildcard in a parsed pattern; never a Unicode scalar value.
constexpr char32_t kWildcard = 0xFFFFFFFF;

// Two characters as one key, ordered like the pair.
uint64_t CharPair(char32_t first, char32_t second) {
  return (uint64_t{first} << 32) | second;
}

// Open-addressing set of 64-bit keys, used for the visited (node, pattern
// position) pairs of a wildcard search.
class VisitedSet {
 public:
  VisitedSet() : slots_(64, 0), mask_(63) {}

  // Returns true when `key` was not in the set yet.
  bool Insert(uint64_t key) {
    if ((size_ + 1) * 2 > slots_.size()) Grow();
    return InsertSlot(&slots_, mask_, key + 1) && (++size_, true);
  }

 private:
  static uint64_t Mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return x;
  }
  // Stored values are key + 1 so that 0 marks an empty slot.
  static bool InsertSlot(std::vector<uint64_t>* slots, uint64_t mask,
                         uint64_t stored) {
    for (uint64_t i = Mix(stored) & mask;; i = (i + 1) & mask) {
      uint64_t& s = (*slots)[i];
      if (s == stored) return false;
      if (s == 0) {
        s = stored;
        return true;
      }
    }
  }
  void Grow() {
    std::vector<uint64_t> bigger(slots_.size() * 2, 0);
    uint64_t mask = bigger.size() - 1;
    for (uint64_t s : slots_) {
      if (s != 0) InsertSlot(&bigger, mask, s);
    }
    slots_.swap(bigger);
    mask_ = mask;
  }

  std::vector<uint64_t> slots_;
  uint64_t mask_;
  size_t size_ = 0;
};

// Turns a wildcard term text into pattern items: literal characters and
// kWildcard. A run of k backslashes before `*` yields k/2 backslashes and
// then an escaped `*` (k odd) or a wildcard (k even); a run not before `*`
// yields ceil(k/2) backslashes. Consecutive wildcards collapse.
std::vector<char32_t> ParseWildcardPattern(std::string_view text) {
  std::vector<char32_t> cps;
  DecodeUtf8(text, &cps);
  std::vector<char32_t> items;
  items.reserve(cps.size());
  size_t i = 0;
  while (i < cps.size()) {
    char32_t c = cps[i];
    if (c == U'*') {
      if (items.empty() || items.back() != kWildcard) items.push_back(kWildcard);
      ++i;
    } else if (c == U'\\') {
      size_t k = 0;
      while (i < cps.size() && cps[i] == U'\\') {
        ++k;
        ++i;
      }
      if (i < cps.size() && cps[i] == U'*') {
        items.insert(items.end(), k / 2, U'\\');
        items.push_back(k % 2 == 1 ? U'*' : kWildcard);
        ++i;
      } else {
        items.insert(items.end(), (k + 1) / 2, U'\\');
      }
    } else {
      items.push_back(c);
      ++i;
    }
  }
  return items;
}

}  // namespace

TokenSet::TokenSet() : child_begin_{1, 1}, in_char_{0}, term_id_{kNoTerm} {}

TokenSet TokenSet::Build(const StringTable& terms) {
  TokenSet set;
  // Size the arrays exactly first: each term adds one node per character
  // after the prefix it shares with the term before it.
  size_t nodes = 1;
  for (size_t i = 0; i < terms.size(); ++i) {
    std::string_view term = terms[i];
    size_t shared = 0;
    if (i > 0) {
      std::string_view prev = terms[i - 1];
      const size_t limit = std::min(prev.size(), term.size());
      while (shared < limit && prev[shared] == term[shared]) ++shared;
      while (!IsCharBoundary(term, shared)) --shared;
    }
    nodes += CountCodePoints(term.substr(shared));
  }
  set.in_char_.reserve(nodes);
  set.term_id_.reserve(nodes);
  // child_begin_ first collects the number of children per node.
  std::vector<uint32_t>& counts = set.child_begin_;
  counts.reserve(nodes + 1);
  counts.assign(1, 0);

  // The terms still longer than the current depth, in sorted order, with
  // the node each has reached and the byte offset of its next character.
  std::vector<uint32_t> active;
  std::vector<uint32_t> at_node;
  std::vector<uint32_t> offset;
  active.reserve(terms.size());
  for (uint32_t id = 0; id < terms.size(); ++id) {
    if (terms[id].empty()) {
      set.term_id_[0] = id;
    } else {
      active.push_back(id);
    }
  }
  at_node.assign(active.size(), 0);
  offset.assign(active.size(), 0);

  while (!active.empty()) {
    uint32_t prev_parent = kNoTerm;
    char32_t prev_char = 0;
    uint32_t prev_node = 0;
    size_t kept = 0;
    for (size_t k = 0; k < active.size(); ++k) {
      const std::string_view term = terms[active[k]];
      const char* p = term.data() + offset[k];
      char32_t ch = NextCodePoint(&p);
      uint32_t parent = at_node[k];
      uint32_t node = prev_node;
      if (parent != prev_parent || ch != prev_char) {
        node = static_cast<uint32_t>(set.in_char_.size());
        set.in_char_.push_back(ch);
        set.term_id_.push_back(kNoTerm);
        counts.push_back(0);
        ++counts[parent];
        prev_parent = parent;
        prev_char = ch;
        prev_node = node;
      }
      uint32_t next = static_cast<uint32_t>(p - term.data());
      if (next == term.size()) {
        set.term_id_[node] = active[k];
      } else {
        active[kept] = active[k];
        at_node[kept] = node;
        offset[kept] = next;
        ++kept;
      }
    }
    active.resize(kept);
    at_node.resize(kept);
    offset.resize(kept);
  }

  // Counts to range starts: the children of node n follow the children of
  // every node before it, starting after the root.
  uint32_t begin = 1;
  for (uint32_t& c : counts) {
    uint32_t n = c;
    c = begin;
    begin += n;
  }
  counts.push_back(begin);

  // The nodes two characters deep, by character, then by id; those three
  // deep, by their last two characters, then by id.
  const uint32_t second = set.child_begin_[set.child_begin_[0]];
  const uint32_t second_end = set.child_begin_[set.child_begin_[1]];
  set.second_level_.resize(second_end - second);
  for (uint32_t n = second; n < second_end; ++n) {
    set.second_level_[n - second] = n;
  }
  std::stable_sort(set.second_level_.begin(), set.second_level_.end(),
                   [&](uint32_t x, uint32_t y) {
                     return set.in_char_[x] < set.in_char_[y];
                   });
  std::vector<std::pair<uint64_t, uint32_t>> third;
  third.reserve(set.child_begin_[second_end] - set.child_begin_[second]);
  for (uint32_t p = second; p < second_end; ++p) {
    for (uint32_t n = set.child_begin_[p]; n < set.child_begin_[p + 1]; ++n) {
      third.emplace_back(CharPair(set.in_char_[p], set.in_char_[n]), n);
    }
  }
  std::sort(third.begin(), third.end());
  set.third_keys_.reserve(third.size());
  set.third_level_.reserve(third.size());
  for (const auto& [key, node] : third) {
    set.third_keys_.push_back(key);
    set.third_level_.push_back(node);
  }
  return set;
}

std::span<const uint32_t> TokenSet::ThirdLevel(char32_t second,
                                               char32_t third) const {
  const auto [first, last] = std::equal_range(
      third_keys_.begin(), third_keys_.end(), CharPair(second, third));
  return {third_level_.begin() + (first - third_keys_.begin()),
          third_level_.begin() + (last - third_keys_.begin())};
}

std::span<const uint32_t> TokenSet::SecondLevel(char32_t ch) const {
  const auto [first, last] = std::equal_range(
      second_level_.begin(), second_level_.end(), ch,
      [&](auto x, auto y) {
        if constexpr (std::is_same_v<decltype(x), char32_t>) {
          return x < in_char_[y];
        } else {
          return in_char_[x] < y;
        }
      });
  return {first, last};
}

size_t TokenSet::node_count() const { return in_char_.size(); }

bool TokenSet::is_final(uint32_t node) const {
  return term_id_[node] != kNoTerm;
}

int64_t TokenSet::child(uint32_t node, char32_t ch) const {
  const char32_t* first = in_char_.data() + child_begin_[node];
  const char32_t* last = in_char_.data() + child_begin_[node + 1];
  return Among(first, last, ch);
}

int64_t TokenSet::Among(const char32_t* first, const char32_t* last,
                        char32_t ch) const {
  // Most nodes have a few children, which a scan of one cache line finds
  // with fewer mispredicted branches than a bisection.
  if (last - first <= 16) {
    for (const char32_t* it = first; it != last && *it <= ch; ++it) {
      if (*it == ch) return it - in_char_.data();
    }
    return -1;
  }
  const char32_t* it = std::lower_bound(first, last, ch);
  if (it == last || *it != ch) return -1;
  return it - in_char_.data();
}

int64_t TokenSet::Find(std::string_view term) const {
  uint32_t node = 0;
  const char* p = term.data();
  const char* end = p + term.size();
  while (p < end) {
    int64_t next = child(node, NextCodePoint(&p));
    if (next < 0) return -1;
    node = static_cast<uint32_t>(next);
  }
  if (term_id_[node] == kNoTerm) return -1;
  return term_id_[node];
}

TokenSet::TermRange TokenSet::SubtreeTerms(uint32_t node) const {
  // A prefix sorts before its extensions and siblings come in character
  // (so byte) order: the first final node down the first children holds
  // the smallest term, the leaf down the last children the largest, and
  // every term between them in byte order shares the node's prefix.
  uint32_t low = node;
  while (term_id_[low] == kNoTerm) {
    if (child_begin_[low] == child_begin_[low + 1]) return {1, 0};
    low = child_begin_[low];
  }
  uint32_t high = node;
  while (child_begin_[high] != child_begin_[high + 1]) {
    high = child_begin_[high + 1] - 1;
  }
  return {term_id_[low], term_id_[high]};
}

void TokenSet::ExpandWildcard(std::string_view pattern_text,
                              std::vector<uint32_t>* out) const {
  const std::vector<char32_t> pattern = ParseWildcardPattern(pattern_text);
  const uint32_t end = static_cast<uint32_t>(pattern.size());
  // With one wildcard every (node, position) state has one path to it, so
  // none repeats; with more, states and subtrees can be reached twice.
  const bool repeats =
      std::count(pattern.begin(), pattern.end(), kWildcard) > 1;
  struct State {
    uint32_t node;
    uint32_t pos;
  };
  std::vector<State> stack{{0, 0}};
  std::vector<TermRange> ranges;
  VisitedSet visited;
  while (!stack.empty()) {
    State s = stack.back();
    stack.pop_back();
    if (repeats && !visited.Insert(uint64_t{s.node} * (end + 1) + s.pos)) {
      continue;
    }
    if (s.pos == end) {
      if (term_id_[s.node] != kNoTerm) {
        ranges.push_back({term_id_[s.node], term_id_[s.node]});
      }
      continue;
    }
    if (pattern[s.pos] == kWildcard) {
      if (s.pos + 1 == end) {
        // A trailing wildcard takes every term below the node, a range
        // of term ids, without walking the subtree.
        const TermRange range = SubtreeTerms(s.node);
        if (range.first <= range.last) ranges.push_back(range);
        continue;
      }
      stack.push_back({s.node, s.pos + 1});
      for (uint32_t c = child_begin_[s.node]; c < child_begin_[s.node + 1];
           ++c) {
        stack.push_back({c, s.pos});
      }
    } else {
      int64_t c = child(s.node, pattern[s.pos]);
      if (c >= 0) stack.push_back({static_cast<uint32_t>(c), s.pos + 1});
    }
  }
  AppendRanges(repeats, &ranges, out);
}

void TokenSet::AppendRanges(bool overlapping, std::vector<TermRange>* ranges,
                            std::vector<uint32_t>* out) {
  if (overlapping) {
    // Subtree ranges nest or are disjoint; sorted by their first term, a
    // range inside the last one kept adds nothing.
    std::sort(ranges->begin(), ranges->end(),
              [](const TermRange& x, const TermRange& y) {
                return x.first != y.first ? x.first < y.first
                                          : x.last > y.last;
              });
  }
  bool any = false;
  uint32_t covered = 0;  // last term appended, when `any`
  for (const TermRange& r : *ranges) {
    if (overlapping && any && r.last <= covered) continue;
    for (uint64_t id = r.first; id <= r.last; ++id) {
      out->push_back(static_cast<uint32_t>(id));
    }
    any = true;
    covered = r.last;
  }
}

void TokenSet::ExpandFuzzy(std::string_view term_text, uint64_t max_distance,
                           std::vector<uint32_t>* out) const {
  std::vector<char32_t> t;
  DecodeUtf8(term_text, &t);
  const size_t m = t.size();
  const uint64_t cap = m == 0 ? 0 : m - 1;
  const uint32_t max = static_cast<uint32_t>(std::min(max_distance, cap));
  if (max == 0) {
    int64_t id = Find(term_text);
    if (id >= 0) out->push_back(static_cast<uint32_t>(id));
    return;
  }
  if (max == 1) {
    ExpandOneEdit(t, out);
    return;
  }

  // Depth-first over the trie with one distance row per depth: when a node
  // at depth d is popped, rows[d - 1] still holds its parent's row, because
  // everything popped since the parent was expanded lies deeper. Every row
  // value at a depth beyond m + max exceeds max, so that bounds the depth.
  //
  // Only the band |d - j| <= max of a row is computed: a cell outside it
  // exceeds max, and every cell within max is reached from cells within
  // max. Cells outside the band hold `over` (max + 1) from the start, and
  // values are capped there, so a row's cells read as "exact, or over".
  const uint32_t over = max + 1;
  const size_t width = m + 1;
  const size_t max_depth = m + max + 1;
  std::vector<uint32_t> rows((max_depth + 1) * width, over);
  std::vector<char32_t> chars(max_depth + 1, 0);
  for (size_t j = 0; j <= std::min<size_t>(m, max); ++j) {
    rows[j] = static_cast<uint32_t>(j);
  }

  struct Frame {
    uint32_t node;
    uint32_t depth;
  };
  std::vector<Frame> stack;
  std::vector<char32_t> candidates;
  auto expand = [&](uint32_t node, uint32_t depth) {
    for (uint32_t c = child_begin_[node]; c < child_begin_[node + 1]; ++c) {
      stack.push_back({c, depth + 1});
    }
  };
  if (term_id_[0] != kNoTerm && m <= max) out->push_back(term_id_[0]);
  expand(0, 0);

  while (!stack.empty()) {
    Frame f = stack.back();
    stack.pop_back();
    const uint32_t d = f.depth;
    const char32_t ch = in_char_[f.node];
    chars[d] = ch;
    const uint32_t* prev = &rows[(d - 1) * width];
    uint32_t* row = &rows[d * width];
    uint32_t row_min = over;
    if (d <= max) row_min = row[0] = std::min(prev[0] + 1, over);
    // A transposition needs the parent to be a real character (d >= 2).
    const uint32_t* grand = d >= 2 ? &rows[(d - 2) * width] : nullptr;
    const char32_t parent_char = d >= 2 ? chars[d - 1] : 0;
    const size_t first = d > max ? d - max : 1;
    const size_t last = std::min<size_t>(m, d + max);
    for (size_t j = first; j <= last; ++j) {
      uint32_t v = std::min(prev[j] + 1, row[j - 1] + 1);
      v = std::min(v, prev[j - 1] + (t[j - 1] == ch ? 0u : 1u));
      if (grand != nullptr && j >= 2 && parent_char == t[j - 1] &&
          ch == t[j - 2]) {
        v = std::min(v, grand[j - 2] + 1);
      }
      row[j] = std::min(v, over);
      row_min = std::min(row_min, row[j]);
    }
    if (term_id_[f.node] != kNoTerm && row[m] <= max) {
      out->push_back(term_id_[f.node]);
    }
    if (row_min > max || d >= max_depth) continue;
    if (row_min < max) {
      expand(f.node, d);
      continue;
    }
    // With every cell at the limit, a child stays within it only through
    // a match on the diagonal or a transposition, so only children along
    // the characters of the term near this depth are worth visiting.
    candidates.clear();
    const size_t child_first = d + 1 > max ? d + 1 - max : 1;
    const size_t child_last = std::min<size_t>(m, d + 1 + max);
    for (size_t j = child_first; j <= child_last; ++j) {
      if (row[j - 1] <= max) candidates.push_back(t[j - 1]);
      if (j >= 2 && ch == t[j - 1] && prev[j - 2] + 1 <= max) {
        candidates.push_back(t[j - 2]);
      }
    }
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()),
                     candidates.end());
    for (char32_t c : candidates) {
      const int64_t next = child(f.node, c);
      if (next >= 0) stack.push_back({static_cast<uint32_t>(next), d + 1});
    }
  }
}

int64_t TokenSet::Walk(uint32_t node, const char32_t* first,
                       const char32_t* last) const {
  int64_t at = node;
  for (const char32_t* c = first; c != last && at >= 0; ++c) {
    at = child(static_cast<uint32_t>(at), *c);
  }
  return at;
}

void TokenSet::ExpandOneEdit(const std::vector<char32_t>& t,
                             std::vector<uint32_t>* out) const {
  const size_t first_out = out->size();
  auto emit = [&](int64_t node) {
    if (node >= 0 && term_id_[node] != kNoTerm) {
      out->push_back(term_id_[node]);
    }
  };
  const char32_t* s = t.data();
  const size_t m = t.size();
  // One edit at position i keeps t[0..i) and changes what follows it, so
  // every candidate starts at the node of that prefix.
  uint32_t prefix = 0;
  for (size_t i = 0;; ++i) {
    const uint32_t children = child_begin_[prefix];
    const uint32_t children_end = child_begin_[prefix + 1];
    if (i + 1 >= m) {
      // Any child appended (i == m) or replacing the last character.
      for (uint32_t c = children; c < children_end; ++c) emit(c);
    }
    // An insertion before t[i] or a replacement of t[i] puts a child c of
    // the prefix first and t[i] or t[i + 1] next: a grandchild along that
    // character. Grandchildren are one contiguous run of node ids, which
    // one pass scans for both characters far more cheaply than a search
    // among each child's children. The root's grandchildren (every node
    // two characters deep) are many, and many have the character: there
    // the next character is looked up too, as m >= 2 allows. An insertion
    // makes t[0] t[1] the second and third characters, a replacement t[1]
    // and t[2], or only t[1].
    if (prefix == 0) {
      for (uint32_t g : ThirdLevel(s[0], s[1])) emit(Walk(g, s + 2, s + m));
      if (m == 2) {
        for (uint32_t g : SecondLevel(s[1])) emit(g);
      } else {
        for (uint32_t g : ThirdLevel(s[1], s[2])) emit(Walk(g, s + 3, s + m));
      }
    } else {
      const char32_t inserted = i < m ? s[i] : kWildcard;
      const char32_t replaced = i + 1 < m ? s[i + 1] : kWildcard;
      const uint32_t grand_end = child_begin_[children_end];
      for (uint32_t g = child_begin_[children]; g < grand_end; ++g) {
        const char32_t ch = in_char_[g];
        if (ch == inserted) emit(Walk(g, s + i + 1, s + m));
        if (ch == replaced) emit(Walk(g, s + i + 2, s + m));
      }
    }
    if (i == m) {
      emit(prefix);  // no edit
      break;
    }
    emit(Walk(prefix, s + i + 1, s + m));  // t[i] deleted
    if (i + 1 < m && s[i] != s[i + 1]) {
      const char32_t swapped[2] = {s[i + 1], s[i]};
      const int64_t at = Walk(prefix, swapped, swapped + 2);
      if (at >= 0) emit(Walk(static_cast<uint32_t>(at), s + i + 2, s + m));
    }
    const int64_t next = child(prefix, s[i]);
    if (next < 0) break;
    prefix = static_cast<uint32_t>(next);
  }
  // A term can be one edit away in several ways.
  std::sort(out->begin() + static_cast<ptrdiff_t>(first_out), out->end());
  out->erase(std::unique(out->begin() + static_cast<ptrdiff_t>(first_out),
                         out->end()),
             out->end());
}

}  // namespace vrim
