#include "search.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "normalize.h"
#include "phrase.h"
#include "utf8.h"

namespace vrim {

namespace {

constexpr int32_t kStandalone = -1;
// No state: an empty slot of the document table.
constexpr uint32_t kNone = UINT32_MAX;

// A query term derived from a clause, before expansion.
struct QueryTerm {
  std::string text;
  int32_t group = kStandalone;  // alternatives of one group share it
  uint32_t alternative = 0;
};

// One index term matched by a clause, with the IDF it scores with and the
// alternative it belongs to.
struct TermRecord {
  uint32_t term;
  double idf;
  int32_t group;
  uint32_t alternative;
  std::vector<uint32_t> phrases;  // clause phrases that contain the term
};

struct PostingRange {
  const Posting* begin;
  const Posting* end;
};

struct ClausePlan {
  const Clause* clause;
  std::vector<uint32_t> fields;  // field ids, clause order
  std::vector<TermRecord> records;
  // The postings of each record in each clause field: records x fields,
  // record-major.
  std::vector<PostingRange> ranges;
  std::vector<Phrase> phrases;
  std::vector<std::vector<int64_t>> phrase_term_ids;  // per phrase
};

// Stars trimmed from both ends, the core stemmed, one star put back at each
// trimmed end; a term with an escaped star, or nothing but stars, is kept.
std::string WildcardPattern(const std::string& term, const Language& language) {
  if (term.find("\\*") != std::string::npos) return term;
  size_t lead = 0;
  while (lead < term.size() && term[lead] == '*') ++lead;
  if (lead == term.size()) return term;
  size_t trail = 0;
  while (term[term.size() - 1 - trail] == '*') ++trail;
  std::string pattern = lead > 0 ? "*" : "";
  pattern += language.stem(term.substr(lead, term.size() - lead - trail));
  if (trail > 0) pattern += '*';
  return pattern;
}

bool StartsWithBigramChar(const Language& language, const std::string& text) {
  if (text.empty()) return false;
  const char* p = text.data();
  return language.is_bigram_char(NextCodePoint(&p));
}

// Step 1 of a clause: the query terms, their alternative groups and the
// phrases of bigram tokens.
void DeriveQueryTerms(const Language& language, const Clause& clause,
                      std::vector<QueryTerm>* terms,
                      std::vector<Phrase>* phrases) {
  const bool turkish_member = HasTurkishMember(language.code());
  if (!clause.use_pipeline) {
    if (turkish_member) {
      std::string folded = NormalizeDefault(clause.term);
      std::string turkish = NormalizeTurkish(clause.term);
      if (folded != turkish) {
        terms->push_back(QueryTerm{std::move(folded), 0, 0});
        terms->push_back(QueryTerm{std::move(turkish), 0, 1});
      } else {
        terms->push_back(QueryTerm{std::move(folded)});
      }
    } else {
      terms->push_back(QueryTerm{clause.term});
    }
    return;
  }

  // The same pipeline as at build time.
  TokenList tokens = RunPipeline(language, language.tokenize(clause.term));

  std::vector<PhraseToken> phrase_tokens;
  phrase_tokens.reserve(tokens.size());
  for (const Token& token : tokens) {
    PhraseToken pt;
    pt.text = token.text;
    pt.has_position = token.metadata.has_position;
    pt.start = token.metadata.start;
    pt.length = token.metadata.length;
    pt.bigram = StartsWithBigramChar(language, token.text);
    phrase_tokens.push_back(pt);
  }
  *phrases = GroupBigrams(phrase_tokens);

  // Under a multi-language code with Turkish, tokens sharing a start are
  // alternative spellings of one word.
  std::vector<int32_t> group_of(tokens.size(), kStandalone);
  std::vector<uint32_t> alternative_of(tokens.size(), 0);
  if (turkish_member) {
    int32_t groups = 0;
    for (size_t i = 0; i < tokens.size(); ++i) {
      if (group_of[i] != kStandalone || !tokens[i].metadata.has_position) {
        continue;
      }
      uint32_t alternatives = 0;
      for (size_t j = i + 1; j < tokens.size(); ++j) {
        if (tokens[j].metadata.has_position &&
            tokens[j].metadata.start == tokens[i].metadata.start) {
          if (alternatives == 0) {
            group_of[i] = groups;
            alternative_of[i] = alternatives++;
          }
          group_of[j] = groups;
          alternative_of[j] = alternatives++;
        }
      }
      if (alternatives > 0) ++groups;
    }
  }
  for (size_t i = 0; i < tokens.size(); ++i) {
    terms->push_back(QueryTerm{std::move(tokens[i].text), group_of[i],
                               alternative_of[i]});
  }
}

double Idf(uint64_t n, uint64_t N) {
  if (n > N) n = N;
  return std::log(1.0 + (static_cast<double>(N - n) + 0.5) /
                            (static_cast<double>(n) + 0.5));
}

// The postings of `term` in `field`: a sub-range of the (field, doc)-sorted
// postings of the term.
PostingRange FieldPostings(const Index& index, uint32_t term, uint32_t field) {
  const Posting* begin = index.postings_begin(term);
  const Posting* end = index.postings_end(term);
  begin = std::partition_point(
      begin, end, [field](const Posting& p) { return p.field < field; });
  end = std::partition_point(
      begin, end, [field](const Posting& p) { return p.field == field; });
  return PostingRange{begin, end};
}

ClausePlan PlanClause(const Index& index, const Clause& clause,
                      uint64_t document_count) {
  ClausePlan plan;
  plan.clause = &clause;
  for (const std::string& name : clause.fields) {
    const int64_t field = index.FindField(name);
    if (field >= 0) plan.fields.push_back(static_cast<uint32_t>(field));
  }

  std::vector<QueryTerm> query_terms;
  DeriveQueryTerms(index.language(), clause, &query_terms, &plan.phrases);

  std::unordered_set<uint32_t> used;
  std::vector<uint32_t> expanded;
  for (const QueryTerm& query_term : query_terms) {
    if (query_term.text.empty()) continue;
    expanded.clear();
    if (clause.wildcard) {
      index.token_set().ExpandWildcard(
          WildcardPattern(query_term.text, index.language()), &expanded);
    } else if (clause.edit_distance.has_value()) {
      index.token_set().ExpandFuzzy(Unescape(query_term.text),
                                    *clause.edit_distance, &expanded);
    } else {
      const int64_t term = index.FindTerm(Unescape(query_term.text));
      if (term >= 0) expanded.push_back(static_cast<uint32_t>(term));
    }
    // Term id order keeps the summation order, and so the scores,
    // independent of the automaton's traversal order.
    std::sort(expanded.begin(), expanded.end());
    for (uint32_t term : expanded) {
      if (query_terms.size() > 1 && !used.insert(term).second) continue;
      plan.records.push_back(
          TermRecord{term, Idf(index.document_frequency(term), document_count),
                     query_term.group, query_term.alternative, {}});
    }
  }

  for (const Phrase& phrase : plan.phrases) {
    std::vector<int64_t> ids;
    for (const std::string& text : phrase.terms) {
      ids.push_back(index.FindTerm(text));
    }
    plan.phrase_term_ids.push_back(std::move(ids));
  }
  for (TermRecord& record : plan.records) {
    const std::string& text = index.data().terms[record.term];
    for (uint32_t i = 0; i < plan.phrases.size(); ++i) {
      const std::vector<std::string>& terms = plan.phrases[i].terms;
      if (std::find(terms.begin(), terms.end(), text) != terms.end()) {
        record.phrases.push_back(i);
      }
    }
  }

  plan.ranges.reserve(plan.records.size() * plan.fields.size());
  for (const TermRecord& record : plan.records) {
    for (uint32_t field : plan.fields) {
      plan.ranges.push_back(FieldPostings(index, record.term, field));
    }
  }
  return plan;
}

// Per-document working state of one search.
struct DocState {
  uint32_t doc;
  uint32_t required_hits = 0;
  uint32_t last_clause = UINT32_MAX;  // last clause that counted for it
  double score = 0.0;
  bool scored = false;
  bool prohibited = false;
};

// A scored posting, recorded for the match data of its document's state.
struct MatchEntry {
  uint32_t state;
  uint32_t term;
  uint32_t field;
  const Posting* posting;
};

// Document id to DocState: a dense table when a large share of the index
// is touched, an open-addressing hash table otherwise, so a rare-term query
// on a large index costs nothing per stored document. Every state comes
// from one of the `expected` postings, so the table, sized to twice that,
// never fills beyond half.
class DocStates {
 public:
  DocStates(size_t doc_count, uint64_t expected) {
    if (expected >= doc_count / 16) {
      dense_.assign(doc_count, kNone);
    } else {
      size_t capacity = 16;
      while (capacity < expected * 2) capacity *= 2;
      keys_.assign(capacity, kEmpty);
      values_.resize(capacity);
      mask_ = capacity - 1;
    }
    states_.reserve(std::min<uint64_t>(expected, doc_count));
  }

