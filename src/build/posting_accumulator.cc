#include "build/posting_accumulator.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <queue>
#include <stdexcept>
#include <utility>

#include "analysis/utf8.h"
#include "build/free_storage.h"
#include "build/parallel_for.h"
#include "build/posting_sorter.h"
#include "build/stream_layout.h"
#include "index/memory_pages.h"
#include "index/varint.h"

namespace vrim {

namespace {

// Marks a token's term as a stop word, or as not yet known.
constexpr uint32_t kNone = UINT32_MAX;
constexpr uint32_t kPending = UINT32_MAX - 1;
// Marks a token without a position until its term's length is known.
constexpr uint64_t kNoLength = UINT64_MAX;
// Lookups of later tokens are started this many tokens ahead: the tables
// are larger than the caches, and their misses dominate otherwise.
constexpr size_t kAhead = 16;
// Token texts the surface cache holds before it starts over.
constexpr size_t kMaxSurfaces = size_t{1} << 16;
// Tokens of a field whose analysis buffers are freed once it is done.
constexpr size_t kLargeField = size_t{1} << 13;

}  // namespace

PostingAccumulator::PostingAccumulator(const Language& language,
                                       uint64_t max_token_length)
    : language_(language),
      keeps_words_(language.keeps_words()),
      analyzer_(language, max_token_length) {}

void PostingAccumulator::Reserve(uint64_t text_bytes, const IndexData* base) {
  // Postings and their lists take about half a byte of stream per byte of
  // text on documentation, 0.6 on short fortunes; more than a byte only
  // on texts of short words that are nearly all distinct.
  stream_.reserve(text_bytes);
  if (base == nullptr) return;
  // A build on a base expands the stream beside the base's postings:
  // short documents make a posting per 7 to 8 bytes of text, long
  // documentation one per 20.
  postings_.reserve(text_bytes / 6 + base->postings.size());
  positions_.reserve(text_bytes / 2 + base->positions.size());
}

void PostingAccumulator::AddBasePostings(const IndexData& base,
                                         const std::vector<uint32_t>& doc_map) {
  // The base's lists lie back to back in postings order.
  const uint8_t* list = reinterpret_cast<const uint8_t*>(base.positions.data());
  for (size_t t = 0; t < base.terms.size(); ++t) {
    uint32_t id = kNone;
    for (uint64_t i = base.term_postings[t]; i < base.term_postings[t + 1];
         ++i) {
      const Posting& p = base.postings[i];
      const uint32_t count = base.postings.position_count(p);
      const size_t size = EncodedPositionsLength(list, count);
      list += size;
      if (doc_map[p.doc] == kDroppedDocument) continue;
      bool added;
      if (id == kNone) id = terms_.Intern(MakeKey(base.terms[t]), &added);
      postings_.push_back(id, doc_map[p.doc],
                          StagedValues{positions_.size(),
                                       base.postings.field(p),
                                       base.postings.tf(p), count},
                          size);
      positions_.append(reinterpret_cast<const char*>(list - size), size);
    }
  }
}

uint64_t PostingAccumulator::AddField(std::string_view text, uint32_t field,
                                      uint32_t doc) {
  if (text.empty()) return 0;
  const size_t kept = ResolveTerms(analyzer_.Analyse(text));
  if (kept == 0) return 0;
  GroupByTerm(kept);
  EmitPostings(field, doc);
  if (surfaces_.size() >= kMaxSurfaces) ForgetSurfaces();
  if (kept >= kLargeField) FreeFieldScratch();
  // The interners' tables grow by half and their strings by doubling
  // copies; the old copies stay resident in the allocator's heap, and are
  // handed back as often as the tables grow.
  if (terms_.size() + surfaces_.size() >= trim_at_) {
    ReleaseFreeMemory();
    trim_at_ += trim_at_ / 2;
  }
  return kept;
}

// The surface table is a cache of what the pipeline makes of each text;
// past this many texts, mostly rare ones, it is emptied and starts over,
// so that it does not grow as large as the terms themselves.
void PostingAccumulator::ForgetSurfaces() {
  surfaces_ = TermInterner("token text");
  Free(&surface_term_);
}

// Fills token_term_, token_surface_ and grouped_ for the tokens the
// pipeline keeps; returns how many it keeps.
size_t PostingAccumulator::ResolveTerms(const std::vector<KeyedToken>& keys) {
  if (keeps_words_) return InternWords(keys);
  const size_t n = keys.size();
  for (size_t k = 0; k < std::min(n, kAhead); ++k) {
    surfaces_.Prefetch(keys[k].key.hash);
  }
  token_term_.resize(n);
  token_surface_.resize(n);
  grouped_.resize(n);
  pending_.clear();
  size_t kept = 0;
  for (size_t k = 0; k < n; ++k) {
    if (k + kAhead < n) surfaces_.Prefetch(keys[k + kAhead].key.hash);
    const KeyedToken& token = keys[k];
    uint32_t surface;
    const uint32_t term = TermOf(token.key, &surface);
    if (term == kNone) continue;  // a stop word
    token_term_[kept] = term;
    token_surface_[kept] = surface;
    if (token.has_position) {
      grouped_[kept] = token.position;
    } else if (term == kPending) {
      grouped_[kept] = Position{0, kNoLength};
    } else {
      grouped_[kept] = Position{0, CountCodePoints(terms_.term(term))};
    }
    ++kept;
  }
  if (kept > 0 && !pending_.empty()) ResolvePending(kept);
  return kept;
}

// ResolveTerms for a language whose token texts are their own terms:
// each is interned as a term at once, with no surface table, no stop-word
// test and no stem. Keeps every token.
size_t PostingAccumulator::InternWords(const std::vector<KeyedToken>& keys) {
  const size_t n = keys.size();
  for (size_t k = 0; k < std::min(n, kAhead); ++k) {
    terms_.Prefetch(keys[k].key.hash);
  }
  token_term_.resize(n);
  grouped_.resize(n);
  for (size_t k = 0; k < n; ++k) {
    if (k + kAhead < n) terms_.Prefetch(keys[k + kAhead].key.hash);
    const KeyedToken& token = keys[k];
    bool added;
    token_term_[k] = terms_.Intern(token.key, &added);
    grouped_[k] = token.has_position
                      ? token.position
                      : Position{0, CountCodePoints(token.key.text)};
  }
  return n;
}

// The term a trimmed token text becomes: kNone for a stop word, kPending
// for a text first seen in this field (ResolvePending settles it). Sets
// `*surface` to the text's id.
uint32_t PostingAccumulator::TermOf(const HashedKey& key, uint32_t* surface) {
  bool added;
  *surface = surfaces_.Intern(key, &added);
  if (!added) return surface_term_[*surface];
  if (language_.is_stop_word(key.text)) {
    surface_term_.push_back(kNone);
    return kNone;
  }
  pending_.push_back(Pending{*surface, language_.stem(key.text)});
  surface_term_.push_back(kPending);
  return kPending;
}

// Interns the stems of the texts first seen in this field, all lookups
// started together (each is likely a cache miss), then fills in the
// tokens' terms and the lengths of tokens that had no position.
void PostingAccumulator::ResolvePending(size_t kept) {
  pending_keys_.clear();
  for (const Pending& p : pending_) {
    pending_keys_.push_back(MakeKey(p.stem));
    terms_.Prefetch(pending_keys_.back().hash);
  }
  for (size_t i = 0; i < pending_.size(); ++i) {
    bool added;
    surface_term_[pending_[i].surface] =
        terms_.Intern(pending_keys_[i], &added);
  }
  for (size_t k = 0; k < kept; ++k) {
    if (token_term_[k] == kPending) {
      token_term_[k] = surface_term_[token_surface_[k]];
    }
    if (grouped_[k].length == kNoLength) {
      grouped_[k].length = CountCodePoints(terms_.term(token_term_[k]));
    }
  }
}

// Groups the kept occurrences by term without sorting: a term's first
// occurrence in the field claims the next local slot. Leaves each term's
// positions, in token order, in scratch_ from local_begin_[slot]; returns
// the number of distinct terms.
size_t PostingAccumulator::GroupByTerm(size_t kept) {
  local_slots_.Reset(kept);
  local_terms_.clear();
  local_begin_.clear();
  for (size_t k = 0; k < kept; ++k) {
    bool added;
    const uint32_t slot = local_slots_.SlotOf(
        token_term_[k], static_cast<uint32_t>(local_terms_.size()), &added);
    if (added) {
      local_terms_.push_back(token_term_[k]);
      local_begin_.push_back(0);
    }
    token_term_[k] = slot;
    ++local_begin_[slot];
  }
  uint32_t begin = 0;
  for (uint32_t& c : local_begin_) {
    const uint32_t count = c;
    c = begin;
    begin += count;
  }
  local_begin_.push_back(begin);
  cursor_.assign(local_begin_.begin(), local_begin_.end() - 1);
  scratch_.resize(kept);
  for (size_t k = 0; k < kept; ++k) {
    scratch_[cursor_[token_term_[k]]++] = grouped_[k];
  }
  return local_terms_.size();
}

// One posting per distinct term of the field, in order of first
// occurrence, with its positions encoded.
void PostingAccumulator::EmitPostings(uint32_t field, uint32_t doc) {
  stream_.BeginField(field, doc, static_cast<uint32_t>(local_terms_.size()));
  for (size_t s = 0; s < local_terms_.size(); ++s) {
    stream_.Add(local_terms_[s], scratch_.data() + local_begin_[s],
                scratch_.data() + local_begin_[s + 1]);
  }
}

// The buffers of one field's analysis grow to the largest field seen;
// freeing them after a large one keeps them from staying that size while
// the postings grow.
void PostingAccumulator::FreeFieldScratch() {
  analyzer_.FreeBuffers();
  Free(&token_term_);
  Free(&token_surface_);
  Free(&grouped_);
  Free(&pending_);
  Free(&pending_keys_);
  Free(&local_terms_);
  Free(&local_begin_);
  Free(&cursor_);
  Free(&local_slots_);
  Free(&scratch_);
}

void PostingAccumulator::EndFields() {
  terms_.DropTable();
  Free(&surfaces_);
  Free(&surface_term_);
  FreeFieldScratch();
  // What was freed goes back before the sort takes room of its own: the
  // allocator's heap could not always lend it.
  ReleaseFreeMemory();
  sorted_terms_.ids = terms_.ByteOrder();
  sorted_terms_.terms = std::move(terms_);
}

namespace {

// Where a term of the merged dictionary comes from: a part and its place
// in that part's sorted terms.
struct TermSource {
  uint32_t part;
  uint32_t index;
};

// A part's next term in byte order, for the merge of more than two parts.
struct MergeHead {
  std::string_view term;
  uint32_t part;
  bool operator>(const MergeHead& other) const {
    return term != other.term ? term > other.term : part > other.part;
  }
};

// Joins the parts' sorted terms into their union in byte order: one source
// per distinct term, and for each part the rank of every one of its term
// ids.
class TermListMerge {
 public:
  explicit TermListMerge(const std::vector<const SortedTerms*>& parts)
      : parts_(parts), ranks_(parts.size()) {
    size_t total = 0;
    for (size_t p = 0; p < parts.size(); ++p) {
      ranks_[p].resize(parts[p]->size());
      total += parts[p]->size();
    }
    sources_.reserve(total);
    if (parts.size() <= 2) {
      MergeTwo();
    } else {
      MergeMany();
    }
  }

