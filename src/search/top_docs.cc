#include "search/top_docs.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "search/phrase_check.h"
#include "search/phrase_query.h"
#include "search/score_bounds.h"

namespace vrim {

namespace {

// More lists than this (wide wildcard or fuzzy expansions) are cheaper to
// score term at a time, unless the window walk takes them: up to
// kMaxWindowCursors lists holding kMinPostingsPerList postings or more on
// average, long enough for skipping to pay for the windows' work per list.
constexpr size_t kMaxCursors = 48;
constexpr size_t kMaxWindowCursors = 1024;
constexpr uint64_t kMinPostingsPerList = 32;

// Bounds are sums taken in another order than the scores they bound, and
// of values computed with another association; these margins cover the
// rounding differences many times over. A bound of one contribution needs
// no sum margin, so equal scores (a field of equal texts) still prune.
constexpr double kUnitMargin = 1.0 + 1e-12;
constexpr double kSumMargin = 1.0 + 1e-9;

constexpr uint32_t kNoDoc = std::numeric_limits<uint32_t>::max();

// Documents per window of the walk with several proposing lists: a
// window's bound sums and member bits stay in the first-level cache.
constexpr uint32_t kWindowSize = 2048;
constexpr uint32_t kWindowWords = kWindowSize / 64;
// A passive list is read through a window when it holds at most this
// many postings there for each posting proposed, else sought per
// candidate: reading a posting costs a few instructions, seeking one
// candidate several tens.
constexpr uint64_t kReadPerProposed = 4;

// Unit bounds are taken with the index's own average field length; scoring
// with another average `given` multiplies no unit score by more than
// given / own when given > own (the length term of the denominator shrinks
// by that factor, the rest stays) and by at most 1 otherwise. 1.0 exactly
// for the index's own statistics; infinite (no pruning) when the index has
// no average to scale.
double UnitStretch(double given, double own) {
  if (given <= own) return 1.0;
  return own > 0.0 ? given / own : std::numeric_limits<double>::infinity();
}

// The postings of one record in one field of one clause, walked forward.
struct Cursor {
  const Posting* at;
  const Posting* end;
  const Posting* term_first;  // blocks are counted from here
  const Postings* postings;   // the values of at..end
  const float* units;         // posting bounds, from term_first on
  const double* block_units;  // block bounds, from term_first's block on
  uint32_t term;
  uint32_t clause;
  uint32_t record;
  uint32_t field_index;
  bool scores;        // FieldScores() of the record in the field
  double scale;       // field boost x IDF x kUnitMargin
  double multiplier;  // clause boost x the largest phrase factor
  double max_bound;   // bound of every contribution of the list
  // LooseBound(): multiplier x scale and multiplier x 0.0005, or 0 and
  // infinity when the list's bounds are not of that form.
  double loose_scale;
  double loose_add;
  // The block `at` is in, once looked up: where it ends, its bound and
  // its last document.
  const Posting* block_end;
  double block_bound;
  uint32_t block_last;

  bool done() const { return at == end; }
};

// A list read through a window, its walk and bounds held in locals: the
// window's stores could alias the cursor's fields.
struct WindowReader {
  explicit WindowReader(const Cursor& c)
      : p(c.at),
        end(c.end),
        unit(c.units + (c.at - c.term_first)),
        scale(c.loose_scale),
        add(c.loose_add) {}
  bool Before(uint64_t doc) const { return p != end && p->doc < doc; }
  void Next() {
    ++p;
    ++unit;
  }
  // LooseBound() of the posting at `p`.
  double Bound() const { return scale * *unit + add; }

  const Posting* p;
  const Posting* const end;
  const float* unit;
  const double scale;
  const double add;
};

class TopDocsSearch {
 public:
  TopDocsSearch(const Index& index, const std::vector<ClausePlan>& plans,
                uint64_t limit, const DocSet* filter)
      : index_(index),
        data_(index.data()),
        bounds_(ScoreBounds::Of(index)),
        plans_(plans),
        params_(index.data()),
        limit_(limit) {
    // A dense filter is tested per candidate; a sparse one leads the
    // lists to its own documents.
    if (filter != nullptr && filter->dense()) filter_words_ = filter->words();
    if (filter != nullptr && !filter->dense()) allowed_.emplace(*filter);
  }

  // Builds the cursors; false when the query does not suit pruning.
  bool Init();
  void Run(std::vector<ScoredDoc>* out);

