// The postings of one accumulator in the order its fields were analysed,
// each with its position list inline: a posting takes a few bytes besides
// its list, where one sorted by term takes 16 and its list lies elsewhere.
// A fresh build places them straight into term order (one pass counts,
// one places); a build on a base expands them for its sort.
//
// Per field of a document analysed, a header, then its postings:
//
//   varint  field minus the previous field's id
//   varint  document minus the previous document's id (of the same field;
//           0 is the previous id on a new field)
//   varint  n, the number of postings (at least 1)
//   n times:
//     varint  term (the accumulator's id)
//     a frequency below 8 (the list holds as many entries):
//       varint  byte length of the list << 4 | frequency << 1
//     any other:
//       varint  frequency << 1 | 1
//       varint  byte length of the list
//     the list (positions.h)
// Most postings have a frequency of 1 or 2 and a list of a few bytes,
// whose length and frequency so take one byte.
#ifndef VRIM_POSTING_STREAM_H_
#define VRIM_POSTING_STREAM_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "index/memory_pages.h"
#include "index/positions.h"
#include "index/varint.h"

namespace vrim {

// A (field, document) pair coded as steps from the pair before: a step of
// the field starts the document over from 0. Both the stream and the
// layout's blocks of terms keep their pairs so.
struct FieldDocSteps {
  uint32_t field = 0;  // of the last pair coded
  uint32_t doc = 0;

  // Writes the steps to (f, d) at `w`; returns the end.
  // REQUIRES: room for 2 * kMaxVarintBytes at `w`; (f, d) comes after the
  // last pair.
  char* Put(char* w, uint32_t f, uint32_t d) {
    if (f != field) doc = 0;
    w = EncodeVarint64(w, f - field);
    w = EncodeVarint64(w, d - doc);
    field = f;
    doc = d;
    return w;
  }

  // Reads the steps at `*p` into field and doc and moves `*p` past them.
  void Get(const uint8_t** p) {
    const uint32_t step = static_cast<uint32_t>(GetVarint64Unchecked(p));
    if (step != 0) doc = 0;
    field += step;
    doc += static_cast<uint32_t>(GetVarint64Unchecked(p));
  }
};

// One posting of a stream as Read() hands it over.
struct StreamPosting {
  uint32_t term;
  uint32_t field;
  uint32_t doc;
  uint32_t tf;  // also the number of entries of the list
  const uint8_t* list;
  uint64_t length;  // of the list in bytes
};

class PostingStream {
 public:
  // Room for `bytes` without copies; capacity never written stays virtual.
  void reserve(size_t bytes) {
    if (bytes > capacity()) Reallocate(bytes);
  }

  // Starts the `count` postings of `field` of `doc`.
  // REQUIRES: count > 0; (field, doc) comes after the previous call's.
  void BeginField(uint32_t field, uint32_t doc, uint32_t count) {
    char* w = Room(3 * kMaxVarintBytes);
    end_ = EncodeVarint64(steps_.Put(w, field, doc), count);
  }

  // Appends a posting of `term` whose occurrences are [begin, end) (put in
  // order by the encoding).
  // REQUIRES: begin < end; no more postings added since BeginField than
  // it announced.
  void Add(uint32_t term, Position* begin, Position* end);

  size_t size() const { return static_cast<size_t>(end_ - bytes_.get()); }

  // Hands every posting, in order, to `visit`. With `release`, the pages
  // read are handed back as the walk goes on: the stream must not be read
  // again, only freed.
  template <class Visit>
  void Read(bool release, const Visit& visit) {
    constexpr size_t kReleaseEvery = size_t{1} << 18;
    constexpr size_t kPageSlack = size_t{1} << 16;  // past any page size
    const auto* const begin = reinterpret_cast<const uint8_t*>(bytes_.get());
    const uint8_t* p = begin;
    const auto* const end = reinterpret_cast<const uint8_t*>(end_);
    const uint8_t* released = begin;
    StreamPosting q{0, 0, 0, 0, nullptr, 0};
    FieldDocSteps steps;
    while (p < end) {
      steps.Get(&p);
      q.field = steps.field;
      q.doc = steps.doc;
      for (uint32_t n = Next(&p); n > 0; --n) {
        q.term = Next(&p);
        const uint64_t v = GetVarint64Unchecked(&p);
        if ((v & 1) == 0) {
          q.tf = static_cast<uint32_t>(v >> 1) & (kSmallTf - 1);
          q.length = v >> 4;
        } else {
          q.tf = static_cast<uint32_t>(v >> 1);
          q.length = GetVarint64Unchecked(&p);
        }
        q.list = p;
        p += q.length;
        visit(q);
      }
      if (release && static_cast<size_t>(p - released) >= kReleaseEvery) {
        ReleasePages(const_cast<uint8_t*>(released),
                     static_cast<size_t>(p - released));
        // From a little before `p`, so that the page `p` lies in, read only
        // in part, is handed back next time.
        released = p - std::min<size_t>(static_cast<size_t>(p - begin),
                                        kPageSlack);
      }
    }
  }

  // Frees the bytes.
  void clear() {
    bytes_.reset();
    end_ = nullptr;
    capacity_end_ = nullptr;
    steps_ = FieldDocSteps();
  }

 private:
  // Frequencies below this share a varint with the list's length.
  static constexpr uint32_t kSmallTf = 8;

  static uint32_t Next(const uint8_t** p) {
    return static_cast<uint32_t>(GetVarint64Unchecked(p));
  }

  size_t capacity() const {
    return static_cast<size_t>(capacity_end_ - bytes_.get());
  }
  // Where `n` more bytes can be written, growing by half at least.
  char* Room(size_t n) {
    if (static_cast<size_t>(capacity_end_ - end_) < n) {
      Reallocate(std::max(size() + n, capacity() + capacity() / 2));
    }
    return end_;
  }
  void Reallocate(size_t capacity);

  // Written up to end_; never cleared, so that room reserved and not yet
  // written takes no memory.
  std::unique_ptr<char[]> bytes_;
  char* end_ = nullptr;
  char* capacity_end_ = nullptr;
  FieldDocSteps steps_;  // to the last BeginField's pair
};

}  // namespace vrim

#endif  // VRIM_POSTING_STREAM_H_
