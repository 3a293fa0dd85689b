#include "search/query_stats.h"

#include <algorithm>

#include "analysis/quote.h"
#include "search/index_fingerprint.h"
#include "search/phrase_query.h"
#include "search/search_plan.h"

namespace vrim {

namespace {

bool CheckedAdd(uint64_t a, uint64_t b, const char* what, uint64_t* out,
                std::string* error) {
  if (b > UINT64_MAX - a) {
    *error = std::string("query statistics overflow: ") + what +
             " does not fit 64 bits";
    return false;
  }
  *out = a + b;
  return true;
}

// The documents of `exclude` that hold `term` in some field.
uint64_t ExcludedWithTerm(const Index& index, uint32_t term,
                          const DocSet& exclude) {
  std::vector<uint32_t> docs;
  for (const Posting* p = index.postings_begin(term);
       p != index.postings_end(term); ++p) {
    if (exclude.Contains(p->doc)) docs.push_back(p->doc);
  }
  std::sort(docs.begin(), docs.end());
  return static_cast<uint64_t>(
      std::unique(docs.begin(), docs.end()) - docs.begin());
}

// Takes the documents of `exclude` out of the counts of `stats`.
void RemoveDocuments(const Index& index, const DocSet& exclude,
                     QueryStats* stats) {
  const uint64_t removed = exclude.size();
  stats->document_count -= std::min(stats->document_count, removed);
  const uint32_t field_count = static_cast<uint32_t>(index.field_count());
  exclude.ForEach([&](uint32_t doc) {
    for (uint32_t f = 0; f < field_count; ++f) {
      const uint64_t length = index.field_length(doc, f);
      if (length == 0) continue;
      stats->field_totals[f].total_length -= length;
      --stats->field_totals[f].documents;
    }
  });
}

// The fingerprint of the excluded documents named in the statistics'
// source: a hash of their ids (in the index the source names), never 0,
// which stands for no exclusion.
uint64_t ExclusionFingerprint(const DocSet& exclude) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ exclude.size();
  exclude.ForEach([&](uint32_t doc) {
    h ^= doc + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    h *= 0xBF58476D1CE4E5B9ull;
  });
  return h == 0 ? 1 : h;
}

}  // namespace

const uint64_t* QueryStats::FindTerm(std::string_view text) const {
  auto it = std::lower_bound(
      terms.begin(), terms.end(), text,
      [](const std::pair<std::string, uint64_t>& entry, std::string_view t) {
        return std::string_view(entry.first) < t;
      });
  if (it == terms.end() || it->first != text) return nullptr;
  return &it->second;
}

QueryStats CollectQueryStats(const Index& index, const Query& query,
                             const DocSet* exclude) {
  QueryStats stats;
  const IndexData& data = index.data();
  stats.document_count = data.document_count;
  stats.sources.push_back({IndexFingerprint::Of(index), 0});
  stats.fields = data.fields;
  for (uint32_t f = 0; f < data.fields.size(); ++f) {
    stats.field_totals.push_back(index.field_totals(f));
  }
  std::vector<uint32_t> term_ids;
  const ScoringStats own(index);
  for (const Clause& clause : query.clauses) {
    if (clause.presence == Presence::kProhibited) continue;
    if (clause.phrase) {
      // A phrase of two words or more needs its words' frequencies, not
      // its occurrences.
      const std::vector<std::vector<std::string>> words =
          PhraseWords(index.language(), clause.term);
      if (words.size() > 1) {
        for (const std::vector<std::string>& spellings : words) {
          for (const std::string& text : spellings) {
            const int64_t term = index.FindTerm(text);
            if (term >= 0) term_ids.push_back(static_cast<uint32_t>(term));
          }
        }
        continue;
      }
    }
    const ClausePlan plan = PlanClause(index, clause, own);
    for (const TermRecord& record : plan.records) {
      term_ids.push_back(record.term);
    }
  }
  // Term ids order like term bytes.
  std::sort(term_ids.begin(), term_ids.end());
  term_ids.erase(std::unique(term_ids.begin(), term_ids.end()),
                 term_ids.end());
  stats.terms.reserve(term_ids.size());
  const bool excluding = exclude != nullptr && !exclude->empty();
  for (uint32_t term : term_ids) {
    uint64_t df = index.document_frequency(term);
    if (excluding) df -= ExcludedWithTerm(index, term, *exclude);
    stats.terms.emplace_back(std::string(data.terms[term]), df);
  }
  if (excluding) {
    RemoveDocuments(index, *exclude, &stats);
    stats.sources.front().exclusion = ExclusionFingerprint(*exclude);
  }
  return stats;
}

