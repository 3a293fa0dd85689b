#include "search/phrase_query.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <utility>

#include "search/score_bounds.h"
#include "search/word_positions.h"

namespace vrim {

namespace {

double Idf(uint64_t n, uint64_t N) {
  if (n > N) n = N;
  return std::log(1.0 + (static_cast<double>(N - n) + 0.5) /
                            (static_cast<double>(n) + 0.5));
}

// The postings of `term` in `field`, sorted by document.
PostingRange FieldRange(const Index& index, uint32_t term, uint32_t field) {
  const Posting* begin = std::partition_point(
      index.postings_begin(term), index.postings_end(term),
      [&](const Posting& p) { return index.field(p) < field; });
  const Posting* end = std::partition_point(
      begin, index.postings_end(term),
      [&](const Posting& p) { return index.field(p) == field; });
  return PostingRange{begin, end, &index.data().postings};
}

// Moves `range.begin` to the first posting of a document >= `doc`.
void Seek(PostingRange* range, uint32_t doc) {
  if (range->begin == range->end || range->begin->doc >= doc) return;
  size_t step = 1;
  const Posting* low = range->begin;
  while (low + step < range->end && (low + step)->doc < doc) {
    low += step;
    step *= 2;
  }
  range->begin =
      std::partition_point(low, std::min(low + step, range->end),
                           [doc](const Posting& p) { return p.doc < doc; });
}

// The phrase's words in one field: each spelling's postings walked in
// document order, and the word positions of one document gathered.
class FieldWords {
 public:
  FieldWords(const Index& index, const PhraseQuery& query, uint32_t field)
      : index_(index),
        words_(WordPositions::Of(index)),
        positions_(query.words.size()),
        merged_(query.words.size()) {
    for (const std::vector<uint32_t>& spellings : query.words) {
      word_begin_.push_back(static_cast<uint32_t>(ranges_.size()));
      for (uint32_t term : spellings) {
        ranges_.push_back(FieldRange(index, term, field));
      }
    }
    word_begin_.push_back(static_cast<uint32_t>(ranges_.size()));
    // Presence is checked rarest word first, to reject a document soonest.
    for (uint32_t w = 0; w < query.words.size(); ++w) by_size_.push_back(w);
    std::stable_sort(by_size_.begin(), by_size_.end(),
                     [&](uint32_t x, uint32_t y) { return Size(x) < Size(y); });
  }

  // The postings of word `w` in the field.
  uint64_t Size(size_t w) const {
    uint64_t size = 0;
    for (uint32_t r = word_begin_[w]; r < word_begin_[w + 1]; ++r) {
      size += static_cast<uint64_t>(ranges_[r].end - ranges_[r].begin);
    }
    return size;
  }

  // The documents of the word with the fewest postings, ascending.
  std::vector<uint32_t> DriverDocuments() const {
    const uint32_t best = by_size_[0];
    std::vector<uint32_t> docs;
    docs.reserve(Size(best));
    for (uint32_t r = word_begin_[best]; r < word_begin_[best + 1]; ++r) {
      for (const Posting* p = ranges_[r].begin; p != ranges_[r].end; ++p) {
        docs.push_back(p->doc);
      }
    }
    if (word_begin_[best + 1] - word_begin_[best] > 1) {
      std::sort(docs.begin(), docs.end());
      docs.erase(std::unique(docs.begin(), docs.end()), docs.end());
    }
    return docs;
  }

  // Gathers every word's positions in `doc`; false when a word is absent.
  // Calls for one object come with ascending documents.
  bool Gather(uint32_t doc) {
    for (uint32_t w : by_size_) {
      bool present = false;
      for (uint32_t r = word_begin_[w]; r < word_begin_[w + 1]; ++r) {
        Seek(&ranges_[r], doc);
        if (At(r, doc) != nullptr) present = true;
      }
      if (!present) return false;
    }
    for (size_t w = 0; w + 1 < word_begin_.size(); ++w) {
      if (word_begin_[w + 1] - word_begin_[w] == 1) {
        // One spelling: its own list, read in place.
        const Posting* p = At(word_begin_[w], doc);
        const uint32_t* words = WordsOf(p);
        positions_[w] = WordList{words, words + index_.position_count(*p)};
        continue;
      }
      std::vector<uint32_t>& out = merged_[w];
      out.clear();
      for (uint32_t r = word_begin_[w]; r < word_begin_[w + 1]; ++r) {
        const Posting* p = At(r, doc);
        if (p == nullptr) continue;
        const uint32_t* words = WordsOf(p);
        out.insert(out.end(), words, words + index_.position_count(*p));
      }
      std::sort(out.begin(), out.end());
      positions_[w] = WordList{out.data(), out.data() + out.size()};
    }
    return true;
  }

