#include "search/search_plan.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "analysis/normalize.h"
#include "analysis/quote.h"
#include "analysis/utf8.h"
#include "index/positions.h"
#include "search/phrase_query.h"

namespace vrim {

namespace {

// A query term derived from a clause, before expansion.
struct QueryTerm {
  std::string text;
  int32_t group = kStandalone;  // alternatives of one group share it
  uint32_t alternative = 0;
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

  // Phrases need two bigram tokens at least; counting stops at the second.
  size_t bigrams = 0;
  for (size_t i = 0; i < tokens.size() && bigrams < 2; ++i) {
    bigrams += StartsWithBigramChar(language, tokens[i].text) ? 1 : 0;
  }
  if (bigrams == 2) {
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
  }

  terms->reserve(terms->size() + tokens.size());
  if (!turkish_member) {
    for (Token& token : tokens) {
      terms->push_back(QueryTerm{std::move(token.text)});
    }
    return;
  }
  // Under a multi-language code with Turkish, tokens sharing a start are
  // alternative spellings of one word.
  std::vector<int32_t> group_of(tokens.size(), kStandalone);
  std::vector<uint32_t> alternative_of(tokens.size(), 0);
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
      begin, end, [&](const Posting& p) { return index.field(p) < field; });
  end = std::partition_point(
      begin, end, [&](const Posting& p) { return index.field(p) == field; });
  return PostingRange{begin, end, &index.data().postings};
}

}  // namespace

ScoringStats::ScoringStats(const Index& index, const QueryStats& given)
    : index_(index), given_(&given), document_count_(given.document_count) {
  for (const FieldTotals& totals : given.field_totals) {
    averages_.push_back(totals.average());
  }
}

bool ScoringStats::DocumentFrequency(uint32_t term, uint64_t* out) const {
  if (given_ == nullptr) {
    *out = index_.document_frequency(term);
    return true;
  }
  const uint64_t* df = given_->FindTerm(index_.data().terms[term]);
  if (df == nullptr) return false;
  *out = *df;
  return true;
}

bool ScoringStats::DocumentFrequencyOfText(std::string_view text,
                                           uint64_t* out) const {
  const int64_t term = index_.FindTerm(text);
  if (given_ == nullptr) {
    *out = term >= 0 ? index_.document_frequency(static_cast<uint32_t>(term))
                     : 0;
    return true;
  }
  const uint64_t* df = given_->FindTerm(text);
  *out = df != nullptr ? *df : 0;
  return df != nullptr || term < 0;
}