  DocState& Get(uint32_t doc) {
    uint32_t* slot = Slot(doc);
    if (*slot == kNone) {
      *slot = static_cast<uint32_t>(states_.size());
      states_.push_back(DocState{doc});
    }
    return states_[*slot];
  }

  const DocState* Find(uint32_t doc) const {
    if (!dense_.empty()) {
      return dense_[doc] == kNone ? nullptr : &states_[dense_[doc]];
    }
    for (size_t i = Hash(doc) & mask_; keys_[i] != kEmpty;
         i = (i + 1) & mask_) {
      if (keys_[i] == doc) return &states_[values_[i]];
    }
    return nullptr;
  }

  std::vector<DocState>& states() { return states_; }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;

  static size_t Hash(uint32_t doc) {
    return static_cast<size_t>((doc * 0x9E3779B97F4A7C15ull) >> 20);
  }

  uint32_t* Slot(uint32_t doc) {
    if (!dense_.empty()) return &dense_[doc];
    size_t i = Hash(doc) & mask_;
    while (keys_[i] != kEmpty && keys_[i] != doc) i = (i + 1) & mask_;
    if (keys_[i] == kEmpty) {
      keys_[i] = doc;
      values_[i] = kNone;
    }
    return &values_[i];
  }

  std::vector<uint32_t> dense_;
  std::vector<uint32_t> keys_;
  std::vector<uint32_t> values_;
  size_t mask_ = 0;
  std::vector<DocState> states_;
};

// A contribution of an alternative record, summed per (document, field,
// group, alternative) and resolved at the end of its clause.
struct AlternativeContribution {
  uint32_t state;
  uint32_t field;
  int32_t group;
  uint32_t alternative;
  double value;
};

// Phrase occurrences per (document, field), verified once each.
class PhraseChecker {
 public:
  PhraseChecker(const Index& index, const ClausePlan& plan)
      : index_(index), plan_(plan), cache_(plan.phrases.size()) {}