bool AddQueryStats(const QueryStats& a, const QueryStats& b, QueryStats* out,
                   std::string* error) {
  if (a.fields != b.fields) {
    *error = "query statistics of different fields: " + QuoteList(a.fields) +
             " and " + QuoteList(b.fields);
    return false;
  }
  QueryStats sum;
  sum.fields = a.fields;
  if (!CheckedAdd(a.document_count, b.document_count, "the document count",
                  &sum.document_count, error)) {
    return false;
  }
  sum.field_totals.resize(a.fields.size());
  for (size_t f = 0; f < a.fields.size(); ++f) {
    FieldTotals& t = sum.field_totals[f];
    if (!CheckedAdd(a.field_totals[f].total_length,
                    b.field_totals[f].total_length, "a field's total length",
                    &t.total_length, error) ||
        !CheckedAdd(a.field_totals[f].documents, b.field_totals[f].documents,
                    "a field's document count", &t.documents, error)) {
      return false;
    }
  }
  // Merge of two sorted lists.
  sum.terms.reserve(a.terms.size() + b.terms.size());
  size_t i = 0;
  size_t j = 0;
  while (i < a.terms.size() || j < b.terms.size()) {
    if (j == b.terms.size() ||
        (i < a.terms.size() && a.terms[i].first < b.terms[j].first)) {
      sum.terms.push_back(a.terms[i++]);
    } else if (i == a.terms.size() || b.terms[j].first < a.terms[i].first) {
      sum.terms.push_back(b.terms[j++]);
    } else {
      uint64_t df = 0;
      if (!CheckedAdd(a.terms[i].second, b.terms[j].second,
                      "a document frequency", &df, error)) {
        return false;
      }
      sum.terms.emplace_back(a.terms[i].first, df);
      ++i;
      ++j;
    }
  }
  sum.sources.resize(a.sources.size() + b.sources.size());
  std::merge(a.sources.begin(), a.sources.end(), b.sources.begin(),
             b.sources.end(), sum.sources.begin());
  *out = std::move(sum);
  return true;
}

bool CheckQueryStats(const Index& index, const QueryStats& stats,
                     std::string* error) {
  if (stats.field_totals.size() != stats.fields.size()) {
    *error = "query statistics with " +
             std::to_string(stats.field_totals.size()) +
             " field totals for " + std::to_string(stats.fields.size()) +
             " fields";
    return false;
  }
  for (size_t i = 1; i < stats.terms.size(); ++i) {
    if (!(stats.terms[i - 1].first < stats.terms[i].first)) {
      *error = "query statistics with terms out of order or repeated: " +
               Quote(stats.terms[i].first);
      return false;
    }
  }
  if (!std::is_sorted(stats.sources.begin(), stats.sources.end())) {
    *error = "query statistics with sources out of order";
    return false;
  }
  if (stats.fields != index.data().fields) {
    *error = "query statistics are for fields " + QuoteList(stats.fields) +
             ", but the index has fields " + QuoteList(index.data().fields);
    return false;
  }
  const uint64_t own = IndexFingerprint::Of(index);
  const bool included = std::any_of(
      stats.sources.begin(), stats.sources.end(),
      [own](const StatsSource& source) { return source.index == own; });
  if (!included) {
    *error = "query statistics do not include this index's own "
             "contribution (fingerprint " + FingerprintText(own) +
             "): sum query_stats() of every shard, this one included";
    return false;
  }
  return true;
}

}  // namespace vrim
