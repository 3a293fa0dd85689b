#include "build/stream_layout.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "analysis/move_bytes.h"
#include "build/free_storage.h"
#include "build/parallel_for.h"
#include "index/memory_pages.h"
#include "index/varint.h"

namespace vrim {

namespace {

// The postings of one part whose terms fall in one block of terms, as
// StreamLayout moves them: a record per posting, in stream order,
//   varint  the term's id in its part
//   varints field and document, as steps from the previous record's
//           (FieldDocSteps)
//   varint  term frequency
//   varint  byte length of the list, then the list.
class TermBlock {
 public:
  // The most bytes a record takes besides its list: four 32-bit values
  // of at most 5 bytes each and the length.
  static constexpr uint64_t kMaxHeader = 4 * 5 + kMaxVarintBytes;

  // Room for `bytes` of records, the most the block will be given:
  // capacity never written stays virtual.
  void Allocate(uint64_t bytes) {
    bytes_.reset(new char[bytes]);
    end_ = bytes_.get();
  }

  // REQUIRES: the room allocated takes the record.
  void Add(uint32_t id, const StreamPosting& q) {
    char* w = steps_.Put(EncodeVarint64(end_, id), q.field, q.doc);
    w = EncodeVarint64(w, q.tf);
    w = EncodeVarint64(w, q.length);
    MoveBytes(w, reinterpret_cast<const char*>(q.list), q.length);
    end_ = w + q.length;
  }

  // Hands every record to visit(id, posting) in order, then frees them.
  template <class Visit>
  void Drain(const Visit& visit) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes_.get());
    const auto* const end = reinterpret_cast<const uint8_t*>(end_);
    StreamPosting q{0, 0, 0, 0, nullptr, 0};
    FieldDocSteps steps;
    while (p < end) {
      const uint32_t id = static_cast<uint32_t>(GetVarint64Unchecked(&p));
      steps.Get(&p);
      q.field = steps.field;
      q.doc = steps.doc;
      q.tf = static_cast<uint32_t>(GetVarint64Unchecked(&p));
      q.length = GetVarint64Unchecked(&p);
      q.list = p;
      p += q.length;
      visit(id, q);
    }
    // Handed back before the free: the allocator would keep the pages of
    // a block taken from its heap.
    ReleasePages(bytes_.get(), static_cast<size_t>(end_ - bytes_.get()));
    bytes_.reset();
    end_ = nullptr;
  }

 private:
  std::unique_ptr<char[]> bytes_;
  char* end_ = nullptr;  // of the records written
  FieldDocSteps steps_;  // to the last record's pair
};

// Lays out the streams of a fresh build's parts in term order. Within
// every term the parts' postings follow each other in part order, each
// part's in the order of its stream, which is (field, document) order.
// So one pass over each stream counts its postings and list bytes per
// term, and the counts become where each part's postings of each term
// start. A second pass puts the postings of the first block of terms in
// their places and moves every other posting into the block its term
// falls in, handing the stream's pages back as it goes; then, block by
// block, each posting is put in its place, its list copied there, and the
// block freed. The index fills as the blocks empty: the postings are
// never held twice over, as they would be if the stream were read in
// place while the index filled at random. Every pass runs on a thread per
// part.
class StreamLayout {
 public:
  // `ids[p]`: part p's term ids in byte order; `ranks[p][id]`: the place
  // of part p's term `id` among all terms, which are out->terms.
  // REQUIRES: the fields and documents of `out` set.
  StreamLayout(std::vector<PostingStream*> streams,
               std::vector<std::vector<uint32_t>> ids,
               const std::vector<std::vector<uint32_t>>& ranks, IndexData* out)
      : streams_(std::move(streams)),
        ids_(std::move(ids)),
        ranks_(ranks),
        out_(*out),
        n_(streams_.size()),
        shift_(BlockShift(out->terms.size())),
        blocks_((out->terms.size() + (size_t{1} << shift_) - 1) >> shift_),
        cursors_(n_),
        parts_(n_),
        block_room_(n_ * blocks_, 0),
        block_bytes_(blocks_ + 1, 0),
        wide_(n_) {
    for (std::vector<TermBlock>& blocks : parts_) blocks.resize(blocks_);
  }

  void Run() {
    ParallelFor(n_, [&](size_t p) { Count(p); });
    Start();
    Free(&ids_);
    // The first block is laid out as the streams are read; the others
    // wait in their blocks.
    if (blocks_ > 0) out_.positions.resize(block_bytes_[1]);
    ParallelFor(n_, [&](size_t p) { Partition(p); });
    for (size_t b = 1; b < blocks_; ++b) {
      // Sized block by block: the bytes resize() clears stay unwritten,
      // and so out of memory, until their block is laid out.
      out_.positions.resize(block_bytes_[b + 1]);
      ParallelFor(n_, [&](size_t p) { Place(p, b); });
    }
    MakeWide();
  }

 private:
  // Blocks of 2^shift terms: small enough that the index grows in small
  // steps beside them (at most 16 blocks unless they are small), and few
  // enough that starting their threads costs little.
  static int BlockShift(size_t terms) {
    const size_t per_block = std::max<size_t>((terms + 15) / 16, 1);
    return std::max(12, static_cast<int>(std::bit_width(per_block - 1)));
  }

  // Where a part's next posting of a term goes, and its list; while
  // counting, how many postings the term has there and their list bytes.
  // 12 bytes: one per term of every part.
#pragma pack(push, 4)
  struct Cursor {
    uint64_t byte;
    uint32_t slot;
  };
#pragma pack(pop)
  static_assert(sizeof(Cursor) == 12);