  bool Occurs(uint32_t phrase, uint32_t doc, uint32_t field) {
    const uint64_t key = (static_cast<uint64_t>(doc) << 32) | field;
    auto [it, inserted] = cache_[phrase].try_emplace(key, false);
    if (inserted) it->second = Verify(phrase, doc, field);
    return it->second;
  }

 private:
  bool Verify(uint32_t phrase, uint32_t doc, uint32_t field) {
    const std::vector<int64_t>& ids = plan_.phrase_term_ids[phrase];
    std::vector<std::vector<uint64_t>> positions(ids.size());
    const uint8_t* data =
        reinterpret_cast<const uint8_t*>(index_.data().positions.data());
    for (size_t i = 0; i < ids.size(); ++i) {
      if (ids[i] < 0) return false;
      const uint32_t term = static_cast<uint32_t>(ids[i]);
      const Posting* end = index_.postings_end(term);
      const Posting* p = std::lower_bound(
          index_.postings_begin(term), end, std::make_pair(field, doc),
          [](const Posting& a, const std::pair<uint32_t, uint32_t>& key) {
            return a.field < key.first ||
                   (a.field == key.first && a.doc < key.second);
          });
      if (p == end || p->field != field || p->doc != doc ||
          p->position_count == 0) {
        return false;
      }
      std::vector<uint64_t>& starts = positions[i];
      DecodeStarts(data + p->positions_offset, p->position_count, &starts);
      starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    }
    return VerifyPhrase(plan_.phrases[phrase], positions);
  }