 private:
  Cursor MakeCursor(uint32_t clause, uint32_t record, uint32_t field_index,
                    const PostingRange& range) const;
  // The contribution of a unit, rounded to three decimals upwards of the
  // scoring's own rounding (half away from zero) without a library call.
  static double BoundOfUnit(const Cursor& c, double unit) {
    if (!c.scores) return 0.0;
    const double thousandths = c.scale * unit * 1000.0;
    const double rounded =
        thousandths < 4e15
            ? static_cast<double>(static_cast<int64_t>(thousandths + 0.5))
            : thousandths;
    return c.multiplier * (rounded / 1000.0);
  }
  // Whether a document whose score is at most `bound`, a sum of `terms`
  // bounds, cannot enter; never for a bound that is not a number.
  bool CannotEnter(double bound, size_t terms) const {
    return (terms <= 1 ? bound : bound * kSumMargin) <= threshold_;
  }
  // Brings the cursor's block data up to date with `at`.
  // REQUIRES: !c->done().
  void EnterBlock(Cursor* c) const {
    if (c->at < c->block_end) return;
    const uint64_t block = ScoreBounds::BlockOf(
        static_cast<uint64_t>(c->at - c->term_first));
    c->block_end = std::min(
        c->term_first + (block + 1) * ScoreBounds::kBlockSize, c->end);
    c->block_bound = BoundOfUnit(*c, c->block_units[block]);
    c->block_last = (c->block_end - 1)->doc;
  }
  double PostingBound(const Cursor& c) const {
    return BoundOfUnit(c, c.units[c.at - c.term_first]);
  }
  // At least PostingBound(c): rounding to thousandths adds at most half
  // of one.
  static double LooseBound(const Cursor& c) {
    return c.loose_scale * c.units[c.at - c.term_first] + c.loose_add;
  }
  // The first posting of [at, end) on or after `doc`, galloping from `at`.
  static const Posting* FirstFrom(const Posting* at, const Posting* end,
                                  uint64_t doc);
  // Moves `c` to its first posting on or after `doc` (which may lie past
  // every document).
  static void Seek(Cursor* c, uint64_t doc);
  // The least unit of a posting of `c` whose bound, with `others` more
  // (summed over `terms` lists in all), may enter; a float no larger than
  // the unit solved for, so that a posting below it cannot enter.
  float UnitCut(const Cursor& c, double others, size_t terms) const;
  // Seeks the passive lists to `doc`; the first document any is on.
  uint32_t NextPassive(uint32_t doc);
  // The walk while one list proposes candidates and no sparse filter
  // leads: that list's postings in order, those that cannot enter
  // stepped over on their unit alone. Returns when the list is done or
  // proposes no longer.
  void WalkOne();
  // The walk while several lists propose candidates and no sparse filter
  // leads, over the window of documents from `first`. The window is
  // partitioned as the whole walk is, on the block maxima of each list
  // within it: of the proposing lists, those whose window bounds, with
  // the passive lists', cannot make a hit alone only follow. Each
  // proposing list adds its postings' loose bounds up per document in one
  // pass; each following list, and each passive list short enough beside
  // them, then adds its own to the documents proposed. Only a document
  // whose sum, with the bounds of the passive lists left to seek, may
  // enter has those lists sought to it, then the others, and is pruned
  // and scored as in the document-at-a-time walk. A window where no list
  // need propose is stepped over unread. Leaves the lists read through
  // past the window.
  // REQUIRES: `first` is the least document of the proposing lists.
  void WalkWindow(uint32_t first);
  // The bound of every posting of `c` before document `end`, from the
  // maxima of the blocks they are in; zero when it has none there.
  // REQUIRES: !c.done().
  double BlocksBound(const Cursor& c, uint64_t end) const;
  // Orders the proposing lists with postings in the window from `first`
  // to before `end` into window_read_, proposing first; seeks the passive
  // lists to the window for their window bounds, into
  // window_passive_bounds_. False when no list need propose.
  bool PartitionWindow(uint32_t first, uint64_t end);
  // Reads the window lists' postings before `end` into the window from
  // `first`: the proposing ones mark their documents and add their loose
  // bounds, the following ones add to marked documents; each passive
  // list is read the same way or left in window_sought_. Notes where
  // each list read stops; returns the slots used (one past the last
  // marked). Inline in its one caller, as the reading loops want.
  [[gnu::always_inline]] inline uint32_t ReadWindow(uint32_t first,
                                                   uint64_t end);
  // Adds the loose bounds of `c`'s postings before `end` to the marked
  // documents of the window from `first`; returns where it stops.
  const Posting* AddFollowing(const Cursor& c, uint32_t first, uint64_t end);
  // Visits the marked documents of the window from `first` in order,
  // clearing them; those whose bound may enter are pruned and scored.
  void ScoreWindow(uint32_t first, uint32_t slots);
  // Whether `doc`, whose read lists' loose bounds sum to `loose`, cannot
  // enter with the lists of window_sought_ sought to it: Prune's first
  // stage, from a sum already made.
  bool PruneSought(uint32_t doc, double loose);
  // Seeks lists[n - 1] down to lists[0] to `doc`, adding the loose bounds
  // of those on it to `*loose` and counting them in `*terms`; true as soon
  // as the sum with the bounds of the lists not yet sought (prefix[j + 1]
  // for the first j + 1) cannot enter.
  // Part of Prune: kept inline.
  [[gnu::always_inline]] inline bool PruneFollowing(
      uint32_t doc, const std::vector<uint32_t>& lists,
      const std::vector<double>& prefix, size_t n, double* loose,
      size_t* terms);

