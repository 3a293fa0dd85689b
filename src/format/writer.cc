// The binary index layout. Fixed-width integers are little-endian; varint
// is LEB128 in its shortest form (varint.h); string is a varint byte length
// followed by UTF-8 bytes. F fields, T terms, D stored documents,
// Q = ceil(T / 16) dictionary blocks. Ids: field = declaration order,
// term = rank in byte order, document = rank of its reference in byte order.
//
//   offset 0  +--------------------------------------------------------+
//             | header, 64 bytes                                       |
//             |   0 "VRIM"   4 u16 version (1)   6 u16 flags (bit 0:    |
//             |   positions present)   8 u32 D   12 u32 document count  |
//             |   16 u32 F   20 u32 T   24 f64 k1   32 f64 b            |
//             |   40 u32 meta (64)   44 u32 docs   48 u32 terms         |
//             |   52 u32 postings   56 u32 positions   60 u32 end       |
//   meta      +--------------------------------------------------------+
//             | string language code                                   |
//             | F x string field name                                  |
//             | F x f64 field boost                                    |
//             | varint P, P x string pipeline description              |
//   docs      +--------------------------------------------------------+
//             | (D + 1) x u32 reference offset into the heap           |
//             | D x f64 document boost                                 |
//             | D x F x u32 field length, document-major               |
//             | reference heap: the references back to back, id order  |
//   terms     +--------------------------------------------------------+
//             | (Q + 1) x u32 block offset into the dictionary area    |
//             | (T + 1) x u32 postings offset into "postings"          |
//             | dictionary area, Q blocks of up to 16 terms:           |
//             |   string first term                                    |
//             |   then per term: varint shared prefix bytes (ending on |
//             |   a character boundary), string suffix                 |
//   postings  +--------------------------------------------------------+
//             | per term, in term id order:                            |
//             |   varint offset of its data in "positions"             |
//             |   varint document frequency                            |
//             |   varint G, then G groups in ascending field id:       |
//             |     varint field id, varint n, then n postings in      |
//             |     ascending document id:                             |
//             |       varint id delta, varint tf, varint position count|
//   positions +--------------------------------------------------------+
//             | (flag bit 0 only) per posting with a count k > 0, in   |
//             | postings order: varint L (common length, else 0), then |
//             | k x (varint start delta [, varint length when L = 0])  |
//   end       +--------------------------------------------------------+
//
// Every offset, count and length stored as u32 is checked before it is
// written; the first one that does not fit fails the write with its name.
// So does a position length over the reader's limit (format.h).
#include "format/writer.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "analysis/utf8.h"
#include "format/canonical_positions.h"
#include "format/data_writer.h"
#include "format/format.h"
#include "index/varint.h"

namespace vrim {

namespace {

using binary_format::kMaxU32;

void PutString(std::string* dst, std::string_view s) {
  PutVarint64(dst, s.size());
  dst->append(s);
}

// Byte length of the longest run of equal leading characters.
size_t SharedPrefix(std::string_view prev, std::string_view term) {
  size_t limit = std::min(prev.size(), term.size());
  size_t n = 0;
  while (n < limit && prev[n] == term[n]) ++n;
  // Equal bytes up to n mean equal lead bytes, so backing off to a
  // boundary of `prev` is backing off to a boundary of both.
  while (!IsCharBoundary(prev, n)) --n;
  return n;
}

class Writer {
 public:
  Writer(const IndexData& data, bool positions, OverlongPosition* overlong)
      : data_(data), positions_(positions), overlong_(overlong) {}

  bool Write(std::string* out, std::string* overflow) {
    WriteMeta();
    if (!WriteDocs(overflow)) return false;
    if (!WritePostings(overflow)) return false;
    if (!WriteTerms(overflow)) return false;
    std::string header;
    if (!WriteHeader(&header, overflow)) return false;
    out->clear();
    out->reserve(header.size() + meta_.size() + docs_.size() + terms_.size() +
                 postings_.size() + positions_data_.size());
    *out += header;
    *out += meta_;
    *out += docs_;
    *out += terms_;
    *out += postings_;
    *out += positions_data_;
    return true;
  }

 private:
  static bool Fail(std::string* overflow, const char* name) {
    *overflow = name;
    return false;
  }