  const Index& index_;
  const ClausePlan& plan_;
  std::vector<std::unordered_map<uint64_t, bool>> cache_;
};

bool Finite(double x) { return std::isfinite(x); }

// The bit pattern of a score, in which finite non-negative values order
// like unsigned integers; a negative zero counts as zero.
uint64_t ScoreBits(double score) {
  return std::bit_cast<uint64_t>(score + 0.0);
}

}  // namespace

std::vector<Hit> Search(const IndexPtr& index_ptr, const Query& query) {
  std::vector<Hit> hits;
  if (query.clauses.empty()) return hits;
  const Index& index = *index_ptr;
  const IndexData& data = index.data();
  const uint64_t document_count = data.document_count;
  const double k1 = SanitizeK1(data.k1);
  const double b = SanitizeB(data.b);

  std::vector<ClausePlan> plans;
  plans.reserve(query.clauses.size());
  uint64_t expected = 0;
  bool all_prohibited = true;
  uint32_t required_clauses = 0;
  for (const Clause& clause : query.clauses) {
    plans.push_back(PlanClause(index, clause, document_count));
    for (const PostingRange& range : plans.back().ranges) {
      expected += static_cast<uint64_t>(range.end - range.begin);
    }
    if (clause.presence != Presence::kProhibited) all_prohibited = false;
    if (clause.presence == Presence::kRequired) ++required_clauses;
  }

  DocStates docs(index.doc_count_stored(), expected);
  std::vector<MatchEntry> matches;
  std::vector<AlternativeContribution> alternatives;

  for (uint32_t ci = 0; ci < plans.size(); ++ci) {
    const ClausePlan& plan = plans[ci];
    const Clause& clause = *plan.clause;
    const size_t field_count = plan.fields.size();

    if (clause.presence == Presence::kProhibited) {
      for (const PostingRange& range : plan.ranges) {
        for (const Posting* p = range.begin; p != range.end; ++p) {
          docs.Get(p->doc).prohibited = true;
        }
      }
      continue;
    }

    const bool required = clause.presence == Presence::kRequired;
    const double clause_boost = clause.boost;
    PhraseChecker phrase_checker(index, plan);
    alternatives.clear();

    for (size_t ri = 0; ri < plan.records.size(); ++ri) {
      const TermRecord& record = plan.records[ri];
      const bool idf_ok = Finite(record.idf) && record.idf >= 0.0;
      for (size_t fi = 0; fi < field_count; ++fi) {
        const uint32_t field = plan.fields[fi];
        const PostingRange& range = plan.ranges[ri * field_count + fi];
        const double avg = index.average_field_length(field);
        const double fb = data.field_boosts[field];
        const bool field_ok = Finite(avg) && avg > 0.0 && Finite(fb) &&
                              fb >= 0.0 && idf_ok;
        for (const Posting* p = range.begin; p != range.end; ++p) {
          DocState& state = docs.Get(p->doc);
          if (required && state.last_clause != ci) {
            state.last_clause = ci;
            ++state.required_hits;
          }
          state.scored = true;

          double contribution = 0.0;
          const double db = data.doc_boosts[p->doc];
          if (field_ok && p->tf != 0 && Finite(db) && db >= 0.0) {
            const double tf = p->tf;
            const double fl =
                static_cast<double>(index.field_length(p->doc, field));
            const double raw = db * fb * record.idf * tf * (k1 + 1.0) /
                               (tf + k1 * ((1.0 - b) + b * fl / avg));
            double factor = 1.0;
            for (uint32_t phrase : record.phrases) {
              if (phrase_checker.Occurs(phrase, p->doc, field)) factor *= 2.0;
            }
            contribution =
                factor * clause_boost * (std::round(raw * 1000.0) / 1000.0);
          }

          if (record.group == kStandalone) {
            state.score += contribution;
          } else {
            alternatives.push_back(AlternativeContribution{
                static_cast<uint32_t>(&state - docs.states().data()), field,
                record.group, record.alternative, contribution});
          }
          matches.push_back(MatchEntry{
              static_cast<uint32_t>(&state - docs.states().data()),
              record.term, field, p});
        }
      }
    }

    if (!alternatives.empty()) {
      std::stable_sort(alternatives.begin(), alternatives.end(),
                       [](const AlternativeContribution& x,
                          const AlternativeContribution& y) {
                         if (x.state != y.state) return x.state < y.state;
                         if (x.field != y.field) return x.field < y.field;
                         if (x.group != y.group) return x.group < y.group;
                         return x.alternative < y.alternative;
                       });
      size_t i = 0;
      while (i < alternatives.size()) {
        const AlternativeContribution& head = alternatives[i];
        double best = 0.0;
        bool any = false;
        while (i < alternatives.size() && alternatives[i].state == head.state &&
               alternatives[i].field == head.field &&
               alternatives[i].group == head.group) {
          const uint32_t alternative = alternatives[i].alternative;
          double sum = 0.0;
          while (i < alternatives.size() &&
                 alternatives[i].state == head.state &&
                 alternatives[i].field == head.field &&
                 alternatives[i].group == head.group &&
                 alternatives[i].alternative == alternative) {
            sum += alternatives[i].value;
            ++i;
          }
          if (!any || sum > best) best = sum;
          any = true;
        }
        docs.states()[head.state].score += best;
      }
    }
  }

  if (all_prohibited) {
    for (uint32_t doc = 0; doc < index.doc_count_stored(); ++doc) {
      const DocState* state = docs.Find(doc);
      if (state != nullptr && state->prohibited) continue;
      hits.push_back(Hit{index_ptr, doc, 0.0, {}});
    }
    return hits;
  }

  // Each survivor is ranked by one 128-bit key: the complemented bits of
  // its score (scores are finite and not negative, where the bit patterns
  // order like the values), then its document id, then its state index,
  // which only rides along. Ascending keys are descending scores with ties
  // in document order, and comparing keys costs a single branch.
  std::vector<unsigned __int128> ranked;
  ranked.reserve(docs.states().size());
  const std::vector<DocState>& states = docs.states();
  for (uint32_t i = 0; i < states.size(); ++i) {
    const DocState& state = states[i];
    if (!state.scored || state.prohibited) continue;
    if (required_clauses > 0 && state.required_hits != required_clauses) {
      continue;
    }
    ranked.push_back((static_cast<unsigned __int128>(~ScoreBits(state.score))
                      << 64) |
                     (static_cast<unsigned __int128>(state.doc) << 32) | i);
  }
  std::sort(ranked.begin(), ranked.end());

  // Match entries grouped by state with one counting sort: two sequential
  // passes instead of chasing per-document lists through a large array.
  std::vector<uint32_t> match_begin(states.size() + 1, 0);
  for (const MatchEntry& m : matches) ++match_begin[m.state + 1];
  for (size_t i = 1; i < match_begin.size(); ++i) {
    match_begin[i] += match_begin[i - 1];
  }
  std::vector<MatchRef> grouped(matches.size());
  {
    std::vector<uint32_t> cursor(match_begin.begin(), match_begin.end() - 1);
    for (const MatchEntry& m : matches) {
      grouped[cursor[m.state]++] = MatchRef{m.term, m.field, m.posting};
    }
  }

  hits.resize(ranked.size());
  for (size_t i = 0; i < ranked.size(); ++i) {
    const uint32_t state_index = static_cast<uint32_t>(ranked[i]);
    const DocState& state = states[state_index];
    Hit& hit = hits[i];
    hit.index = index_ptr;
    hit.doc = state.doc;
    hit.score = state.score;
    hit.matches.assign(grouped.begin() + match_begin[state_index],
                       grouped.begin() + match_begin[state_index + 1]);
    if (hit.matches.size() > 1) {
      std::sort(hit.matches.begin(), hit.matches.end(),
                [](const MatchRef& x, const MatchRef& y) {
                  return x.term != y.term ? x.term < y.term
                                          : x.field < y.field;
                });
      hit.matches.erase(
          std::unique(hit.matches.begin(), hit.matches.end(),
                      [](const MatchRef& x, const MatchRef& y) {
                        return x.term == y.term && x.field == y.field;
                      }),
          hit.matches.end());
    }
  }
  return hits;
}

}  // namespace vrim