  const std::vector<TermSource>& sources() const { return sources_; }
  std::vector<std::vector<uint32_t>>& ranks() { return ranks_; }
  std::string_view term(const TermSource& s) const {
    return parts_[s.part]->term(s.index);
  }

 private:
  // Ranks the part's term at `index`: a new term unless it equals the last
  // one kept, which only one of another part can (a part's terms are
  // distinct).
  void Take(uint32_t part, size_t index) {
    if (sources_.empty() || sources_.back().part == part ||
        term(sources_.back()) != parts_[part]->term(index)) {
      sources_.push_back(TermSource{part, static_cast<uint32_t>(index)});
    }
    ranks_[part][parts_[part]->ids[index]] =
        static_cast<uint32_t>(sources_.size() - 1);
  }

  void MergeTwo() {
    const size_t a = parts_[0]->size();
    const size_t b = parts_.size() > 1 ? parts_[1]->size() : 0;
    size_t i = 0, j = 0;
    while (i < a && j < b) {
      if (parts_[1]->term(j) < parts_[0]->term(i)) {
        Take(1, j++);
      } else {
        Take(0, i++);
      }
    }
    for (; i < a; ++i) Take(0, i);
    for (; j < b; ++j) Take(1, j);
  }

  void MergeMany() {
    std::vector<size_t> next(parts_.size(), 0);
    std::priority_queue<MergeHead, std::vector<MergeHead>, std::greater<>>
        heads;
    for (uint32_t p = 0; p < parts_.size(); ++p) {
      if (parts_[p]->size() > 0) heads.push({parts_[p]->term(0), p});
    }
    while (!heads.empty()) {
      const uint32_t p = heads.top().part;
      heads.pop();
      Take(p, next[p]);
      if (++next[p] < parts_[p]->size()) {
        heads.push({parts_[p]->term(next[p]), p});
      }
    }
  }