  void WriteMeta() {
    PutString(&meta_, data_.language);
    for (const std::string& name : data_.fields) PutString(&meta_, name);
    for (size_t i = 0; i < data_.fields.size(); ++i) {
      PutDouble(&meta_, i < data_.field_boosts.size() ? data_.field_boosts[i]
                                                      : 1.0);
    }
    PutVarint64(&meta_, data_.pipeline.size());
    for (const std::string& stage : data_.pipeline) PutString(&meta_, stage);
  }

  bool WriteDocs(std::string* overflow) {
    const size_t d = data_.refs.size();
    const size_t f = data_.fields.size();
    docs_.reserve(12 * d + 4 * d * f + 4);
    uint64_t heap = 0;
    for (std::string_view ref : data_.refs) {
      PutFixed32(&docs_, static_cast<uint32_t>(heap));
      heap += ref.size();
      if (heap > kMaxU32) return Fail(overflow, "document reference heap");
    }
    PutFixed32(&docs_, static_cast<uint32_t>(heap));
    // Boosts are held only when one differs from 1.0.
    for (size_t i = 0; i < d; ++i) {
      PutDouble(&docs_, i < data_.doc_boosts.size() ? data_.doc_boosts[i]
                                                    : 1.0);
    }
    for (size_t i = 0; i < d * f; ++i) {
      PutFixed32(&docs_, i < data_.field_lengths.size() ? data_.field_lengths[i]
                                                        : 0);
    }
    for (std::string_view ref : data_.refs) docs_ += ref;
    return true;
  }

  bool WritePostings(std::string* overflow) {
    const size_t t_count = data_.terms.size();
    postings_offsets_.reserve(t_count + 1);
    // Typical sizes: a few bytes per posting and per term header; position
    // lists held canonically in memory are copied at their size.
    postings_.reserve(4 * data_.postings.size() + 4 * t_count);
    if (positions_) positions_data_.reserve(data_.positions.size());
    // seen[doc] == term + 1 when the document was counted for that term.
    std::vector<uint32_t> seen(data_.refs.size(), 0);
    std::vector<Position> scratch;
    // The lists lie back to back in postings order.
    const uint8_t* encoded =
        reinterpret_cast<const uint8_t*>(data_.positions.data());
    const Postings& postings = data_.postings;
    for (size_t t = 0; t < t_count; ++t) {
      if (postings_.size() > kMaxU32) return Fail(overflow, "postings offset");
      postings_offsets_.push_back(static_cast<uint32_t>(postings_.size()));
      const Posting* begin = data_.postings.data() + data_.term_postings[t];
      const Posting* end = data_.postings.data() + data_.term_postings[t + 1];

      uint64_t df = 0;
      uint64_t groups = 0;
      const uint32_t stamp = static_cast<uint32_t>(t + 1);
      for (const Posting* p = begin; p != end; ++p) {
        if (p == begin || postings.field(*p) != postings.field(p[-1])) {
          ++groups;
        }
        if (p->doc < seen.size() && seen[p->doc] != stamp) {
          seen[p->doc] = stamp;
          ++df;
        }
      }
      PutVarint64(&postings_, positions_ ? positions_data_.size() : 0);
      PutVarint64(&postings_, df);
      PutVarint64(&postings_, groups);

      // Postings are sorted by (field, doc): each run of one field is a
      // group, already in document id order.
      for (const Posting* group = begin; group != end;) {
        const uint32_t field = postings.field(*group);
        const Posting* group_end = group;
        while (group_end != end && postings.field(*group_end) == field) {
          ++group_end;
        }
        PutVarint64(&postings_, field);
        PutVarint64(&postings_, group_end - group);
        uint32_t prev_doc = 0;
        for (const Posting* p = group; p != group_end; ++p) {
          PutVarint64(&postings_, p->doc - prev_doc);
          prev_doc = p->doc;
          PutVarint64(&postings_, postings.tf(*p));
          const uint32_t kept = postings.position_count(*p);
          const uint8_t* list = encoded;
          encoded += EncodedPositionsLength(list, kept);
          uint64_t count = positions_ ? kept : 0;
          PutVarint64(&postings_, count);
          if (count > 0) {
            const uint64_t longest = AppendCanonicalPositions(
                list, count, &positions_data_, &scratch);
            if (longest > binary_format::kMaxPositionLength) {
              if (overlong_ != nullptr) {
                *overlong_ = OverlongPosition{p->doc, field, longest};
              }
              return Fail(overflow, "position length");
            }
          }
        }
        group = group_end;
      }
    }
    if (postings_.size() > kMaxU32) return Fail(overflow, "postings offset");
    postings_offsets_.push_back(static_cast<uint32_t>(postings_.size()));
    return true;
  }