  // Whether a dense filter (if any) holds `doc`; a sparse one leads the
  // lists to its documents instead.
  bool Allowed(uint32_t doc) const {
    return filter_words_ == nullptr ||
           ((filter_words_[doc / 64] >> (doc % 64)) & 1) != 0;
  }

  void Partition();
  uint32_t NextCandidate() const;
  bool SkipBlocks(uint32_t doc);
  // Runs once per candidate in both walks: kept inline in each.
  [[gnu::always_inline]] inline bool Prune(uint32_t doc);
  bool Admissible(uint32_t doc);
  double ExactScore(uint32_t doc);
  void Offer(uint32_t doc, double score);
  // Puts `entry` in place of the worst document kept.
  // REQUIRES: the heap is not empty; `entry` ranks before its top.
  void ReplaceWorst(const ScoredDoc& entry);
  // Moves the proposing lists past `doc`; returns the next candidate.
  uint32_t AdvanceEssential(uint32_t doc);
  // The walk a sparse filter leads, document at a time: runs of documents
  // whose block maxima cannot enter are skipped, and the proposing lists
  // are sought to the filter's documents.
  void WalkAllowed();
  // The first candidate at or after `doc` that the sparse filter allows:
  // the proposing lists are sought to the filter's next document until
  // one of them is on it.
  uint32_t FirstAllowed(uint32_t doc);
  // Moves the proposing lists to `allowed` (a document of the filter, or
  // DocSet::kNone); returns the next candidate.
  uint32_t SeekAllowed(uint32_t allowed);

  const Index& index_;
  const IndexData& data_;
  const ScoreBounds& bounds_;
  const std::vector<ClausePlan>& plans_;
  const ScoringParams params_;
  const uint64_t limit_;

  std::vector<Cursor> cursors_;  // scoring lists in clause, record, field order
  std::vector<uint32_t> clause_begin_;  // plans + 1 ranges into cursors_
  std::vector<Cursor> prohibited_;
  std::vector<uint32_t> required_;  // clause indices
  std::vector<PhraseChecker> checkers_;  // per plan

  // Lists that may stop proposing candidates, ascending by bound, with
  // prefix sums of their bounds; the first `passive_` of them do.
  std::vector<uint32_t> sorted_;
  std::vector<double> prefix_;
  size_t passive_ = 0;
  std::vector<uint32_t> essential_;  // lists proposing candidates

  // WalkWindow's state: the lists read through the window (the first
  // window_proposing_ of them propose) and where each stops in it; the
  // passive lists' window bounds; the passive lists left to seek, with
  // the prefix sums of their window bounds; and per document of the
  // window its summed loose bound (zero outside a walk) and whether a
  // proposing list holds it.
  std::vector<std::pair<double, uint32_t>> window_order_;
  std::vector<uint32_t> window_read_;
  size_t window_proposing_ = 0;
  std::vector<const Posting*> window_ends_;
  std::vector<double> window_passive_bounds_;
  std::vector<uint32_t> window_sought_;
  std::vector<double> window_prefix_;
  std::vector<double> window_bounds_;
  std::array<uint64_t, kWindowWords> window_members_{};