  const std::vector<const SortedTerms*>& parts_;
  std::vector<std::vector<uint32_t>> ranks_;
  std::vector<TermSource> sources_;
};

// Appends the postings of `stream` to `staged`, their terms mapped by
// `ranks` and their lists to `lists`, freeing the stream as it is read:
// for a build on a base, whose postings are sorted as one array.
void Expand(PostingStream* stream, const std::vector<uint32_t>& ranks,
            StagedPostings* staged, std::string* lists) {
  stream->Read(/*release=*/true, [&](const StreamPosting& q) {
    const uint64_t offset = lists->size();
    lists->append(reinterpret_cast<const char*>(q.list), q.length);
    staged->push_back(ranks[q.term], q.doc,
                      StagedValues{offset, q.field, q.tf, q.tf}, q.length);
  });
  stream->clear();
}

// The byte length of the list of `p`, measured when the posting does not
// keep it.
uint64_t ListLength(const uint8_t* lists, const StagedPostings& staged,
                    const StagedPosting& p) {
  const uint64_t kept = StagedPostings::list_length(p);
  if (kept < StagedPosting::kLongList) return kept;
  const StagedValues q = staged.values(p);
  return EncodedPositionsLength(lists + q.positions_offset, q.position_count);
}

// How many postings ahead the layout starts loading a list.
constexpr size_t kListsAhead = 16;

// Copies the list of `length` bytes at `from` to `to`. Most lists take a
// few bytes: those move as one 16-byte block when both buffers have room
// for it, the bytes past the list being written again by the lists after
// it, which a run lays out in order on its own thread up to `to_end`.
inline void CopyList(char* to, const char* to_end, const uint8_t* from,
                     const uint8_t* from_end, uint64_t length) {
  constexpr uint64_t kBlock = 16;
  if (length <= kBlock && to_end - to >= static_cast<ptrdiff_t>(kBlock) &&
      from_end - from >= static_cast<ptrdiff_t>(kBlock)) {
    std::memcpy(to, from, kBlock);
  } else {
    std::memcpy(to, from, length);
  }
}

// Lays out staged posting `i` of `staged`, whose lists are [lists,
// lists_end): copies its list to `*to` and moves that past it (`to_end`
// as CopyList's), and makes its posting in `*out` when it packs; false
// when it does not, for the caller to make. The lists lie in document
// order and are read in postings order: each read misses the cache
// unless started early, so the list kListsAhead postings on (below `end`)
// starts loading here.
inline bool LayOutPosting(const StagedPostings& staged, size_t i, size_t end,
                          const uint8_t* lists, const uint8_t* lists_end,
                          char** to, const char* to_end, Posting* out) {
  const StagedPosting* const data = staged.data();
  if (i + kListsAhead < end) {
    __builtin_prefetch(lists + staged.positions_offset(data[i + kListsAhead]));
  }
  const StagedValues v = staged.values(data[i]);
  const uint64_t length = ListLength(lists, staged, data[i]);
  CopyList(*to, to_end, lists + v.positions_offset, lists_end, length);
  *to += length;
  if (!Postings::Packs(v.field, v.tf, v.position_count)) [[unlikely]] {
    return false;
  }
  *out = Postings::Packed(v.field, data[i].doc, v.tf, v.position_count);
  return true;
}

// Moves the sorted staged postings into `out`, their position lists
// copied in postings order, on up to `threads` threads: a slice of
// postings at a time, each thread taking a run of the slice, whose lists
// land where the lengths of the runs before it end. Each slice's pages
// are handed back once it is copied.
void LayOutInPostingsOrder(StagedPostings* staged, std::string* positions,
                           IndexData* out, size_t threads) {
  constexpr size_t kSlice = size_t{1} << 18;
  const auto* lists = reinterpret_cast<const uint8_t*>(positions->data());
  const uint8_t* const lists_end = lists + positions->size();
  const size_t count = staged->size();
  out->postings.reserve(count);
  out->positions.reserve(positions->size());
  AdviseHugePages(out->postings.data(), count * sizeof(Posting));
  AdviseHugePages(out->positions.data(), out->positions.capacity());
  StagedPosting* data = staged->data();
  const size_t pieces = std::max<size_t>(threads, 1);
  std::vector<uint64_t> run_bytes(pieces + 1);
  for (size_t begin = 0; begin < count; begin += kSlice) {
    const size_t end = std::min(count, begin + kSlice);
    const auto run = [&](size_t w) {
      return begin + (end - begin) * w / pieces;
    };
    ParallelFor(pieces, [&](size_t w) {
      uint64_t bytes = 0;
      for (size_t i = run(w); i < run(w + 1); ++i) {
        bytes += ListLength(lists, *staged, data[i]);
      }
      run_bytes[w + 1] = bytes;
    });
    run_bytes[0] = out->positions.size();
    for (size_t w = 0; w < pieces; ++w) run_bytes[w + 1] += run_bytes[w];
    out->positions.resize(run_bytes[pieces]);
    out->postings.Grow(end - out->postings.size());
    Posting* postings = out->postings.data();
    std::vector<uint8_t> unpacked(pieces, 0);
    ParallelFor(pieces, [&](size_t w) {
      char* to = out->positions.data() + run_bytes[w];
      const char* const to_end = out->positions.data() + run_bytes[w + 1];
      const size_t run_end = run(w + 1);
      for (size_t i = run(w); i < run_end; ++i) {
        // Those that do not pack are made below, on this thread.
        if (!LayOutPosting(*staged, i, run_end, lists, lists_end, &to, to_end,
                           &postings[i])) {
          unpacked[w] = 1;
        }
      }
    });
    const bool any_unpacked =
        std::find(unpacked.begin(), unpacked.end(), 1) != unpacked.end();
    for (size_t i = begin; any_unpacked && i < end; ++i) {
      const StagedValues q = staged->values(data[i]);
      if (!Postings::Packs(q.field, q.tf, q.position_count) &&
          !out->postings.Make(q.field, data[i].doc, q.tf, q.position_count,
                              &postings[i])) {
        throw std::length_error(kTooManyPostings);
      }
    }
    ReleasePages(data + begin, (end - begin) * sizeof(data[0]));
  }
  Free(staged);
  Free(positions);
}

}  // namespace

std::vector<std::vector<uint32_t>> PostingAccumulator::MergeTerms(
    const std::vector<PostingAccumulator*>& parts, IndexData* out) {
  std::vector<const SortedTerms*> sorted;
  for (PostingAccumulator* part : parts) sorted.push_back(&part->sorted_terms_);
  TermListMerge merge(sorted);
  const std::vector<TermSource>& sources = merge.sources();
  size_t term_bytes = 0;
  for (const SortedTerms* part : sorted) term_bytes += part->terms.bytes();
  out->terms.reserve(sources.size(), term_bytes);
  for (const TermSource& source : sources) {
    out->terms.push_back(merge.term(source));
  }
  return std::move(merge.ranks());
}

void PostingAccumulator::Merge(const std::vector<PostingAccumulator*>& parts,
                               IndexData* out, size_t threads, bool fresh) {
  const std::vector<std::vector<uint32_t>> ranks = MergeTerms(parts, out);
  std::vector<std::vector<uint32_t>> ids;
  std::vector<PostingStream*> streams;
  for (PostingAccumulator* part : parts) {
    ids.push_back(std::move(part->sorted_terms_.ids));
    Free(&part->sorted_terms_);
    streams.push_back(&part->stream_);
  }
  if (fresh) {
    LayOutStreams(std::move(streams), std::move(ids), ranks, out);
    return;
  }
  // The base's postings interleave with the new ones in every term: all
  // are gathered into the first part's array, with their ranks, and
  // sorted.
  PostingAccumulator& first = *parts[0];
  for (StagedPosting& q : first.postings_) q.term = ranks[0][q.term];
  for (size_t p = 0; p < parts.size(); ++p) {
    Expand(streams[p], ranks[p], &first.postings_, &first.positions_);
  }

  // Term starts are 32 bits wide: checked before they are counted.
  if (first.postings_.size() > Postings::kMaxSize) {
    throw std::length_error(kTooManyPostings);
  }
  const size_t term_count = out->terms.size();
  out->term_postings.assign(term_count + 1, 0);
  for (const StagedPosting& q : first.postings_) {
    ++out->term_postings[q.term + 1];
  }
  for (size_t t = 0; t < term_count; ++t) {
    out->term_postings[t + 1] += out->term_postings[t];
  }
  SortPostings(&first.postings_, term_count, out->fields.size(),
               out->refs.size(), threads);
  LayOutInPostingsOrder(&first.postings_, &first.positions_, out, threads);
}

}  // namespace vrim