  const std::vector<WordList>& positions() const {
    return positions_;
  }

  // The posting of spelling `s` of word `w` in the gathered document, or
  // null.
  const Posting* Spelling(size_t w, size_t s, uint32_t doc) const {
    return At(word_begin_[w] + static_cast<uint32_t>(s), doc);
  }

  const uint32_t* WordsOf(const Posting* p) const {
    return words_.Of(static_cast<uint64_t>(p - index_.data().postings.data()));
  }

 private:
  const Posting* At(uint32_t r, uint32_t doc) const {
    const PostingRange& range = ranges_[r];
    return range.begin != range.end && range.begin->doc == doc ? range.begin
                                                               : nullptr;
  }

  const Index& index_;
  const WordPositions& words_;
  std::vector<PostingRange> ranges_;   // per (word, spelling)
  std::vector<uint32_t> word_begin_;   // words + 1 into ranges_
  std::vector<uint32_t> by_size_;      // words, fewest postings first
  std::vector<WordList> positions_;  // per word, one document
  std::vector<std::vector<uint32_t>> merged_;  // of words with spellings
};

float RoundUpToFloat(double unit) {
  float rounded = static_cast<float>(unit);
  if (rounded < unit) {  // finite and not negative: the next float up
    rounded = std::bit_cast<float>(std::bit_cast<uint32_t>(rounded) + 1);
  }
  return rounded;
}

// The phrase's postings in `field`, appended.
void FindOccurrences(const Index& index, PhraseQuery* query, uint32_t field) {
  FieldWords words(index, *query, field);
  for (uint32_t doc : words.DriverDocuments()) {
    if (!words.Gather(doc)) continue;
    const uint32_t tf =
        CountPhraseOccurrences(words.positions(), query->slop, nullptr);
    if (tf > 0 && !query->postings.push_back(field, doc, tf, 0)) {
      throw std::length_error(kTooManyPostings);
    }
  }
}

// Unit bounds of the postings, as ScoreBounds derives them for terms.
void DeriveBounds(const Index& index, PhraseQuery* query) {
  const double k1 = SanitizeK1(index.data().k1);
  const double b = SanitizeB(index.data().b);
  const size_t n = query->postings.size();
  query->units.resize(n);
  query->block_units.assign((n + ScoreBounds::kBlockSize - 1) /
                                ScoreBounds::kBlockSize,
                            0.0);
  for (size_t i = 0; i < n; ++i) {
    const float unit =
        RoundUpToFloat(ScoreBounds::Unit(index, query->postings, query->postings[i], k1, b));
    query->units[i] = unit;
    double& block = query->block_units[ScoreBounds::BlockOf(i)];
    block = std::max<double>(block, unit);
  }
}

}  // namespace

std::vector<std::vector<std::string>> PhraseWords(const Language& language,
                                                  const std::string& text) {
  TokenList tokens = RunPipeline(language, language.tokenize(text));
  // (start, token): tokens without a position stand alone, in order.
  std::vector<std::pair<uint64_t, size_t>> keyed;
  uint64_t last = 0;
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i].text.empty()) continue;
    const TokenMetadata& m = tokens[i].metadata;
    last = m.has_position ? m.start : last + 1;
    keyed.emplace_back(last, i);
  }
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::vector<std::string>> words;
  for (size_t i = 0; i < keyed.size(); ++i) {
    if (i == 0 || keyed[i].first != keyed[i - 1].first) words.emplace_back();
    std::vector<std::string>& spellings = words.back();
    std::string& text_i = tokens[keyed[i].second].text;
    if (std::find(spellings.begin(), spellings.end(), text_i) ==
        spellings.end()) {
      spellings.push_back(std::move(text_i));
    }
  }
  return words;
}

