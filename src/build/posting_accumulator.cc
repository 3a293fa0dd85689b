#include "build/posting_accumulator.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <queue>
#include <stdexcept>
#include <utility>

#include "analysis/utf8.h"
#include "build/parallel_for.h"
#include "build/posting_sorter.h"
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

// Replaces `*container` by an empty one, freeing its storage.
template <class T>
void Free(T* container) {
  *container = T();
}

}  // namespace

PostingAccumulator::PostingAccumulator(const Language& language,
                                       uint64_t max_token_length)
    : language_(language),
      keeps_words_(language.keeps_words()),
      analyzer_(language, max_token_length) {}

void PostingAccumulator::Reserve(uint64_t text_bytes, const IndexData* base) {
  // Short documents repeat few words: a collection of fortunes makes a
  // posting per 7 to 8 bytes of text, long documentation one per 20.
  const uint64_t postings =
      text_bytes / 6 + (base ? base->postings.size() : 0);
  const uint64_t positions =
      text_bytes / 2 + (base ? base->positions.size() : 0);
  postings_.reserve(postings);
  positions_.reserve(positions);
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
  // The interners' tables and strings grow by doubling copies; the old
  // copies stay resident in the allocator's heap, and are handed back
  // each time the interners have doubled.
  if (terms_.size() + surfaces_.size() >= trim_at_) {
    ReleaseFreeMemory();
    trim_at_ *= 2;
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
  for (size_t s = 0; s < local_terms_.size(); ++s) {
    one_term_.assign(scratch_.begin() + local_begin_[s],
                     scratch_.begin() + local_begin_[s + 1]);
    const uint32_t tf = static_cast<uint32_t>(one_term_.size());
    const size_t offset = positions_.size();
    EncodePositions(&one_term_, &positions_);
    postings_.push_back(local_terms_[s], doc,
                        StagedValues{offset, field, tf, tf},
                        positions_.size() - offset);
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
  Free(&one_term_);
}

void PostingAccumulator::EndFields() {
  terms_.DropTable();
  Free(&surfaces_);
  Free(&surface_term_);
  FreeFieldScratch();
  const std::vector<uint32_t> order = terms_.ByteOrder();
  sorted_terms_.bytes.reserve(terms_.bytes());
  sorted_terms_.ends.reserve(order.size());
  for (uint32_t id : order) {
    sorted_terms_.bytes.append(terms_.term(id));
    sorted_terms_.ends.push_back(sorted_terms_.bytes.size());
  }
  sorted_terms_.ids = order;
  Free(&terms_);
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

// Appends the bytes of `from` to `to`, a slice at a time, handing each
// copied slice's pages back at once.
void MoveInSlices(std::string* from, std::string* to) {
  constexpr size_t kSlice = size_t{1} << 20;
  char* data = from->data();
  for (size_t begin = 0; begin < from->size(); begin += kSlice) {
    const size_t end = std::min(from->size(), begin + kSlice);
    to->append(data + begin, end - begin);
    ReleasePages(data + begin, end - begin);
  }
  Free(from);
}

// Appends the postings of `from` to `to`, their lists moved `shift` bytes
// on, a slice at a time, handing each copied slice's pages back at once:
// `from` is freed as `to` grows, never both in full.
void MoveInSlices(StagedPostings* from, StagedPostings* to, uint64_t shift) {
  constexpr size_t kSlice = size_t{1} << 16;
  StagedPosting* data = from->data();
  for (size_t begin = 0; begin < from->size(); begin += kSlice) {
    const size_t end = std::min(from->size(), begin + kSlice);
    for (size_t i = begin; i < end; ++i) {
      StagedValues v = from->values(data[i]);
      v.positions_offset += shift;
      to->push_back(data[i].term, data[i].doc, v,
                    StagedPostings::list_length(data[i]));
    }
    ReleasePages(data + begin, (end - begin) * sizeof(data[0]));
  }
  Free(from);
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

// Lays out sorted parts whose postings follow each other within every
// term, on a thread per part: a part's postings of a term land in the
// term's run after those of the parts before it, their lists likewise.
// A block of terms at a time: each part counts its postings and list
// bytes per term of the block (cell p * width_ + t of the tables), which
// become where they start, then lays them out and hands back the pages of
// the postings it has read. The lists of all postings are exactly their
// parts' buffers of lists.
class PartsLayout {
 public:
  // REQUIRES: every part sorted by (term, field, doc), its term ids ranks
  // into out->terms; the fields and documents of `out` set.
  PartsLayout(std::vector<StagedPostings*> postings,
              std::vector<std::string*> lists, IndexData* out)
      : postings_(std::move(postings)),
        lists_(std::move(lists)),
        out_(*out),
        n_(postings_.size()),
        terms_(out->terms.size()),
        // Blocks small enough that the tables stay small beside the
        // postings, and few enough that starting their threads costs
        // little.
        width_(std::min(terms_, std::max<size_t>(size_t{1} << 13,
                                                 terms_ / 64))),
        postings_at_(n_ * width_),
        lists_at_(n_ * width_),
        next_(n_, 0),
        ends_(n_, 0),
        wide_(n_) {}

  void Run() {
    Reserve();
    out_.term_postings.assign(terms_ + 1, 0);
    for (size_t first = 0; first < terms_; first += width_) {
      const size_t last = std::min(terms_, first + width_);
      ParallelFor(n_, [&](size_t p) { Count(p, first, last); });
      Start(first, last);
      out_.positions.resize(byte_);
      ParallelFor(n_, [&](size_t p) { LayOut(p, first, last); });
      next_ = ends_;
    }
    out_.term_postings[terms_] = posting_;
    MakeWide();
    for (size_t p = 0; p < n_; ++p) {
      Free(postings_[p]);
      Free(lists_[p]);
    }
  }

 private:
  // A posting too wide to pack, and where it goes.
  struct Unpacked {
    uint64_t slot;
    uint32_t doc;
    StagedValues values;
  };

  void Reserve() {
    uint64_t total = 0;
    uint64_t bytes = 0;
    for (size_t p = 0; p < n_; ++p) {
      total += postings_[p]->size();
      bytes += lists_[p]->size();
    }
    // Term starts are 32 bits wide: checked before they are counted.
    if (total > Postings::kMaxSize) throw std::length_error(kTooManyPostings);
    out_.postings.reserve(total);
    AdviseHugePages(out_.postings.data(), total * sizeof(Posting));
    out_.postings.Grow(total);
    // Sized block by block: the bytes resize() clears stay unwritten, and
    // so out of memory, until their block is laid out.
    out_.positions.reserve(bytes);
    AdviseHugePages(out_.positions.data(), out_.positions.capacity());
  }

  const uint8_t* ListsOf(size_t p) const {
    return reinterpret_cast<const uint8_t*>(lists_[p]->data());
  }

  // Part p's postings and list bytes per term of [first, last), and where
  // its postings of that block end.
  void Count(size_t p, size_t first, size_t last) {
    const StagedPostings& staged = *postings_[p];
    uint32_t* const postings = postings_at_.data() + p * width_;
    uint64_t* const lists = lists_at_.data() + p * width_;
    std::fill_n(postings, last - first, 0);
    std::fill_n(lists, last - first, 0);
    size_t i = next_[p];
    for (; i < staged.size() && staged.data()[i].term < last; ++i) {
      const StagedPosting& q = staged.data()[i];
      ++postings[q.term - first];
      lists[q.term - first] += ListLength(ListsOf(p), staged, q);
    }
    ends_[p] = i;
  }

  // The counts become starts, term by term, part by part.
  void Start(size_t first, size_t last) {
    for (size_t t = 0; t < last - first; ++t) {
      out_.term_postings[first + t] = posting_;
      for (size_t c = t; c < n_ * width_; c += width_) {
        posting_ += std::exchange(postings_at_[c], posting_);
        byte_ += std::exchange(lists_at_[c], byte_);
      }
    }
  }

  // Where the lists of part p's postings of block term t end: where the
  // next part's (or the next term's first part's) begin.
  uint64_t ListsEnd(size_t p, size_t t, size_t block) const {
    if (p + 1 < n_) return lists_at_[(p + 1) * width_ + t];
    return t + 1 < block ? lists_at_[t + 1] : byte_;
  }

  void LayOut(size_t p, size_t first, size_t last) {
    StagedPostings& staged = *postings_[p];
    const uint8_t* const lists = ListsOf(p);
    const uint8_t* const lists_end = lists + lists_[p]->size();
    StagedPosting* const data = staged.data();
    char* const positions = out_.positions.data();
    uint32_t term = kNone;
    uint64_t slot = 0;
    char* to = nullptr;
    const char* to_end = nullptr;
    for (size_t i = next_[p]; i < ends_[p]; ++i) {
      const StagedPosting& q = data[i];
      if (q.term != term) {
        term = q.term;
        const size_t t = term - first;
        slot = postings_at_[p * width_ + t];
        to = positions + lists_at_[p * width_ + t];
        to_end = positions + ListsEnd(p, t, last - first);
      }
      if (!LayOutPosting(staged, i, ends_[p], lists, lists_end, &to, to_end,
                         out_.postings.data() + slot)) {
        wide_[p].push_back(Unpacked{slot, q.doc, staged.values(q)});
      }
      ++slot;
    }
    ReleasePages(data + next_[p], (ends_[p] - next_[p]) * sizeof(data[0]));
  }

  // Those too wide to pack keep their values in the table's side list,
  // which only this thread may fill.
  void MakeWide() {
    for (const std::vector<Unpacked>& part : wide_) {
      for (const Unpacked& w : part) {
        const StagedValues& v = w.values;
        if (!out_.postings.Make(v.field, w.doc, v.tf, v.position_count,
                                out_.postings.data() + w.slot)) {
          throw std::length_error(kTooManyPostings);
        }
      }
    }
  }

  const std::vector<StagedPostings*> postings_;
  const std::vector<std::string*> lists_;
  IndexData& out_;
  const size_t n_;
  const size_t terms_;
  const size_t width_;
  std::vector<uint32_t> postings_at_;
  std::vector<uint64_t> lists_at_;
  std::vector<size_t> next_;  // each part's first posting not laid out
  std::vector<size_t> ends_;  // and past its postings of the block
  std::vector<std::vector<Unpacked>> wide_;
  uint32_t posting_ = 0;  // postings and list bytes counted so far
  uint64_t byte_ = 0;
};

}  // namespace

void PostingAccumulator::LayOutParts(
    const std::vector<PostingAccumulator*>& parts, IndexData* out) {
  std::vector<StagedPostings*> postings;
  std::vector<std::string*> lists;
  for (PostingAccumulator* part : parts) {
    postings.push_back(&part->postings_);
    lists.push_back(&part->positions_);
  }
  PartsLayout(std::move(postings), std::move(lists), out).Run();
}

void PostingAccumulator::Merge(const std::vector<PostingAccumulator*>& parts,
                               IndexData* out, size_t threads, bool ordered) {
  PostingAccumulator& first = *parts[0];
  std::vector<const SortedTerms*> sorted;
  for (PostingAccumulator* part : parts) sorted.push_back(&part->sorted_terms_);
  TermListMerge merge(sorted);
  const std::vector<TermSource>& sources = merge.sources();
  size_t term_bytes = 0;
  for (const SortedTerms* part : sorted) term_bytes += part->bytes.size();
  out->terms.reserve(sources.size(), term_bytes);
  for (const TermSource& source : sources) {
    out->terms.push_back(merge.term(source));
  }
  const std::vector<std::vector<uint32_t>> ranks = std::move(merge.ranks());
  for (PostingAccumulator* part : parts) Free(&part->sorted_terms_);
  if (ordered && parts.size() > 1) {
    // Each part's term ids become ranks and its postings are sorted, on a
    // thread of its own.
    ParallelFor(parts.size(), [&](size_t p) {
      StagedPostings* staged = &parts[p]->postings_;
      for (StagedPosting& q : *staged) q.term = ranks[p][q.term];
      SortPostings(staged, out->terms.size(), out->fields.size(),
                   out->refs.size(), 1);
    });
    LayOutParts(parts, out);
    return;
  }
  // Term ids become ranks on every part at once, then the later parts'
  // postings and positions follow the first one's.
  ParallelFor(parts.size(), [&](size_t p) {
    for (StagedPosting& q : parts[p]->postings_) q.term = ranks[p][q.term];
  });
  for (size_t p = 1; p < parts.size(); ++p) {
    PostingAccumulator& later = *parts[p];
    const uint64_t shift = first.positions_.size();
    MoveInSlices(&later.positions_, &first.positions_);
    MoveInSlices(&later.postings_, &first.postings_, shift);
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