  std::vector<ScoredDoc> heap_;  // worst of the best on top
  double threshold_ = -std::numeric_limits<double>::infinity();
  uint32_t blocks_pass_until_ = 0;
  double blocks_pass_threshold_ = std::numeric_limits<double>::quiet_NaN();
  std::vector<AlternativeContribution> alternatives_;
  std::optional<DocSetCursor> allowed_;  // a sparse filter
  // A dense filter's bitset; the index's documents are all within it.
  const uint64_t* filter_words_ = nullptr;
};

Cursor TopDocsSearch::MakeCursor(uint32_t clause, uint32_t record,
                                 uint32_t field_index,
                                 const PostingRange& range) const {
  const ClausePlan& plan = plans_[clause];
  const TermRecord& r = plan.records[record];
  const uint32_t field = plan.fields[field_index];
  const double average = plan.averages[field_index];
  const double boost = data_.field_boosts[field];
  Cursor c;
  c.at = range.begin;
  c.end = range.end;
  c.postings = range.postings;
  if (plan.phrase_query != nullptr) {
    // A phrase's own postings, with bounds of their own.
    c.term_first = plan.phrase_query->postings.data();
    c.units = plan.phrase_query->units.data();
    c.block_units = plan.phrase_query->block_units.data();
  } else {
    c.term_first = index_.postings_begin(r.term);
    c.units = bounds_.posting_units_from(
        static_cast<uint64_t>(c.term_first - data_.postings.data()));
    c.block_units = bounds_.block_units_of(r.term);
  }
  c.term = r.term;
  c.clause = clause;
  c.record = record;
  c.field_index = field_index;
  c.scores = FieldScores(r.idf, average, boost);
  c.scale = boost * r.idf * kUnitMargin *
            UnitStretch(average, index_.average_field_length(field));
  c.multiplier =
      plan.clause->boost * std::ldexp(1.0, static_cast<int>(r.phrases.size()));
  c.max_bound = 0.0;
  c.loose_scale = 0.0;
  c.loose_add = 0.0;
  if (c.scores) {
    c.loose_scale = c.multiplier * c.scale;
    c.loose_add = c.multiplier * 0.0005;
    if (!(c.multiplier >= 0.0) || !std::isfinite(c.loose_scale)) {
      c.loose_scale = 0.0;
      c.loose_add = std::numeric_limits<double>::infinity();
    }
  }
  c.block_end = range.begin;
  c.block_bound = 0.0;
  c.block_last = 0;
  if (range.begin == range.end) return c;
  const uint64_t first = ScoreBounds::BlockOf(range.begin - c.term_first);
  const uint64_t last = ScoreBounds::BlockOf(range.end - 1 - c.term_first);
  double unit = 0.0;
  for (uint64_t b = first; b <= last; ++b) {
    unit = std::max(unit, c.block_units[b]);
  }
  c.max_bound = BoundOfUnit(c, unit);
  return c;
}

bool TopDocsSearch::Init() {
  // Count first: a query past the cursor limits makes none.
  size_t lists = 0;
  uint64_t postings = 0;
  for (const ClausePlan& plan : plans_) {
    for (const PostingRange& range : plan.ranges) {
      if (range.begin != range.end) ++lists;
      postings += static_cast<uint64_t>(range.end - range.begin);
    }
  }
  if (lists > kMaxCursors &&
      (allowed_.has_value() || lists > kMaxWindowCursors ||
       postings < kMinPostingsPerList * lists)) {
    return false;
  }
  cursors_.reserve(lists);
  clause_begin_.reserve(plans_.size() + 1);
  checkers_.reserve(plans_.size());
  clause_begin_.push_back(0);
  uint64_t driver_size = std::numeric_limits<uint64_t>::max();
  uint32_t driver = kNoDoc;
  for (uint32_t ci = 0; ci < plans_.size(); ++ci) {
    const ClausePlan& plan = plans_[ci];
    const Presence presence = plan.clause->presence;
    const uint32_t field_count = static_cast<uint32_t>(plan.fields.size());
    uint64_t size = 0;
    for (uint32_t i = 0; i < plan.ranges.size(); ++i) {
      const PostingRange& range = plan.ranges[i];
      if (range.begin == range.end) continue;
      size += static_cast<uint64_t>(range.end - range.begin);
      Cursor c = MakeCursor(ci, i / field_count, i % field_count, range);
      if (presence == Presence::kProhibited) {
        prohibited_.push_back(c);
      } else {
        if (!std::isfinite(c.max_bound)) return false;
        cursors_.push_back(c);
      }
    }
    clause_begin_.push_back(static_cast<uint32_t>(cursors_.size()));
    checkers_.emplace_back(index_, plan);
    if (presence != Presence::kRequired) continue;
    required_.push_back(ci);
    if (size < driver_size) {
      driver_size = size;
      driver = ci;
    }
  }

  // With required clauses every hit is in the smallest one's lists: they
  // propose the candidates, all others only add to them.
  essential_.reserve(cursors_.size());
  sorted_.reserve(cursors_.size());
  for (uint32_t i = 0; i < cursors_.size(); ++i) {
    if (cursors_[i].clause == driver) {
      essential_.push_back(i);
    } else {
      sorted_.push_back(i);
    }
  }
  std::sort(sorted_.begin(), sorted_.end(), [&](uint32_t x, uint32_t y) {
    return cursors_[x].max_bound < cursors_[y].max_bound;
  });
  prefix_.reserve(sorted_.size() + 1);
  prefix_.assign(1, 0.0);
  for (uint32_t i : sorted_) {
    prefix_.push_back(prefix_.back() + cursors_[i].max_bound);
  }
  if (driver != kNoDoc) passive_ = sorted_.size();
  Partition();
  return true;
}

// Without required clauses: lists whose bounds sum to no more than the
// threshold cannot make a hit alone and stop proposing candidates.
void TopDocsSearch::Partition() {
  if (!required_.empty()) return;
  size_t passive = passive_;
  while (passive < sorted_.size() &&
         CannotEnter(prefix_[passive + 1], passive + 1)) {
    ++passive;
  }
  if (passive == passive_ && !essential_.empty()) return;
  passive_ = passive;
  essential_.assign(sorted_.begin() + static_cast<ptrdiff_t>(passive_),
                    sorted_.end());
}

const Posting* TopDocsSearch::FirstFrom(const Posting* at,
                                        const Posting* end, uint64_t doc) {
  if (at == end || at->doc >= doc) return at;
  // Gallop, then bisect the last step.
  size_t step = 1;
  const Posting* low = at;
  while (low + step < end && (low + step)->doc < doc) {
    low += step;
    step *= 2;
  }
  const Posting* high = std::min(low + step, end);
  return std::partition_point(low, high,
                              [doc](const Posting& p) { return p.doc < doc; });
}

void TopDocsSearch::Seek(Cursor* c, uint64_t doc) {
  c->at = FirstFrom(c->at, c->end, doc);
}

uint32_t TopDocsSearch::NextCandidate() const {
  uint32_t doc = kNoDoc;
  for (uint32_t i : essential_) {
    const Cursor& c = cursors_[i];
    if (!c.done()) doc = std::min(doc, c.at->doc);
  }
  return doc;
}

float TopDocsSearch::UnitCut(const Cursor& c, double others,
                             size_t terms) const {
  if (!(c.loose_scale > 0.0)) return 0.0f;
  // LooseBound() solved for the unit, less a margin for the rounding of
  // this arithmetic.
  const double margin = terms > 1 ? kSumMargin : 1.0;
  const double room = threshold_ / margin - others;
  const double unit = (room - c.loose_add) / c.loose_scale * (1.0 - 1e-9);
  if (!(unit > 0.0)) return 0.0f;
  if (!(unit < 3e38)) return std::numeric_limits<float>::infinity();
  const float cut = static_cast<float>(unit);
  return cut > unit ? std::nextafter(cut, 0.0f) : cut;
}

uint32_t TopDocsSearch::NextPassive(uint32_t doc) {
  uint32_t next = kNoDoc;
  for (size_t j = 0; j < passive_; ++j) {
    Cursor& c = cursors_[sorted_[j]];
    Seek(&c, doc);
    if (!c.done()) next = std::min(next, c.at->doc);
  }
  return next;
}

void TopDocsSearch::WalkOne() {
  Cursor& c = cursors_[essential_[0]];
  uint32_t passive_next = 0;  // no passive list is on a document before it
  // Where the passive lists are short against the proposing one, they
  // are followed, so that a posting needs only its own bound between
  // their documents; else that costs more than it saves.
  ptrdiff_t passive_postings = 0;
  for (size_t j = 0; j < passive_; ++j) {
    const Cursor& p = cursors_[sorted_[j]];
    passive_postings += p.end - p.at;
  }
  const bool follow_passive = passive_postings * 4 < c.end - c.at;
  while (!c.done() && !essential_.empty()) {
    const double threshold = threshold_;
    // Below `all` a posting cannot enter even with every passive list;
    // below `alone`, not without one.
    const float all = UnitCut(c, prefix_[passive_], passive_ + 1);
    const float alone = follow_passive ? UnitCut(c, 0.0, 1) : all;
    EnterBlock(&c);
    const bool passive_in_block = c.block_last >= passive_next;
    if (passive_in_block
            ? CannotEnter(c.block_bound + prefix_[passive_], passive_ + 1)
            : CannotEnter(c.block_bound, 1)) {
      c.at = c.block_end;
      continue;
    }
    for (const Posting* end = c.block_end; c.at != end; ++c.at) {
      const float unit = c.units[c.at - c.term_first];
      if (unit < all) continue;
      const uint32_t doc = c.at->doc;
      if (unit < alone) {
        // The filter before the passive lists are sought: a seek costs more.
        if (doc < passive_next || !Allowed(doc)) continue;
        passive_next = NextPassive(doc);
        if (doc < passive_next) continue;
      } else if (!Allowed(doc)) {
        continue;
      }
      if (Prune(doc) || !Admissible(doc)) continue;
      Offer(doc, ExactScore(doc));
      if (threshold_ != threshold) {
        ++c.at;
        break;  // new cuts
      }
    }
  }
}

double TopDocsSearch::BlocksBound(const Cursor& c, uint64_t end) const {
  if (c.at->doc >= end) return 0.0;
  uint64_t block =
      ScoreBounds::BlockOf(static_cast<uint64_t>(c.at - c.term_first));
  double unit = c.block_units[block];
  for (;;) {
    const Posting* start = c.term_first + ++block * ScoreBounds::kBlockSize;
    if (start >= c.end || start->doc >= end) break;
    unit = std::max(unit, c.block_units[block]);
  }
  return BoundOfUnit(c, unit);
}

bool TopDocsSearch::PartitionWindow(uint32_t first, uint64_t end) {
  double sum = 0.0;
  window_passive_bounds_.clear();
  for (size_t j = 0; j < passive_; ++j) {
    Cursor& c = cursors_[sorted_[j]];
    Seek(&c, first);  // passive lists are sought lazily
    window_passive_bounds_.push_back(c.done() ? 0.0 : BlocksBound(c, end));
    sum += window_passive_bounds_.back();
  }
  // A list with nothing in the window stays out of it.
  window_order_.clear();
  for (uint32_t i : essential_) {
    const Cursor& c = cursors_[i];
    if (!c.done() && c.at->doc < end) {
      window_order_.emplace_back(BlocksBound(c, end), i);
    }
  }
  std::sort(window_order_.begin(), window_order_.end());
  // The lists of least bounds follow while their sum cannot enter.
  size_t following = 0;
  while (following < window_order_.size() &&
         CannotEnter(sum + window_order_[following].first, 2)) {
    sum += window_order_[following++].first;
  }
  window_read_.clear();
  for (size_t k = following; k < window_order_.size(); ++k) {
    window_read_.push_back(window_order_[k].second);
  }
  window_proposing_ = window_read_.size();
  for (size_t k = 0; k < following; ++k) {
    window_read_.push_back(window_order_[k].second);
  }
  return window_proposing_ > 0;
}

const Posting* TopDocsSearch::AddFollowing(const Cursor& c, uint32_t first,
                                           uint64_t end) {
  double* const bounds = window_bounds_.data();
  const uint64_t* const members = window_members_.data();
  WindowReader r(c);
  for (; r.Before(end); r.Next()) {
    const uint32_t slot = r.p->doc - first;
    const bool held = ((members[slot / 64] >> (slot % 64)) & 1) != 0;
    bounds[slot] += held ? r.Bound() : 0.0;
  }
  return r.p;
}

inline uint32_t TopDocsSearch::ReadWindow(uint32_t first, uint64_t end) {
  window_ends_.clear();
  if (window_bounds_.empty()) window_bounds_.assign(kWindowSize, 0.0);
  double* const bounds = window_bounds_.data();
  uint64_t* const members = window_members_.data();
  uint32_t slots = 0;
  uint64_t proposed = 0;
  for (size_t k = 0; k < window_proposing_; ++k) {
    const Cursor& c = cursors_[window_read_[k]];
    WindowReader r(c);
    for (; r.Before(end); r.Next()) {
      const uint32_t slot = r.p->doc - first;
      members[slot / 64] |= uint64_t{1} << (slot % 64);
      bounds[slot] += r.Bound();
    }
    if (r.p != c.at) slots = std::max(slots, (r.p - 1)->doc - first + 1);
    proposed += static_cast<uint64_t>(r.p - c.at);
    window_ends_.push_back(r.p);
  }
  for (size_t k = window_proposing_; k < window_read_.size(); ++k) {
    window_ends_.push_back(AddFollowing(cursors_[window_read_[k]], first, end));
  }
  window_sought_.clear();
  window_prefix_.assign(1, 0.0);
  for (size_t j = 0; j < passive_; ++j) {
    const Cursor& c = cursors_[sorted_[j]];
    if (c.done()) continue;
    const Posting* stop = FirstFrom(c.at, c.end, end);
    if (static_cast<uint64_t>(stop - c.at) <= kReadPerProposed * proposed) {
      AddFollowing(c, first, end);
      window_read_.push_back(sorted_[j]);
      window_ends_.push_back(stop);
    } else {
      window_sought_.push_back(sorted_[j]);
      window_prefix_.push_back(window_prefix_.back() +
                               window_passive_bounds_[j]);
    }
  }
  return slots;
}

inline bool TopDocsSearch::PruneFollowing(uint32_t doc,
                                   const std::vector<uint32_t>& lists,
                                   const std::vector<double>& prefix,
                                   size_t n, double* loose, size_t* terms) {
  for (size_t j = n; j-- > 0;) {
    if (CannotEnter(*loose + prefix[j + 1], *terms + j + 1)) return true;
    Cursor& c = cursors_[lists[j]];
    Seek(&c, doc);
    if (c.done() || c.at->doc != doc) continue;
    *loose += LooseBound(c);
    ++*terms;
  }
  return false;
}

bool TopDocsSearch::PruneSought(uint32_t doc, double loose) {
  // `loose` may be a sum already: counted as two terms, for the margin.
  size_t terms = 2;
  return PruneFollowing(doc, window_sought_, window_prefix_,
                        window_sought_.size(), &loose, &terms) ||
         CannotEnter(loose, terms);
}

void TopDocsSearch::ScoreWindow(uint32_t first, uint32_t slots) {
  const double sought_bound = window_prefix_.back();
  double* const bounds = window_bounds_.data();
  for (uint32_t w = 0; w < (slots + 63) / 64; ++w) {
    uint64_t word = window_members_[w];
    window_members_[w] = 0;
    while (word != 0) {
      const uint32_t slot =
          w * 64 + static_cast<uint32_t>(std::countr_zero(word));
      word &= word - 1;
      const double bound = bounds[slot];
      bounds[slot] = 0.0;
      // PruneSought's first test, inline: most documents fail it.
      if (CannotEnter(bound + sought_bound, 2)) continue;
      const uint32_t doc = first + slot;
      if (!Allowed(doc) || PruneSought(doc, bound)) continue;
      for (uint32_t i : window_read_) Seek(&cursors_[i], doc);
      if (Prune(doc) || !Admissible(doc)) continue;
      Offer(doc, ExactScore(doc));
    }
  }
}

void TopDocsSearch::WalkWindow(uint32_t first) {
  const uint64_t end = uint64_t{first} + kWindowSize;
  // The window's partition holds to its end: a rise of the threshold
  // within it may make lists passive, which leaves its sums bounds.
  if (!PartitionWindow(first, end)) {
    for (uint32_t i : window_read_) Seek(&cursors_[i], end);
    return;
  }
  const uint32_t slots = ReadWindow(first, end);
  ScoreWindow(first, slots);
  for (size_t k = 0; k < window_read_.size(); ++k) {
    cursors_[window_read_[k]].at = window_ends_[k];
  }
}

// Until the next document of a list not on `doc`, and while the lists on
// it stay in their current blocks, no document can score more than those
// blocks' maxima and the passive lists' bounds together; when that sum
// cannot enter, the whole run is skipped, and further while the blocks of
// the lists arriving in it keep the sum too low. A failed test holds for
// the same run until the threshold rises.
bool TopDocsSearch::SkipBlocks(uint32_t doc) {
  if (doc <= blocks_pass_until_ && threshold_ == blocks_pass_threshold_) {
    return false;
  }
  double sum = prefix_[passive_];
  size_t terms = passive_;
  uint32_t arrival = kNoDoc;
  uint32_t block_last = kNoDoc;
  for (uint32_t i : essential_) {
    Cursor& c = cursors_[i];
    if (c.done()) continue;
    if (c.at->doc != doc) {
      arrival = std::min(arrival, c.at->doc - 1);
      continue;
    }
    EnterBlock(&c);
    sum += c.block_bound;
    ++terms;
    block_last = std::min(block_last, c.block_last);
  }
  uint32_t last = std::min(arrival, block_last);
  if (!CannotEnter(sum, terms)) {
    blocks_pass_until_ = last;
    blocks_pass_threshold_ = threshold_;
    return false;
  }
  if (arrival < block_last) {
    for (uint32_t i : essential_) {
      Cursor& c = cursors_[i];
      if (c.done() || c.at->doc == doc || c.at->doc > block_last) continue;
      EnterBlock(&c);
      sum += c.block_bound;
      ++terms;
      block_last = std::min(block_last, c.block_last);
    }
    if (CannotEnter(sum, terms)) last = block_last;
  }
  for (uint32_t i : essential_) Seek(&cursors_[i], uint64_t{last} + 1);
  return true;
}

// Tightens the candidate's bound with its own postings, proposing lists
// first, then the passive lists from the largest bound down; true when
// it cannot enter. Lists it gets to are left on or after `doc`. Bounds
// are taken without their rounding first (LooseBound), which costs a
// multiplication; only a candidate they let through is checked with the
// rounded ones.
inline bool TopDocsSearch::Prune(uint32_t doc) {
  double loose = 0.0;
  size_t terms = 0;
  for (uint32_t i : essential_) {
    const Cursor& c = cursors_[i];
    if (c.done() || c.at->doc != doc) continue;
    loose += LooseBound(c);
    ++terms;
  }
  if (PruneFollowing(doc, sorted_, prefix_, passive_, &loose, &terms) ||
      CannotEnter(loose, terms)) {
    return true;
  }
  double partial = 0.0;
  for (uint32_t i : essential_) {
    const Cursor& c = cursors_[i];
    if (!c.done() && c.at->doc == doc) partial += PostingBound(c);
  }
  for (size_t j = passive_; j-- > 0;) {
    const Cursor& c = cursors_[sorted_[j]];
    if (!c.done() && c.at->doc == doc) partial += PostingBound(c);
  }
  return CannotEnter(partial, terms);
}

// Every required clause present and no prohibited one.
// REQUIRES: every scoring list is on or after `doc`.
bool TopDocsSearch::Admissible(uint32_t doc) {
  for (uint32_t ci : required_) {
    bool present = false;
    for (uint32_t i = clause_begin_[ci]; i < clause_begin_[ci + 1]; ++i) {
      const Cursor& c = cursors_[i];
      if (!c.done() && c.at->doc == doc) present = true;
    }
    if (!present) return false;
  }
  for (Cursor& c : prohibited_) {
    Seek(&c, doc);
    if (!c.done() && c.at->doc == doc) return false;
  }
  return true;
}

// The document's score summed exactly as the exhaustive search sums it:
// clause by clause, record by record, field by field, alternatives
// resolved at the end of their clause.
// REQUIRES: every scoring list is on or after `doc`.
double TopDocsSearch::ExactScore(uint32_t doc) {
  double score = 0.0;
  const double doc_boost = data_.doc_boost(doc);
  for (uint32_t ci = 0; ci + 1 < clause_begin_.size(); ++ci) {
    const ClausePlan& plan = plans_[ci];
    alternatives_.clear();
    for (uint32_t i = clause_begin_[ci]; i < clause_begin_[ci + 1]; ++i) {
      const Cursor& c = cursors_[i];
      if (c.done() || c.at->doc != doc) continue;
      const TermRecord& record = plan.records[c.record];
      const uint32_t field = plan.fields[c.field_index];
      double contribution = 0.0;
      if (c.scores) {
        const double rounded = RoundedContribution(
            params_, record.idf, plan.averages[c.field_index],
            data_.field_boosts[field], doc_boost, c.postings->tf(*c.at),
            index_.field_length(doc, field));
        if (rounded != 0.0) {
          contribution = checkers_[ci].Factor(record, doc, field) *
                         plan.clause->boost * rounded;
        }
      }
      if (record.group == kStandalone) {
        score += contribution;
      } else {
        alternatives_.push_back(AlternativeContribution{
            0, field, record.group, record.alternative, contribution});
      }
    }
    if (!alternatives_.empty()) {
      ResolveAlternatives(&alternatives_,
                          [&](uint32_t, double best) { score += best; });
    }
  }
  return score;
}

void TopDocsSearch::Offer(uint32_t doc, double score) {
  const ScoredDoc entry{doc, score};
  if (heap_.size() < limit_) {
    heap_.push_back(entry);
    std::push_heap(heap_.begin(), heap_.end(), RanksBeforeOrder{});
  } else if (score > heap_.front().score) {
    // Documents come in ascending order: an equal score ranks after every
    // document already kept.
    ReplaceWorst(entry);
  } else {
    return;
  }
  if (heap_.size() == limit_ && heap_.front().score > threshold_) {
    threshold_ = heap_.front().score;
    Partition();
  }
}

void TopDocsSearch::ReplaceWorst(const ScoredDoc& entry) {
  // Sifts `entry` down from the top: each step lifts the worse child.
  const size_t size = heap_.size();
  ScoredDoc* const heap = heap_.data();
  size_t hole = 0;
  for (;;) {
    size_t child = 2 * hole + 1;
    if (child >= size) break;
    if (child + 1 < size && RanksBefore(heap[child], heap[child + 1])) {
      ++child;
    }
    if (!RanksBefore(entry, heap[child])) break;
    heap[hole] = heap[child];
    hole = child;
  }
  heap[hole] = entry;
}

uint32_t TopDocsSearch::AdvanceEssential(uint32_t doc) {
  uint32_t next = kNoDoc;
  for (uint32_t i : essential_) {
    Cursor& c = cursors_[i];
    if (c.done()) continue;
    if (c.at->doc == doc && ++c.at == c.end) continue;
    next = std::min(next, c.at->doc);
  }
  return next;
}

uint32_t TopDocsSearch::FirstAllowed(uint32_t doc) {
  while (doc != kNoDoc) {
    const uint32_t allowed = allowed_->NextFrom(doc);
    if (allowed == doc) return doc;
    doc = SeekAllowed(allowed);
  }
  return kNoDoc;
}

uint32_t TopDocsSearch::SeekAllowed(uint32_t allowed) {
  if (allowed == DocSet::kNone) return kNoDoc;
  for (uint32_t i : essential_) Seek(&cursors_[i], allowed);
  return NextCandidate();
}

void TopDocsSearch::Run(std::vector<ScoredDoc>* out) {
  // Room for the usual limits at once, not for every document a large
  // limit could keep.
  heap_.reserve(static_cast<size_t>(std::min<uint64_t>(limit_, 256)));
  if (allowed_.has_value()) {
    WalkAllowed();
  } else {
    for (uint32_t doc = NextCandidate(); doc != kNoDoc;
         doc = NextCandidate()) {
      if (essential_.size() == 1) {
        WalkOne();
        break;
      }
      WalkWindow(doc);
    }
  }
  std::sort_heap(heap_.begin(), heap_.end(), RanksBeforeOrder{});
  *out = std::move(heap_);
}

void TopDocsSearch::WalkAllowed() {
  uint32_t doc = FirstAllowed(NextCandidate());
  while (doc != kNoDoc) {
    // The block test comes first: it steps over runs of documents whatever
    // the filter holds, and mostly answers from its last result.
    if (SkipBlocks(doc)) {
      doc = FirstAllowed(NextCandidate());
      continue;
    }
    if (!Prune(doc) && Admissible(doc)) Offer(doc, ExactScore(doc));
    doc = FirstAllowed(AdvanceEssential(doc));
  }
}

}  // namespace

bool TopDocs(const Index& index, const std::vector<ClausePlan>& plans,
             uint64_t limit, const DocSet* filter,
             std::vector<ScoredDoc>* out) {
  TopDocsSearch search(index, plans, limit, filter);
  if (!search.Init()) return false;
  search.Run(out);
  return true;
}

}  // namespace vrim