uint32_t CountPhraseOccurrences(const std::vector<WordList>& positions,
                                uint32_t slop, std::vector<uint32_t>* chains) {
  const size_t k = positions.size();
  // Cursors only move forward: a later first position needs later ones.
  constexpr size_t kInline = 16;
  const uint32_t* inline_at[kInline];
  std::vector<const uint32_t*> spilled;
  const uint32_t** at = inline_at;
  if (k > kInline) {
    spilled.resize(k);
    at = spilled.data();
  }
  for (size_t i = 0; i < k; ++i) at[i] = positions[i].begin;
  uint32_t count = 0;
  for (const uint32_t* f = positions[0].begin; f != positions[0].end; ++f) {
    const uint32_t first = *f;
    if (f != positions[0].begin && first == f[-1]) continue;
    uint64_t previous = first;
    bool within = true;
    for (size_t i = 1; i < k && within; ++i) {
      const uint32_t* end = positions[i].end;
      while (at[i] != end && *at[i] <= previous) ++at[i];
      if (at[i] == end) return count;
      previous = *at[i];
      // Extra words so far; later words only add to them.
      within = previous - first - i <= slop;
    }
    if (!within) continue;
    ++count;
    if (chains != nullptr) {
      chains->push_back(first);
      for (size_t i = 1; i < k; ++i) chains->push_back(*at[i]);
    }
  }
  return count;
}

bool PlanPhraseClause(const Index& index, const Clause& clause,
                      const ScoringStats& stats, std::vector<uint32_t> fields,
                      ClausePlan* plan) {
  const std::vector<std::vector<std::string>> spellings =
      PhraseWords(index.language(), clause.term);
  if (spellings.size() < 2) return false;
  auto query = std::make_shared<PhraseQuery>();
  query->slop = clause.slop;
  const bool scores = clause.presence != Presence::kProhibited;
  // A word's IDF is that of its most frequent spelling in the collection,
  // which every shard reads the same from the statistics.
  double idf = 0.0;
  bool complete = true;
  for (const std::vector<std::string>& word : spellings) {
    std::vector<uint32_t>& terms = query->words.emplace_back();
    uint64_t df = 0;
    for (const std::string& text : word) {
      const int64_t term = index.FindTerm(text);
      if (term >= 0) terms.push_back(static_cast<uint32_t>(term));
      if (!scores && stats.given()) continue;
      uint64_t spelling_df = 0;
      if (!stats.DocumentFrequencyOfText(text, &spelling_df) &&
          plan->missing_term.empty()) {
        plan->missing_term = text;
      }
      df = std::max(df, spelling_df);
    }
    std::sort(terms.begin(), terms.end());
    terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
    if (terms.empty()) complete = false;
    idf += Idf(df, stats.document_count());
  }
  plan->clause = &clause;
  plan->phrase_query = query;
  if (!complete) return true;  // a word the index lacks: no occurrence

  for (uint32_t field : fields) {
    const size_t before = query->postings.size();
    FindOccurrences(index, query.get(), field);
    if (!clause.fields.empty() || query->postings.size() > before) {
      plan->fields.push_back(field);
    }
  }
  DeriveBounds(index, query.get());
  plan->records.push_back(
      TermRecord{query->words[0][0], idf, kStandalone, 0, {}});
  const Posting* begin = query->postings.data();
  const Posting* end = begin + query->postings.size();
  for (uint32_t field : plan->fields) {
    plan->averages.push_back(stats.average(field));
    const Posting* from = std::partition_point(
        begin, end,
        [&](const Posting& p) { return query->postings.field(p) < field; });
    const Posting* to = std::partition_point(
        from, end,
        [&](const Posting& p) { return query->postings.field(p) == field; });
    plan->ranges.push_back(PostingRange{from, to, &query->postings});
  }
  return true;
}

bool PhrasesNeedPositions(const Index& index, const Query& query) {
  if (WordPositions::Available(index)) return false;
  for (const Clause& clause : query.clauses) {
    if (clause.phrase && PhraseWords(index.language(), clause.term).size() > 1) {
      return true;
    }
  }
  return false;
}