namespace {

// The ids of the fields a clause names, in clause order; names the index
// lacks are left out.
std::vector<uint32_t> NamedFields(const Index& index, const Clause& clause) {
  std::vector<uint32_t> ids;
  // With many names, look them up in a table instead of scanning the field
  // list once per name.
  std::unordered_map<std::string_view, uint32_t> by_name;
  if (clause.fields.size() > 8) {
    by_name.reserve(index.field_count());
    for (uint32_t f = 0; f < index.field_count(); ++f) {
      by_name.emplace(index.data().fields[f], f);  // keeps the first
    }
  }
  for (const std::string& name : clause.fields) {
    int64_t field = -1;
    if (by_name.empty()) {
      field = index.FindField(name);
    } else if (auto it = by_name.find(name); it != by_name.end()) {
      field = it->second;
    }
    if (field >= 0) ids.push_back(static_cast<uint32_t>(field));
  }
  return ids;
}

// The postings of one record in one field.
struct FieldRun {
  uint32_t record;
  uint32_t field;
  PostingRange range;
};

// Each record's postings split by field: runs in record, then field order.
std::vector<FieldRun> FieldRuns(const Index& index,
                                const std::vector<TermRecord>& records) {
  std::vector<FieldRun> runs;
  for (uint32_t r = 0; r < records.size(); ++r) {
    const Posting* p = index.postings_begin(records[r].term);
    const Posting* end = index.postings_end(records[r].term);
    while (p != end) {
      const uint32_t field = index.field(*p);
      const Posting* run_end = std::partition_point(
          p, end, [&](const Posting& q) { return index.field(q) == field; });
      runs.push_back(FieldRun{r, field,
                              PostingRange{p, run_end, &index.data().postings}});
      p = run_end;
    }
  }
  return runs;
}

// The fields, in id order, in which at least one record has postings: a
// clause over every field looks only at these, so its cost follows its
// postings rather than the number of fields. A field where no record
// occurs would add nothing to any score or match; a shadowed one is not
// searched (its name means the first field of that name).
std::vector<uint32_t> FieldsWithPostings(const Index& index,
                                         const std::vector<FieldRun>& runs) {
  std::vector<uint32_t> ids;
  for (const FieldRun& run : runs) {
    if (!index.field_shadowed(run.field)) ids.push_back(run.field);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

// The clause's query terms expanded to index terms, each with its idf.
void ExpandRecords(const Index& index, const Clause& clause,
                   const ScoringStats& stats,
                   const std::vector<QueryTerm>& query_terms,
                   ClausePlan* plan) {
  const bool scores = clause.presence != Presence::kProhibited;
  std::unordered_set<uint32_t> used;
  auto add = [&](uint32_t term, const QueryTerm& query_term) {
    if (query_terms.size() > 1 && !used.insert(term).second) return;
    double idf = 0.0;  // given statistics leave prohibited terms out
    if (scores || !stats.given()) {
      uint64_t df = 0;
      if (!stats.DocumentFrequency(term, &df) && plan->missing_term.empty()) {
        plan->missing_term = std::string(index.data().terms[term]);
      }
      idf = Idf(df, stats.document_count());
    }
    plan->records.push_back(
        TermRecord{term, idf, query_term.group, query_term.alternative, {}});
  };
  std::vector<uint32_t> expanded;
  for (const QueryTerm& query_term : query_terms) {
    if (query_term.text.empty()) continue;
    if (!clause.wildcard && !clause.edit_distance.has_value()) {
      const int64_t term = index.FindTerm(Unescape(query_term.text));
      if (term >= 0) add(static_cast<uint32_t>(term), query_term);
      continue;
    }
    expanded.clear();
    if (clause.wildcard) {
      index.token_set().ExpandWildcard(
          WildcardPattern(query_term.text, index.language()), &expanded);
    } else {
      index.token_set().ExpandFuzzy(Unescape(query_term.text),
                                    *clause.edit_distance, &expanded);
    }
    // Term id order keeps the summation order, and so the scores,
    // independent of the automaton's traversal order.
    std::sort(expanded.begin(), expanded.end());
    for (uint32_t term : expanded) add(term, query_term);
  }
}

// Each phrase's term ids, and each record's phrases.
void LinkPhrases(const Index& index, ClausePlan* plan) {
  for (const Phrase& phrase : plan->phrases) {
    std::vector<int64_t> ids;
    for (const std::string& text : phrase.terms) {
      ids.push_back(index.FindTerm(text));
    }
    plan->phrase_term_ids.push_back(std::move(ids));
  }
  for (TermRecord& record : plan->records) {
    const std::string_view text = index.data().terms[record.term];
    for (uint32_t i = 0; i < plan->phrases.size(); ++i) {
      const std::vector<std::string>& terms = plan->phrases[i].terms;
      if (std::find(terms.begin(), terms.end(), text) != terms.end()) {
        record.phrases.push_back(i);
      }
    }
  }
}

}  // namespace

ClausePlan PlanClause(const Index& index, const Clause& clause,
                      const ScoringStats& stats) {
  ClausePlan plan;
  plan.clause = &clause;
  if (clause.phrase) {
    std::vector<uint32_t> fields;
    if (clause.fields.empty()) {
      for (uint32_t f = 0; f < index.field_count(); ++f) {
        if (!index.field_shadowed(f)) fields.push_back(f);
      }
    } else {
      fields = NamedFields(index, clause);
    }
    if (PlanPhraseClause(index, clause, stats, std::move(fields), &plan)) {
      return plan;
    }
  }
  std::vector<QueryTerm> query_terms;
  DeriveQueryTerms(index.language(), clause, &query_terms, &plan.phrases);
  ExpandRecords(index, clause, stats, query_terms, &plan);
  LinkPhrases(index, &plan);

  // Over every field, each record's postings are split by field once,
  // and the ranges taken from the runs.
  std::vector<FieldRun> runs;
  if (clause.fields.empty()) {
    runs = FieldRuns(index, plan.records);
    plan.fields = FieldsWithPostings(index, runs);
  } else {
    plan.fields = NamedFields(index, clause);
  }
  for (uint32_t field : plan.fields) {
    plan.averages.push_back(stats.average(field));
  }
  plan.ranges.reserve(plan.records.size() * plan.fields.size());
  size_t run = 0;
  for (uint32_t r = 0; r < plan.records.size(); ++r) {
    for (uint32_t field : plan.fields) {
      while (run < runs.size() &&
             (runs[run].record < r ||
              (runs[run].record == r && runs[run].field < field))) {
        ++run;
      }
      if (run < runs.size() && runs[run].record == r &&
          runs[run].field == field) {
        plan.ranges.push_back(runs[run].range);
      } else {
        plan.ranges.push_back(
            FieldPostings(index, plan.records[r].term, field));
      }
    }
  }
  return plan;
}

QueryPlan PlanQuery(const Index& index, const Query& query,
                const ScoringStats& stats) {
  QueryPlan plans;
  plans.clauses.reserve(query.clauses.size());
  for (const Clause& clause : query.clauses) {
    plans.clauses.push_back(PlanClause(index, clause, stats));
    for (const PostingRange& range : plans.clauses.back().ranges) {
      plans.expected += static_cast<uint64_t>(range.end - range.begin);
    }
    if (clause.presence != Presence::kProhibited) plans.all_prohibited = false;
    if (clause.presence == Presence::kRequired) ++plans.required;
  }
  return plans;
}


bool PlanHasEveryTerm(const QueryPlan& plans, std::string* error) {
  for (const ClausePlan& plan : plans.clauses) {
    if (!plan.missing_term.empty()) {
      *error = "query statistics lack the term " + Quote(plan.missing_term) +
               ": they were not gathered for this query from every shard";
      return false;
    }
  }
  return true;
}

}  // namespace vrim
