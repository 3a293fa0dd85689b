#include "build/index_builder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "analysis/quote.h"
#include "analysis/unicode.h"
#include "analysis/utf8.h"
#include "build/available_cores.h"
#include "build/hashed_key.h"
#include "build/id_table.h"
#include "build/parallel_for.h"
#include "build/posting_accumulator.h"
#include "index/memory_pages.h"

namespace vrim {

namespace {

[[noreturn]] void BrokenPrecondition(const std::string& message) {
  std::fprintf(stderr, "vrim: %s\n", message.c_str());
  std::abort();
}

// Throws std::length_error, adding nothing, when `ref` does not fit.
void AppendReference(std::string_view ref, StringTable* refs) {
  if (!refs->Fits(ref.size())) {
    throw std::length_error(kTooManyReferenceBytes);
  }
  refs->push_back(ref);
}

// Appends the boost of the document just appended to out->refs to
// out->doc_boosts, which stays empty (every boost 1.0) until a document
// has another; `total` documents are to come in all.
void AppendBoost(double boost, size_t total, IndexData* out) {
  std::vector<double>& boosts = out->doc_boosts;
  if (boosts.empty()) {
    if (boost == 1.0) return;
    boosts.reserve(total);
    boosts.assign(out->refs.size() - 1, 1.0);
  }
  boosts.push_back(boost);
}

void CheckFieldName(std::string_view name, const Language& language) {
  if (name.empty()) BrokenPrecondition("field name must not be empty");
  if (name.find('/') != std::string_view::npos) {
    BrokenPrecondition("field name " + Quote(name) +
                       " must not contain '/' (breaks FieldRef round-trip)");
  }
  std::vector<char32_t> separators;
  DecodeUtf8(language.separators(), &separators);
  std::vector<char32_t> cps;
  DecodeUtf8(name, &cps);
  for (char32_t c : cps) {
    if (IsWhiteSpace(c) || std::find(separators.begin(), separators.end(),
                                     c) != separators.end()) {
      BrokenPrecondition("field name " + Quote(name) +
                         " contains a separator and is unqueryable");
    }
  }
  if (name.find_first_of(":\\^~") != std::string_view::npos ||
      name[0] == '+' || name[0] == '-') {
    BrokenPrecondition(
        "field name " + Quote(name) +
        " contains a query operator and is unqueryable via field:term syntax");
  }
}

}  // namespace

// Staged references to their position in the staged list, so that staging
// replaces an existing document in constant time.
class IndexBuilder::RefTable {
 public:
  int64_t Find(const std::vector<PackedDocument>& staged,
               std::string_view ref) const {
    return table_.Find(MakeKey(ref),
                       [&staged](uint32_t id) { return staged[id].ref(); });
  }
  void Insert(std::string_view ref, uint32_t id) {
    table_.Insert(MakeKey(ref), id);
  }
  void Rebuild(const std::vector<PackedDocument>& staged) {
    table_.Clear();
    for (size_t i = 0; i < staged.size(); ++i) {
      Insert(staged[i].ref(), static_cast<uint32_t>(i));
    }
  }
  void Clear() { table_.Clear(); }

