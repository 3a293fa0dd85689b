#include "index/index.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>

namespace vrim {

std::shared_ptr<const Index> Index::Make(IndexData data,
                                         LanguagePtr language) {
  std::shared_ptr<Index> index(new Index());
  index->data_ = std::move(data);
  index->language_ = std::move(language);
  std::vector<double>& boosts = index->data_.doc_boosts;
  if (std::all_of(boosts.begin(), boosts.end(),
                  [](double boost) { return boost == 1.0; })) {
    std::vector<double>().swap(boosts);  // doc_boost() reads 1.0
  }
  const IndexData& d = index->data_;
  const size_t field_count = d.fields.size();
  const size_t doc_count = d.refs.size();

  std::unordered_set<std::string_view> names;
  index->field_shadowed_.resize(field_count);
  for (size_t f = 0; f < field_count; ++f) {
    index->field_shadowed_[f] = !names.insert(d.fields[f]).second;
  }

  // Empty fields enter neither the sum nor the count of the average.
  index->field_totals_.resize(field_count);
  for (size_t doc = 0; doc < doc_count; ++doc) {
    const uint32_t* lengths = d.field_lengths.data() + doc * field_count;
    for (size_t f = 0; f < field_count; ++f) {
      if (lengths[f] > 0) {
        index->field_totals_[f].total_length += lengths[f];
        ++index->field_totals_[f].documents;
      }
    }
  }
  index->average_field_lengths_.resize(field_count);
  for (size_t f = 0; f < field_count; ++f) {
    index->average_field_lengths_[f] = index->field_totals_[f].average();
  }

  // A term's postings are sorted by (field, doc), so one document can show
  // up once per field; the stamp counts it once.
  const size_t term_count = d.terms.size();
  index->document_frequency_.resize(term_count);
  std::vector<uint32_t> seen_for_term(doc_count, UINT32_MAX);
  for (size_t t = 0; t < term_count; ++t) {
    const uint64_t begin = d.term_postings[t];
    const uint64_t end = d.term_postings[t + 1];
    if (begin == end || d.postings.field(d.postings[begin]) ==
                            d.postings.field(d.postings[end - 1])) {
      // One field: every posting is another document.
      index->document_frequency_[t] = static_cast<uint32_t>(end - begin);
      continue;
    }
    uint32_t df = 0;
    const uint32_t stamp = static_cast<uint32_t>(t);
    for (uint64_t i = begin; i < end; ++i) {
      uint32_t doc = d.postings[i].doc;
      if (seen_for_term[doc] != stamp) {
        seen_for_term[doc] = stamp;
        ++df;
      }
    }
    index->document_frequency_[t] = df;
  }
  return index;
}

const TokenSet& Index::token_set() const {
  std::call_once(token_set_once_,
                 [this] { token_set_ = TokenSet::Build(data_.terms); });
  return token_set_;
}

int64_t Index::FindField(std::string_view name) const {
  for (size_t f = 0; f < data_.fields.size(); ++f) {
    if (data_.fields[f] == name) return static_cast<int64_t>(f);
  }
  return -1;
}

namespace {

// FNV-1a over the bytes of a term.
uint64_t HashTerm(std::string_view term) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (const char c : term) {
    h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  }
  return h ^ (h >> 29);
}

}  // namespace

int64_t Index::FindTerm(std::string_view term) const {
  std::call_once(term_slots_once_, [this] {
    size_t slots = 16;
    while (slots < data_.terms.size() * 2) slots *= 2;
    term_slots_.assign(slots, kNoTermSlot);
    for (uint32_t id = 0; id < data_.terms.size(); ++id) {
      size_t i = HashTerm(data_.terms[id]) & (slots - 1);
      while (term_slots_[i] != kNoTermSlot) i = (i + 1) & (slots - 1);
      term_slots_[i] = id;
    }
  });
  const size_t mask = term_slots_.size() - 1;
  for (size_t i = HashTerm(term) & mask; term_slots_[i] != kNoTermSlot;
       i = (i + 1) & mask) {
    if (data_.terms[term_slots_[i]] == term) return term_slots_[i];
  }
  return -1;
}

const uint8_t* Index::PositionList(const Posting* p) const {
  const auto* lists = reinterpret_cast<const uint8_t*>(data_.positions.data());
  const Posting* postings = data_.postings.data();
  std::call_once(position_marks_once_, [&] {
    const size_t n = data_.postings.size();
    position_marks_.reserve(n / kPositionMarkStride + 1);
    uint64_t offset = 0;
    for (size_t i = 0; i < n; ++i) {
      if (i % kPositionMarkStride == 0) position_marks_.push_back(offset);
      offset += EncodedPositionsLength(lists + offset,
                                       data_.postings.position_count(postings[i]));
    }
  });
  const uint64_t i = static_cast<uint64_t>(p - postings);
  const Posting* at = postings + (i - i % kPositionMarkStride);
  const uint8_t* list = lists + position_marks_[i / kPositionMarkStride];
  for (; at != p; ++at) {
    list += EncodedPositionsLength(list, position_count(*at));
  }
  return list;
}

void Index::AppendPositions(const Posting& p,
                            std::vector<Position>* out) const {
  const uint32_t count = position_count(p);
  if (count == 0) return;
  DecodePositions(PositionList(&p), count, out);
}

double SanitizeK1(double k1) {
  if (std::isfinite(k1) && k1 >= 0.0) return k1;
  return 1.2;
}

double SanitizeB(double b) {
  if (!std::isfinite(b)) return 0.75;
  if (b <= 0.0) return 0.0;
  return b > 1.0 ? 1.0 : b;
}

double ClampFieldBoost(double boost) {
  if (!std::isfinite(boost)) return 1.0;
  return boost > 0.0 ? boost : 0.0;
}

uint32_t FieldLengthOf(uint64_t tokens) {
  if (tokens > kMaxFieldLength) {
    throw std::length_error(
        "a field holds at most 4294967295 tokens in one document, not " +
        std::to_string(tokens));
  }
  return static_cast<uint32_t>(tokens);
}

double SanitizeDocumentBoost(double boost) {
  if (!std::isfinite(boost)) return 1.0;
  return boost > 0.0 ? boost : 0.0;
}

}  // namespace vrim
