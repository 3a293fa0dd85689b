#include "build/merge.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string_view>

#include "analysis/quote.h"
#include "build/posting_accumulator.h"
#include "index/positions.h"

namespace vrim {

namespace {

// The shortest text that reads back as `value`.
std::string Number(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// The surviving documents in reference order: out's refs, boosts and
// field lengths, and each input document's new id in `ids`
// (kDroppedDocument when it does not survive). False when their
// references do not fit one index.
bool MergeDocuments(const std::vector<IndexPtr>& indexes,
                    const std::vector<std::string>& drop, IndexData* out,
                    std::vector<std::vector<uint32_t>>* new_ids) {
  struct Source {
    std::string_view ref;
    uint32_t index;
    uint32_t doc;
  };
  std::vector<Source> sources;
  std::vector<std::vector<uint32_t>>& ids = *new_ids;
  ids.assign(indexes.size(), {});
  for (uint32_t i = 0; i < indexes.size(); ++i) {
    const StringTable& refs = indexes[i]->data().refs;
    ids[i].assign(refs.size(), kDroppedDocument);
    for (uint32_t d = 0; d < refs.size(); ++d) {
      if (!std::binary_search(drop.begin(), drop.end(), refs[d])) {
        sources.push_back(Source{refs[d], i, d});
      }
    }
  }
  // By reference, the last index first, so the first of a run wins.
  std::sort(sources.begin(), sources.end(),
            [](const Source& x, const Source& y) {
              return x.ref != y.ref ? x.ref < y.ref : x.index > y.index;
            });
  // Of a run of equal references the first stays.
  sources.erase(std::unique(sources.begin(), sources.end(),
                            [](const Source& x, const Source& y) {
                              return x.ref == y.ref;
                            }),
                sources.end());
  uint64_t ref_bytes = 0;
  for (const Source& s : sources) ref_bytes += s.ref.size();
  if (ref_bytes > StringTable::kMaxBytes) return false;
  const size_t field_count = out->fields.size();
  out->refs.reserve(sources.size(), ref_bytes);
  out->doc_boosts.reserve(sources.size());
  out->field_lengths.reserve(sources.size() * field_count);
  for (const Source& s : sources) {
    const IndexData& data = indexes[s.index]->data();
    ids[s.index][s.doc] = static_cast<uint32_t>(out->refs.size());
    out->refs.push_back(s.ref);
    out->doc_boosts.push_back(data.doc_boost(s.doc));
    auto lengths = data.field_lengths.begin() +
                   static_cast<ptrdiff_t>(s.doc * field_count);
    out->field_lengths.insert(out->field_lengths.end(), lengths,
                              lengths + static_cast<ptrdiff_t>(field_count));
  }
  out->document_count = out->refs.size();
  return true;
}

// A surviving posting's values, with its new document id, and its
// position list.
struct Carried {
  uint32_t field;
  uint32_t doc;
  uint32_t tf;
  uint32_t position_count;
  const uint8_t* list;
  size_t length;
};

// Appends the surviving postings of term `term` of `from` to `out`, with
// new document ids. A term's lists lie back to back in postings order.
void CarryPostings(const Index& from, uint32_t term,
                   const std::vector<uint32_t>& ids,
                   std::vector<Carried>* out) {
  const uint8_t* list = nullptr;
  for (const Posting* p = from.postings_begin(term);
       p != from.postings_end(term); ++p) {
    size_t length = 0;
    const uint32_t count = from.position_count(*p);
    if (count > 0) {
      if (list == nullptr) list = from.PositionList(p);
      length = EncodedPositionsLength(list, count);
    }
    const uint32_t doc = ids[p->doc];
    if (doc != kDroppedDocument) {
      out->push_back(
          Carried{from.field(*p), doc, from.tf(*p), count, list, length});
    }
    list += length;
  }
}

// Merges the (field, doc)-sorted runs [0, middle) and [middle, end) of
// `carried` in place, through `scratch`: the first run is set aside and
// the merge writes from the start, never past the second run's next
// unread entry.
// REQUIRES: 0 < middle < carried->size(); no document in both runs.
void MergeRuns(std::vector<Carried>* carried, size_t middle,
               std::vector<Carried>* scratch) {
  Carried* out = carried->data();
  scratch->assign(out, out + middle);
  const Carried* left = scratch->data();
  const Carried* left_end = left + scratch->size();
  const Carried* right = carried->data() + middle;
  const Carried* right_end = carried->data() + carried->size();
  while (left != left_end && right != right_end) {
    const Carried& r = *right;
    const Carried& l = *left;
    const bool right_first = r.field != l.field ? r.field < l.field
                                                : r.doc < l.doc;
    *out++ = right_first ? *right++ : *left++;
  }
  std::copy(left, left_end, out);  // what is left of the second run stays
}

// The union of the term dictionaries in byte order, each term's postings
// gathered from every index holding it; terms left without a posting are
// not kept. False when the postings do not fit one index.
bool MergeTerms(const std::vector<IndexPtr>& indexes,
                const std::vector<std::vector<uint32_t>>& ids,
                IndexData* out) {
  std::vector<uint32_t> next(indexes.size(), 0);  // term cursor per index
  uint64_t posting_total = 0;
  uint64_t term_total = 0;
  uint64_t term_bytes = 0;
  uint64_t position_bytes = 0;
  for (const IndexPtr& index : indexes) {
    posting_total += index->data().postings.size();
    term_total += index->data().terms.size();
    term_bytes += index->data().terms.bytes();
    position_bytes += index->data().positions.size();
  }
  out->postings.reserve(posting_total);
  out->terms.reserve(term_total, term_bytes);
  out->term_postings.reserve(term_total + 1);
  out->positions.reserve(position_bytes);
  out->term_postings.push_back(0);
  std::vector<Carried> carried;
  std::vector<Carried> scratch;
  while (true) {
    bool any = false;
    std::string_view term;
    for (uint32_t i = 0; i < indexes.size(); ++i) {
      const StringTable& terms = indexes[i]->data().terms;
      if (next[i] < terms.size() && (!any || terms[next[i]] < term)) {
        term = terms[next[i]];
        any = true;
      }
    }
    if (!any) break;
    carried.clear();
    for (uint32_t i = 0; i < indexes.size(); ++i) {
      const StringTable& terms = indexes[i]->data().terms;
      if (next[i] >= terms.size() || terms[next[i]] != term) continue;
      const size_t before = carried.size();
      CarryPostings(*indexes[i], next[i]++, ids[i], &carried);
      // Each index's run is in (field, doc) order already (new ids keep
      // reference order): merged into what came before, not sorted.
      if (before > 0 && carried.size() > before) {
        MergeRuns(&carried, before, &scratch);
      }
    }
    if (carried.empty()) continue;
    for (const Carried& c : carried) {
      if (!out->postings.push_back(c.field, c.doc, c.tf, c.position_count)) {
        return false;
      }
      if (c.length > 0) {
        out->positions.append(reinterpret_cast<const char*>(c.list), c.length);
      }
    }
    out->terms.push_back(term);
    out->term_postings.push_back(static_cast<uint32_t>(out->postings.size()));
  }
  return true;
}

}  // namespace

std::string SettingsDifference(const Index& a, const Index& b) {
  const IndexData& x = a.data();
  const IndexData& y = b.data();
  if (x.language != y.language) {
    return "language: " + Quote(x.language) + " and " + Quote(y.language);
  }
  if (x.pipeline != y.pipeline) {
    return "pipeline: " + QuoteList(x.pipeline) + " and " +
           QuoteList(y.pipeline);
  }
  if (x.fields != y.fields) {
    return "fields: " + QuoteList(x.fields) + " and " + QuoteList(y.fields);
  }
  for (size_t f = 0; f < x.fields.size(); ++f) {
    if (x.field_boosts[f] != y.field_boosts[f]) {
      return "the boost of field " + Quote(x.fields[f]) + ": " +
             Number(x.field_boosts[f]) + " and " + Number(y.field_boosts[f]);
    }
  }
  if (SanitizeK1(x.k1) != SanitizeK1(y.k1)) {
    return "k1: " + Number(SanitizeK1(x.k1)) + " and " +
           Number(SanitizeK1(y.k1));
  }
  if (SanitizeB(x.b) != SanitizeB(y.b)) {
    return "b: " + Number(SanitizeB(x.b)) + " and " + Number(SanitizeB(y.b));
  }
  return "";
}

bool MergeIndexes(const std::vector<IndexPtr>& indexes,
                  const std::vector<std::string>& drop, IndexPtr* out,
                  std::string* error) {
  const Index& first = *indexes.front();
  for (size_t i = 1; i < indexes.size(); ++i) {
    const std::string difference = SettingsDifference(first, *indexes[i]);
    if (!difference.empty()) {
      *error = "cannot merge indexes of different settings: index " +
               std::to_string(i) + " differs from index 0 in " + difference;
      return false;
    }
  }
  IndexData data;
  data.language = first.data().language;
  data.pipeline = first.data().pipeline;
  data.fields = first.data().fields;
  data.field_boosts = first.data().field_boosts;
  data.k1 = SanitizeK1(first.data().k1);
  data.b = SanitizeB(first.data().b);
  std::vector<std::vector<uint32_t>> ids;
  if (!MergeDocuments(indexes, drop, &data, &ids)) {
    *error = kTooManyReferenceBytes;
    return false;
  }
  if (!MergeTerms(indexes, ids, &data)) {
    *error = kTooManyPostings;
    return false;
  }
  *out = Index::Make(std::move(data), first.language_ptr());
  return true;
}

}  // namespace vrim