 private:
  IdTable table_;
};

// The base of a rehydrated builder: the stored members of the index it was
// made from, minus removals. A removal marks the document; builds skip
// marked documents and their postings, which is the same as editing the
// postings but costs nothing per removal.
struct IndexBuilder::Base {
  IndexData data;
  std::vector<uint8_t> removed;  // per base document
};

IndexBuilder::IndexBuilder(LanguagePtr language, double k1, double b)
    : language_(std::move(language)),
      k1_(k1),
      b_(b),
      staged_refs_(std::make_unique<RefTable>()) {}

IndexBuilder::~IndexBuilder() = default;

std::unique_ptr<IndexBuilder> IndexBuilder::FromIndex(const Index& index) {
  std::unique_ptr<IndexBuilder> builder(
      new IndexBuilder(index.language_ptr(), 1.2, 0.75));
  const IndexData& data = index.data();
  builder->field_names_ = data.fields;
  builder->field_boosts_ = data.field_boosts;
  builder->base_ = std::make_unique<Base>();
  builder->base_->data = data;
  builder->base_->removed.assign(data.refs.size(), 0);
  return builder;
}

bool IndexBuilder::rehydrated() const { return base_ != nullptr; }

int64_t IndexBuilder::FindField(std::string_view name) const {
  for (size_t f = 0; f < field_names_.size(); ++f) {
    if (field_names_[f] == name) return static_cast<int64_t>(f);
  }
  return -1;
}

uint32_t IndexBuilder::DeclareField(std::string name, double boost) {
  CheckFieldName(name, *language_);
  const int64_t existing = FindField(name);
  if (existing >= 0) return static_cast<uint32_t>(existing);
  const double clamped = ClampFieldBoost(boost);
  if (base_) {
    // Widen the base's document-major length table by one column.
    IndexData& data = base_->data;
    const size_t old_width = data.fields.size();
    std::vector<uint32_t> lengths(data.refs.size() * (old_width + 1), 0);
    for (size_t d = 0; d < data.refs.size(); ++d) {
      std::copy_n(data.field_lengths.begin() + d * old_width, old_width,
                  lengths.begin() + d * (old_width + 1));
    }
    data.field_lengths.swap(lengths);
    data.fields.push_back(name);
    data.field_boosts.push_back(clamped);
  }
  field_names_.push_back(std::move(name));
  field_boosts_.push_back(clamped);
  return static_cast<uint32_t>(field_names_.size() - 1);
}

void IndexBuilder::Stage(const StagedDocument& doc) {
  PackedDocument packed(doc);
  if (doc.ref.empty()) {
    BrokenPrecondition(
        "empty document references are rejected at the binding boundary");
  }
  const int64_t existing = staged_refs_->Find(staged_, doc.ref);
  if (existing >= 0) {
    staged_[existing] = std::move(packed);
    return;
  }
  staged_.push_back(std::move(packed));
  staged_refs_->Insert(staged_.back().ref(),
                       static_cast<uint32_t>(staged_.size() - 1));
}

bool IndexBuilder::Remove(std::string_view ref) {
  bool found = false;
  if (staged_refs_->Find(staged_, ref) >= 0) {
    std::erase_if(staged_,
                  [ref](const PackedDocument& d) { return d.ref() == ref; });
    staged_refs_->Rebuild(staged_);
    found = true;
  }
  if (base_) {
    IndexData& data = base_->data;
    auto it = std::lower_bound(data.refs.begin(), data.refs.end(), ref);
    if (it != data.refs.end() && *it == ref) {
      uint8_t& removed = base_->removed[it - data.refs.begin()];
      if (!removed) {
        removed = 1;
        if (data.document_count > 0) --data.document_count;
        found = true;
      }
    }
  }
  return found;
}

void IndexBuilder::Clear() {
  staged_.clear();
  staged_refs_->Clear();
}

namespace {

// A staged document's reference as the sort into reference order sees it:
// 16 of its bytes from some depth on, as two big-endian numbers (zero past
// its end), which tell most references apart without reading them again.
// Of a million references scattered over the heap, reading each is what
// costs.
struct RefKey {
  uint64_t head[2];
  std::string_view ref;
  uint32_t staged;
};

uint64_t BigEndianWord(std::string_view s, size_t from) {
  uint8_t bytes[8] = {};
  if (from < s.size()) {
    std::memcpy(bytes, s.data() + from, std::min<size_t>(8, s.size() - from));
  }
  uint64_t word = 0;
  for (const uint8_t b : bytes) word = (word << 8) | b;
  return word;
}

void LoadHead(RefKey* key, size_t depth) {
  key->head[0] = BigEndianWord(key->ref, depth);
  key->head[1] = BigEndianWord(key->ref, depth + 8);
}

bool HeadLess(const RefKey& a, const RefKey& b) {
  return a.head[0] != b.head[0] ? a.head[0] < b.head[0]
                                : a.head[1] < b.head[1];
}

bool HeadEqual(const RefKey& a, const RefKey& b) {
  return a.head[0] == b.head[0] && a.head[1] == b.head[1];
}

// Sorts keys whose references agree before `depth` and whose heads hold
// their bytes from `depth` on into byte order of the references, equal
// ones in staging order: by heads, then each run of equal heads by the
// next 16 bytes, each reference read again only as far as it ties.
void SortRefKeys(RefKey* begin, RefKey* end, size_t depth) {
  // References agreeing this far are rare: they are compared whole, and
  // the recursion stays shallow whatever their length.
  constexpr size_t kWholeFrom = 256;
  if (depth >= kWholeFrom) {
    std::sort(begin, end, [](const RefKey& a, const RefKey& b) {
      const int order = a.ref.compare(b.ref);
      return order != 0 ? order < 0 : a.staged < b.staged;
    });
    return;
  }
  std::sort(begin, end, HeadLess);
  for (RefKey* run = begin; run != end;) {
    RefKey* run_end = run + 1;
    while (run_end != end && HeadEqual(*run, *run_end)) ++run_end;
    if (run_end - run > 1) {
      const bool longer = std::any_of(run, run_end, [&](const RefKey& k) {
        return k.ref.size() > depth + 16;
      });
      if (longer) {
        for (RefKey* k = run; k != run_end; ++k) LoadHead(k, depth + 16);
        SortRefKeys(run, run_end, depth + 16);
      } else {
        // They end within these bytes, equal but for zeros past their
        // ends: a shorter one is a prefix of a longer one.
        std::sort(run, run_end, [](const RefKey& a, const RefKey& b) {
          return a.ref.size() != b.ref.size() ? a.ref.size() < b.ref.size()
                                              : a.staged < b.staged;
        });
      }
    }
    run = run_end;
  }
}

// How many staged documents ahead the merge of documents loads.
constexpr size_t kMergeAhead = 8;

// Whether two keys, next to each other once sorted, have the same
// reference: equal references end up with equal heads, so keys whose
// heads differ need not read their references again.
bool SameRef(const RefKey& a, const RefKey& b) {
  return a.ref.size() == b.ref.size() && HeadEqual(a, b) && a.ref == b.ref;
}

}  // namespace

// Staged documents in reference order, their references in `*refs`; of
// equal references the later one wins (staging already keeps them unique).
std::vector<uint32_t> IndexBuilder::StagedInRefOrder(
    std::vector<std::string_view>* refs) const {
  std::vector<RefKey> keys(staged_.size());
  for (size_t i = 0; i < staged_.size(); ++i) {
    keys[i].ref = staged_[i].ref();
    keys[i].staged = static_cast<uint32_t>(i);
    if (keys[i].ref.empty()) {
      BrokenPrecondition(
          "empty document references are rejected at the binding boundary");
    }
    LoadHead(&keys[i], 0);
  }
  SortRefKeys(keys.data(), keys.data() + keys.size(), 0);
  std::vector<uint32_t> order;
  order.reserve(keys.size());
  refs->clear();
  refs->reserve(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    if (!order.empty() && SameRef(keys[i - 1], keys[i])) {
      order.back() = keys[i].staged;
      refs->back() = keys[i].ref;
    } else {
      order.push_back(keys[i].staged);
      refs->push_back(keys[i].ref);
    }
  }
  return order;
}

// Merges the live base documents with the staged ones (`staged_order`)
// into out's documents; document ids are the merged order. A staged
// document replaces a base one with its reference without counting again.
IndexBuilder::DocumentIds IndexBuilder::MergeDocuments(
    const std::vector<uint32_t>& staged_order,
    const std::vector<std::string_view>& refs, IndexData* out) const {
  const IndexData* base = base_ ? &base_->data : nullptr;
  const size_t field_count = field_names_.size();
  const size_t base_docs = base ? base->refs.size() : 0;
  const size_t total = base_docs + staged_order.size();
  DocumentIds ids{std::vector<uint32_t>(base_docs, kDroppedDocument),
                  std::vector<uint32_t>(staged_order.size())};
  uint64_t document_count = base ? base->document_count : 0;
  uint64_t ref_bytes = base ? base->refs.bytes() : 0;
  // Summed in staging order, the order the documents lie in on the heap
  // (staging keeps references unique, so every one is built).
  for (const PackedDocument& staged : staged_) ref_bytes += staged.ref().size();
  out->refs.reserve(total,
                    std::min<uint64_t>(ref_bytes, StringTable::kMaxBytes));
  out->field_lengths.reserve(total * field_count);
  size_t i = 0;
  size_t j = 0;
  while (i < base_docs || j < staged_order.size()) {
    // The staged documents come in reference order, not in the order they
    // lie in on the heap: what comes a few steps later is loaded ahead.
    if (j + kMergeAhead < staged_order.size()) {
      __builtin_prefetch(refs[j + kMergeAhead].data());
      __builtin_prefetch(&staged_[staged_order[j + kMergeAhead]]);
    }
    if (i < base_docs && base_->removed[i]) {
      ++i;
      continue;
    }
    const uint32_t doc = static_cast<uint32_t>(out->refs.size());
    // < 0: base first, > 0: staged first, 0: same reference.
    const int order =
        i == base_docs             ? 1
        : j == staged_order.size() ? -1
                                   : base->refs[i].compare(refs[j]);
    if (order < 0) {
      ids.base[i] = doc;
      AppendReference(base->refs[i], &out->refs);
      AppendBoost(base->doc_boost(static_cast<uint32_t>(i)), total, out);
      auto lengths = base->field_lengths.begin() + i * field_count;
      out->field_lengths.insert(out->field_lengths.end(), lengths,
                                lengths + field_count);
      ++i;
      continue;
    }
    if (order == 0) {
      ++i;  // replaced
    } else {
      ++document_count;
    }
    const PackedDocument& staged = staged_[staged_order[j]];
    ids.staged[j] = doc;
    AppendReference(refs[j], &out->refs);
    AppendBoost(SanitizeDocumentBoost(staged.boost()), total, out);
    out->field_lengths.resize(out->field_lengths.size() + field_count, 0);
    ++j;
  }
  out->document_count = document_count;
  return ids;
}

namespace {

// What a (field, document) pair costs beyond its text, in bytes of text:
// fitted to the times of two shares of fortunes, one with every short
// title and the other bodies alone.
constexpr uint64_t kFieldCharge = 4;
// Text with any non-ASCII byte takes the general Unicode path, which costs
// about half as much again per byte.
constexpr uint64_t kNonAsciiCostPercent = 150;
// A staged document left out of the build (replaced by a later one).
constexpr uint32_t kNotBuilt = UINT32_MAX;
// More workers than this never pay for their tables.
constexpr size_t kMaxWorkers = 64;

}  // namespace

// Cuts the pairs into shares of about equal cost, one per worker; the
// first share also carries the copying of the base's postings. Each
// document's header is read once, for all its fields.
std::vector<IndexBuilder::Share> IndexBuilder::SplitWork(
    const std::vector<uint32_t>& staged_order,
    const BuildOptions& options) const {
  const size_t docs = staged_order.size();
  const size_t field_count = field_names_.size();
  const size_t pairs = field_count * docs;
  const size_t wanted = options.threads == 0 ? AvailableCores()
                                             : options.threads;
  // Sizes and costs of the pairs, field-major; costs only when the work
  // may be split.
  std::vector<uint64_t> sizes(wanted > 1 ? pairs : 0);
  std::vector<uint64_t> cost(wanted > 1 ? pairs : 0);
  // The documents are read in staging order, the order they lie in on the
  // heap; in reference order each would be a wait of its own.
  std::vector<uint32_t> rank(staged_.size(), kNotBuilt);
  for (size_t d = 0; d < docs; ++d) {
    rank[staged_order[d]] = static_cast<uint32_t>(d);
  }
  std::vector<std::string_view> texts(field_count);
  uint64_t text_bytes = 0;
  for (size_t s = 0; s < staged_.size(); ++s) {
    const size_t d = rank[s];
    if (d == kNotBuilt) continue;
    std::fill(texts.begin(), texts.end(), std::string_view());
    staged_[s].Texts(texts.data(), field_count);
    for (size_t f = 0; f < field_count; ++f) {
      const std::string_view t = texts[f];
      text_bytes += t.size();
      if (wanted <= 1) continue;
      sizes[f * docs + d] = t.size();
      cost[f * docs + d] =
          kFieldCharge +
          (IsAscii(t) ? t.size() : t.size() * kNonAsciiCostPercent / 100);
    }
  }
  const uint64_t base_cost =
      base_ ? base_->data.positions.size() + 4 * base_->data.postings.size()
            : 0;
  const uint64_t by_size = (base_cost + text_bytes + pairs * kFieldCharge) /
                           std::max<uint64_t>(options.min_bytes_per_thread, 1);
  const size_t workers = static_cast<size_t>(std::clamp<uint64_t>(
      std::min<uint64_t>(wanted, by_size), 1, kMaxWorkers));
  if (workers == 1) return {Share{0, pairs, text_bytes}};

  uint64_t total = base_cost;
  for (const uint64_t c : cost) total += c;
  std::vector<Share> shares;
  uint64_t done = base_cost;
  Share share{0, 0, 0};
  for (size_t i = 0; i < pairs; ++i) {
    done += cost[i];
    share.text_bytes += sizes[i];
    // The share ends where the running cost passes its fair part.
    if (shares.size() + 1 < workers && i + 1 < pairs &&
        done * workers >= total * (shares.size() + 1)) {
      share.end = i + 1;
      shares.push_back(share);
      share = Share{i + 1, i + 1, 0};
    }
  }
  share.end = pairs;
  shares.push_back(share);
  return shares;
}

IndexPtr IndexBuilder::Build(const BuildOptions& options,
                             BuildStats* stats) const {
  const IndexData* base = base_ ? &base_->data : nullptr;
  const size_t field_count = field_names_.size();

  IndexData out;
  out.language = base ? base->language : language_->code();
  out.pipeline = base ? base->pipeline : language_->pipeline();
  out.fields = field_names_;
  out.field_boosts = field_boosts_;
  out.k1 = base ? base->k1 : SanitizeK1(k1_);
  out.b = base ? base->b : SanitizeB(b_);

  std::vector<std::string_view> refs;
  const std::vector<uint32_t> staged_order = StagedInRefOrder(&refs);
  const DocumentIds ids = MergeDocuments(staged_order, refs, &out);
  std::vector<std::string_view>().swap(refs);
  const std::vector<Share> shares = SplitWork(staged_order, options);
  uint64_t text_bytes = 0;
  for (const Share& share : shares) text_bytes += share.text_bytes;

  // Each worker analyses its share into its own accumulator (the first
  // one also takes the base) and orders its terms; the accumulators are
  // then merged in order. Workers write distinct field lengths of `out`.
  std::vector<std::unique_ptr<PostingAccumulator>> parts(shares.size());
  const size_t docs = staged_order.size();
  ParallelFor(shares.size(), [&](size_t w) {
    parts[w] =
        std::make_unique<PostingAccumulator>(*language_, max_token_length_);
    PostingAccumulator& part = *parts[w];
    part.Reserve(w == 0 ? text_bytes : shares[w].text_bytes,
                 w == 0 ? base : nullptr);
    if (w == 0 && base) part.AddBasePostings(*base, ids.base);
    for (size_t i = shares[w].begin; i < shares[w].end; ++i) {
      // The documents are visited in reference order, not in the order
      // they lie in on the heap: the next ones are loaded ahead, each
      // document two steps before its bytes.
      if (i + 4 < shares[w].end) {
        __builtin_prefetch(&staged_[staged_order[(i + 4) % docs]]);
      }
      if (i + 2 < shares[w].end) {
        staged_[staged_order[(i + 2) % docs]].Prefetch();
      }
      const uint32_t f = static_cast<uint32_t>(i / docs);
      const uint32_t doc = ids.staged[i % docs];
      out.field_lengths[static_cast<size_t>(doc) * field_count + f] =
          FieldLengthOf(part.AddField(
              staged_[staged_order[i % docs]].text(f), f, doc));
    }
    part.EndFields();
    ReleaseFreeMemory();
  });
  std::vector<PostingAccumulator*> merged;
  uint64_t dropped = 0;
  for (const auto& part : parts) {
    merged.push_back(part.get());
    dropped += part->dropped_tokens();
  }
  if (stats != nullptr) stats->dropped_tokens = dropped;
  PostingAccumulator::Merge(merged, &out, shares.size(), base == nullptr);
  parts.clear();
  return Index::Make(std::move(out), language_);
}

}  // namespace vrim