namespace {

// The selected entries of one (term, field) of a hit.
struct Selected {
  uint32_t term;
  uint32_t field;
  const Posting* posting;
  std::vector<uint32_t> entries;
};

bool SameMatch(uint32_t term, uint32_t field, const MatchRef& m) {
  return m.term == term && m.field == field;
}

// The entries of the phrase occurrences in one field of one document.
void SelectInField(const Index& index, const PhraseQuery& query,
                   uint32_t field, uint32_t doc, std::vector<Selected>* out) {
  FieldWords words(index, query, field);
  if (!words.Gather(doc)) return;
  std::vector<uint32_t> chains;
  CountPhraseOccurrences(words.positions(), query.slop, &chains);
  const size_t k = query.words.size();
  std::vector<uint32_t> used;
  for (size_t w = 0; w < k; ++w) {
    used.clear();
    for (size_t c = w; c < chains.size(); c += k) used.push_back(chains[c]);
    std::sort(used.begin(), used.end());
    for (size_t s = 0; s < query.words[w].size(); ++s) {
      const Posting* p = words.Spelling(w, s, doc);
      if (p == nullptr) continue;
      const uint32_t* positions = words.WordsOf(p);
      Selected selected{query.words[w][s], field, p, {}};
      for (uint32_t e = 0; e < index.position_count(*p); ++e) {
        if (std::binary_search(used.begin(), used.end(), positions[e])) {
          selected.entries.push_back(e);
        }
      }
      if (!selected.entries.empty()) out->push_back(std::move(selected));
    }
  }
}

}  // namespace

void AddPhraseMatches(const std::vector<ClausePlan>& plans, Hit* hit) {
  const Index& index = *hit->index;
  std::vector<Selected> selected;
  for (const ClausePlan& plan : plans) {
    if (plan.phrase_query == nullptr || plan.ranges.empty() ||
        plan.clause->presence == Presence::kProhibited) {
      continue;
    }
    for (size_t fi = 0; fi < plan.fields.size(); ++fi) {
      const PostingRange& range = plan.ranges[fi];
      const Posting* p = std::partition_point(
          range.begin, range.end,
          [doc = hit->doc](const Posting& x) { return x.doc < doc; });
      if (p == range.end || p->doc != hit->doc) continue;
      SelectInField(index, *plan.phrase_query, plan.fields[fi], hit->doc,
                    &selected);
    }
  }
  if (selected.empty()) return;
  std::sort(selected.begin(), selected.end(),
            [](const Selected& x, const Selected& y) {
              return x.term != y.term ? x.term < y.term : x.field < y.field;
            });
  // Pairs another clause matched keep every position.
  const size_t regular = hit->matches.size();
  auto matched_whole = [&](uint32_t term, uint32_t field) {
    const auto end = hit->matches.begin() + static_cast<ptrdiff_t>(regular);
    const auto it = std::lower_bound(
        hit->matches.begin(), end, std::make_pair(term, field),
        [](const MatchRef& m, const std::pair<uint32_t, uint32_t>& key) {
          return m.term != key.first ? m.term < key.first
                                     : m.field < key.second;
        });
    return it != end && SameMatch(term, field, *it);
  };
  for (size_t i = 0; i < selected.size();) {
    Selected& first = selected[i];
    size_t j = i + 1;
    for (; j < selected.size() && selected[j].term == first.term &&
           selected[j].field == first.field;
         ++j) {
      first.entries.insert(first.entries.end(), selected[j].entries.begin(),
                           selected[j].entries.end());
    }
    if (!matched_whole(first.term, first.field)) {
      std::sort(first.entries.begin(), first.entries.end());
      first.entries.erase(
          std::unique(first.entries.begin(), first.entries.end()),
          first.entries.end());
      hit->matches.push_back(MatchRef{first.term, first.field, first.posting});
      hit->selections.push_back(MatchSelection{first.term, first.field,
                                               std::move(first.entries)});
    }
    i = j;
  }
  std::sort(hit->matches.begin(), hit->matches.end(),
            [](const MatchRef& x, const MatchRef& y) {
              return x.term != y.term ? x.term < y.term : x.field < y.field;
            });
}

}  // namespace vrim