  bool WriteTerms(std::string* overflow) {
    const size_t t_count = data_.terms.size();
    std::vector<uint32_t> block_offsets;
    block_offsets.reserve(binary_format::BlockCount(t_count) + 1);
    std::string dictionary;
    for (size_t t = 0; t < t_count; ++t) {
      const std::string_view term = data_.terms[t];
      if (t % binary_format::kTermsPerBlock == 0) {
        if (dictionary.size() > kMaxU32) {
          return Fail(overflow, "term dictionary");
        }
        block_offsets.push_back(static_cast<uint32_t>(dictionary.size()));
        PutString(&dictionary, term);
      } else {
        const std::string_view prev = data_.terms[t - 1];
        size_t shared = SharedPrefix(prev, term);
        PutVarint64(&dictionary, shared);
        PutString(&dictionary, term.substr(shared));
      }
    }
    if (dictionary.size() > kMaxU32) return Fail(overflow, "term dictionary");
    block_offsets.push_back(static_cast<uint32_t>(dictionary.size()));

    terms_.reserve(4 * (block_offsets.size() + postings_offsets_.size()) +
                   dictionary.size());
    for (uint32_t offset : block_offsets) PutFixed32(&terms_, offset);
    for (uint32_t offset : postings_offsets_) PutFixed32(&terms_, offset);
    terms_ += dictionary;
    return true;
  }

  bool WriteHeader(std::string* header, std::string* overflow) {
    if (data_.refs.size() > kMaxU32 || data_.document_count > kMaxU32) {
      return Fail(overflow, "document count");
    }
    if (data_.fields.size() > kMaxU32) return Fail(overflow, "field count");
    if (data_.terms.size() > kMaxU32) return Fail(overflow, "term count");
    uint64_t offsets[6];
    offsets[0] = binary_format::kHeaderSize;
    offsets[1] = offsets[0] + meta_.size();
    offsets[2] = offsets[1] + docs_.size();
    offsets[3] = offsets[2] + terms_.size();
    offsets[4] = offsets[3] + postings_.size();
    offsets[5] = offsets[4] + positions_data_.size();
    if (offsets[5] > kMaxU32) return Fail(overflow, "index size");

    header->append(binary_format::kMagic, 4);
    PutFixed16(header, binary_format::kVersion);
    PutFixed16(header, positions_ ? binary_format::kFlagPositions : 0);
    PutFixed32(header, static_cast<uint32_t>(data_.refs.size()));
    PutFixed32(header, static_cast<uint32_t>(data_.document_count));
    PutFixed32(header, static_cast<uint32_t>(data_.fields.size()));
    PutFixed32(header, static_cast<uint32_t>(data_.terms.size()));
    PutDouble(header, data_.k1);
    PutDouble(header, data_.b);
    for (uint64_t offset : offsets) {
      PutFixed32(header, static_cast<uint32_t>(offset));
    }
    return true;
  }

  const IndexData& data_;
  const bool positions_;
  OverlongPosition* const overlong_;
  std::string meta_;
  std::string docs_;
  std::string terms_;
  std::string postings_;
  std::string positions_data_;
  std::vector<uint32_t> postings_offsets_;
};

}  // namespace

bool WriteIndexData(const IndexData& data, bool positions, std::string* out,
                    std::string* overflow, OverlongPosition* overlong) {
  return Writer(data, positions, overlong).Write(out, overflow);
}

bool WriteIndex(const Index& index, bool positions, std::string* out,
                std::string* overflow, OverlongPosition* overlong) {
  return WriteIndexData(index.data(), positions, out, overflow, overlong);
}

}  // namespace vrim