  // A posting too wide to pack, and where it goes.
  struct Unpacked {
    uint32_t slot;
    uint32_t doc;
    uint32_t field;
    uint32_t tf;
  };

  void Count(size_t p) {
    std::vector<Cursor>& cursors = cursors_[p];
    cursors.assign(ids_[p].size(), Cursor{0, 0});
    streams_[p]->Read(/*release=*/false, [&](const StreamPosting& q) {
      Cursor& c = cursors[q.term];
      // A count past 32 bits is past what one index holds.
      if (++c.slot == 0) [[unlikely]] {
        throw std::length_error(kTooManyPostings);
      }
      c.byte += q.length;
    });
  }

  // The counts become starts, term by term in byte order, part by part;
  // reserves the blocks and the index's postings and lists.
  void Start() {
    const size_t terms = out_.terms.size();
    out_.term_postings.assign(terms + 1, 0);
    std::vector<size_t> next(n_, 0);
    uint64_t posting = 0;
    uint64_t byte = 0;
    for (size_t t = 0; t < terms; ++t) {
      out_.term_postings[t] = static_cast<uint32_t>(posting);
      for (size_t p = 0; p < n_; ++p) {
        const std::vector<uint32_t>& ids = ids_[p];
        if (next[p] == ids.size() || ranks_[p][ids[next[p]]] != t) continue;
        Cursor& c = cursors_[p][ids[next[p]++]];
        block_room_[p * blocks_ + (t >> shift_)] +=
            c.slot * TermBlock::kMaxHeader + c.byte;
        // Members of the packed cursor are read and written, never bound
        // to references.
        const uint32_t count = c.slot;
        const uint64_t bytes = c.byte;
        c.slot = static_cast<uint32_t>(posting);
        c.byte = byte;
        posting += count;
        byte += bytes;
      }
      // Term starts are 32 bits wide.
      if (posting > Postings::kMaxSize) {
        throw std::length_error(kTooManyPostings);
      }
      block_bytes_[(t >> shift_) + 1] = byte;
    }
    out_.term_postings[terms] = static_cast<uint32_t>(posting);
    out_.postings.reserve(posting);
    AdviseHugePages(out_.postings.data(), posting * sizeof(Posting));
    out_.postings.Grow(posting);
    out_.positions.reserve(byte);
    AdviseHugePages(out_.positions.data(), out_.positions.capacity());
  }

  // Puts the postings of part p's stream of the first block in their
  // places and moves the others into their blocks, each allocated for the
  // most it can take: capacity never written stays virtual.
  void Partition(size_t p) {
    std::vector<TermBlock>& blocks = parts_[p];
    for (size_t b = 1; b < blocks_; ++b) {
      blocks[b].Allocate(block_room_[p * blocks_ + b]);
    }
    const std::vector<uint32_t>& ranks = ranks_[p];
    streams_[p]->Read(/*release=*/true, [&](const StreamPosting& q) {
      const size_t b = ranks[q.term] >> shift_;
      if (b == 0) {
        PlaceOne(p, q.term, q);
      } else {
        blocks[b].Add(q.term, q);
      }
    });
    streams_[p]->clear();
  }

  void Place(size_t p, size_t b) {
    parts_[p][b].Drain(
        [&](uint32_t id, const StreamPosting& q) { PlaceOne(p, id, q); });
    if (b + 1 == blocks_) Free(&cursors_[p]);
  }

  // Puts posting `q` of part p, whose term has `id` there, in its place
  // and copies its list there.
  void PlaceOne(size_t p, uint32_t id, const StreamPosting& q) {
    Cursor& c = cursors_[p][id];
    if (Postings::Packs(q.field, q.tf, q.tf)) [[likely]] {
      out_.postings.data()[c.slot] =
          Postings::Packed(q.field, q.doc, q.tf, q.tf);
    } else {
      wide_[p].push_back(Unpacked{c.slot, q.doc, q.field, q.tf});
    }
    MoveBytes(out_.positions.data() + c.byte,
              reinterpret_cast<const char*>(q.list), q.length);
    ++c.slot;
    c.byte += q.length;
  }

  // Those too wide to pack keep their values in the table's side list,
  // which only this thread may fill.
  void MakeWide() {
    for (const std::vector<Unpacked>& part : wide_) {
      for (const Unpacked& w : part) {
        if (!out_.postings.Make(w.field, w.doc, w.tf, w.tf,
                                out_.postings.data() + w.slot)) {
          throw std::length_error(kTooManyPostings);
        }
      }
    }
  }

  const std::vector<PostingStream*> streams_;
  std::vector<std::vector<uint32_t>> ids_;
  const std::vector<std::vector<uint32_t>>& ranks_;
  IndexData& out_;
  const size_t n_;
  const int shift_;  // of a term's rank, its block
  const size_t blocks_;
  std::vector<std::vector<Cursor>> cursors_;
  std::vector<std::vector<TermBlock>> parts_;  // [part][block]
  std::vector<uint64_t> block_room_;           // [part * blocks_ + block]
  std::vector<uint64_t> block_bytes_;  // where each block's lists end
  std::vector<std::vector<Unpacked>> wide_;
};

}  // namespace

void LayOutStreams(std::vector<PostingStream*> streams,
                   std::vector<std::vector<uint32_t>> ids,
                   const std::vector<std::vector<uint32_t>>& ranks,
                   IndexData* out) {
  StreamLayout(std::move(streams), std::move(ids), ranks, out).Run();
}

}  // namespace vrim
