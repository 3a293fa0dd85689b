// The validating reader of the layout drawn in writer.cc. Runs in stages
// (header, meta, fixed parts, language, pipeline, references, terms,
// postings, positions, lengths and boosts); the first failing check ends
// the read with its error and nothing is returned.
//
// Beyond the checks every reader must make, this one refuses anything the
// writer never produces and the in-memory index could not hold:
//   - a field name repeated: FieldIdOutOfRange with the repeat's index;
//   - references not strictly ascending in byte order (out of order or
//     repeated): DocumentIdOutOfRange with the offending document id;
//   - terms not strictly ascending: TermIdOutOfRange with the term id;
//   - a term without any posting: TermIdOutOfRange with the term id;
//   - field groups of a term not strictly ascending by field id:
//     FieldIdOutOfRange with the offending field id;
//   - a document id delta of 0 after a group's first posting (the same
//     document twice): DocumentIdOutOfRange with that id.
// Rejecting keeps ids equal to byte-order ranks, which search and the
// writer rely on; re-sorting would only serve files no writer made.
//
// Boosts are sanitised on load (field boosts clamped as at declaration,
// document boosts as at staging), which leaves any file this writer made
// unchanged. Position lists are re-encoded canonically (sorted, canonical
// L, shortest varints) so writing a loaded index gives the writer's bytes.
#include "format/reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "analysis/quote.h"
#include "analysis/unicode.h"
#include "analysis/utf8.h"
#include "format/data_reader.h"
#include "format/format.h"
#include "format/position_scan.h"
#include "index/memory_pages.h"
#include "index/positions.h"
#include "index/varint.h"

namespace vrim {

namespace {

namespace bf = binary_format;
using bf::kMaxU32;

ReadError Error(ReadErrorKind kind, std::string message) {
  return ReadError{kind, std::move(message)};
}

ReadError Truncated(const char* section) {
  return Error(ReadErrorKind::kTruncated,
               "section '" + std::string(section) + "' ends unexpectedly");
}

ReadError Malformed() {
  return Error(ReadErrorKind::kMalformedVarint, "malformed varint");
}

ReadError SectionOutOfBounds(const char* section, uint64_t offset,
                             uint64_t length) {
  return Error(ReadErrorKind::kSectionOutOfBounds,
               "section '" + std::string(section) + "' starts at " +
                   std::to_string(offset) + " but the index ends at " +
                   std::to_string(length));
}

ReadError IdOutOfRange(ReadErrorKind kind, const char* what, uint64_t id) {
  return Error(kind, std::string(what) + " id " + std::to_string(id) +
                         " out of range");
}
ReadError FieldOutOfRange(uint64_t id) {
  return IdOutOfRange(ReadErrorKind::kFieldIdOutOfRange, "field", id);
}
ReadError DocumentOutOfRange(uint64_t id) {
  return IdOutOfRange(ReadErrorKind::kDocumentIdOutOfRange, "document", id);
}
ReadError TermOutOfRange(uint64_t id) {
  return IdOutOfRange(ReadErrorKind::kTermIdOutOfRange, "term", id);
}

ReadError InvalidUtf8(const char* section) {
  return Error(ReadErrorKind::kInvalidUtf8,
               "section '" + std::string(section) + "' contains invalid UTF-8");
}

ReadError BadSharedPrefix(uint64_t shared, uint64_t size) {
  return Error(ReadErrorKind::kBadFrontCoding,
               "front-coded term shares " + std::to_string(shared) +
                   " bytes with a " + std::to_string(size) + "-byte term");
}

// Whether `s` sorts after `t` by bytes: mostly told by the first byte.
inline bool Follows(std::string_view s, std::string_view t) {
  if (s.empty() || t.empty()) return !s.empty();
  const uint8_t a = static_cast<uint8_t>(s[0]);
  const uint8_t b = static_cast<uint8_t>(t[0]);
  return a != b ? a > b : s > t;
}

// A read position inside one section. Every read stays inside
// [begin, end) or fails with the section's name.
class Cursor {
 public:
  Cursor(const uint8_t* begin, const uint8_t* end, const char* section)
      : begin_(begin), pos_(begin), end_(end), section_(section) {}

  uint64_t remaining() const { return static_cast<uint64_t>(end_ - pos_); }
  uint64_t consumed() const { return static_cast<uint64_t>(pos_ - begin_); }

  const uint8_t* pos() const { return pos_; }

  // The hot path of every section: inlined, with the error reporting kept
  // out of line.
  __attribute__((always_inline)) bool Varint(uint64_t* v, ReadError* error) {
    if (pos_ < end_ && *pos_ < 0x80) {  // most varints are one byte
      *v = *pos_++;
      return true;
    }
    if (end_ - pos_ >= 2 && pos_[1] < 0x80) {  // most others two
      *v = (pos_[0] & 0x7Fu) | (uint64_t{pos_[1]} << 7);
      pos_ += 2;
      return true;
    }
    return LongVarint(v, error);
  }

  // Varints of three bytes or more: mostly the offsets of position lists,
  // of three or four.
  __attribute__((noinline)) bool LongVarint(uint64_t* v, ReadError* error) {
    if (end_ - pos_ >= 4) {
      // Bytes 0 and 1 go on (the inlined paths above did not take them).
      const uint32_t w = DecodeFixed32(pos_);
      const uint32_t three =
          (w & 0x7F) | ((w >> 1) & 0x3F80) | ((w >> 2) & 0x1FC000);
      if ((w & 0x800000) == 0) {
        *v = three;
        pos_ += 3;
        return true;
      }
      if ((w & 0x80000000u) == 0) {
        *v = three | ((w >> 3) & 0xFE00000);
        pos_ += 4;
        return true;
      }
    }
    VarintStatus status = GetVarint64(&pos_, end_, v);
    if (status == VarintStatus::kOk) return true;
    ReportVarint(status, error);
    return false;
  }

  __attribute__((noinline)) void ReportVarint(VarintStatus status,
                                              ReadError* error) const {
    *error = status == VarintStatus::kTruncated ? Truncated(section_)
                                                : Malformed();
  }

  __attribute__((always_inline)) bool Varint32(uint32_t* v,
                                               ReadError* error) {
    uint64_t wide;
    if (!Varint(&wide, error)) return false;
    if (wide > kMaxU32) {
      *error = Malformed();
      return false;
    }
    *v = static_cast<uint32_t>(wide);
    return true;
  }

  // REQUIRES: n <= remaining().
  void Skip(uint64_t n) { pos_ += n; }

  // Advances over `n` bytes, returning where they start.
  bool Take(uint64_t n, const uint8_t** at, ReadError* error) {
    if (n > remaining()) {
      *error = Truncated(section_);
      return false;
    }
    *at = pos_;
    pos_ += n;
    return true;
  }

  bool Double(double* v, ReadError* error) {
    const uint8_t* at;
    if (!Take(8, &at, error)) return false;
    *v = DecodeDouble(at);
    return true;
  }

  // Inlined: the dictionary reads one for every term.
  __attribute__((always_inline)) bool String(std::string_view* s,
                                             ReadError* error) {
    uint64_t n;
    const uint8_t* at;
    if (!Varint(&n, error) || !Take(n, &at, error)) return false;
    *s = std::string_view(reinterpret_cast<const char*>(at), n);
    if (!IsAscii(*s) && !IsValidUtf8(*s)) {
      *error = InvalidUtf8(section_);
      return false;
    }
    return true;
  }

 private:
  const uint8_t* begin_;
  const uint8_t* pos_;
  const uint8_t* end_;
  const char* section_;
};

bool IsValidStoredFieldName(std::string_view name) {
  if (name.empty() || name[0] == '+' || name[0] == '-') return false;
  const char* p = name.data();
  const char* end = p + name.size();
  while (p < end) {
    char32_t cp = NextCodePoint(&p);
    if (cp == '/' || cp == ':' || cp == '\\' || cp == '^' || cp == '~' ||
        IsWhiteSpace(cp)) {
      return false;
    }
  }
  return true;
}

class Reader {
 public:
  Reader(std::string_view bytes, ReadError* error,
         ReadPath path = ReadPath::kFast)
      : data_(reinterpret_cast<const uint8_t*>(bytes.data())),
        size_(bytes.size()),
        error_(error),
        fast_(path == ReadPath::kFast) {}

  // Stages 1 to 3: header, meta and the fixed parts of docs and terms.
  bool ReadOpening() { return ReadHeader() && ReadMeta() && CheckFixedParts(); }

  const std::string& language() const { return language_; }

  // Stages 4 to 11 after ReadOpening.
  bool ReadRest(const std::optional<std::string>& requested, IndexData* out,
                LanguagePtr* language) {
    if (!CheckLanguage(requested) || !CheckPipeline(language)) return false;
    IndexData data;
    if (!ReadReferences(&data) || !ReadTerms(&data) || !ReadPostings(&data)) {
      return false;
    }
    ReadLengthsAndBoosts(&data);
    data.language = std::move(language_);
    data.pipeline = std::move(pipeline_);
    data.fields = std::move(fields_);
    data.field_boosts = std::move(field_boosts_);
    data.k1 = k1_;
    data.b = b_;
    data.document_count = document_count_;
    *out = std::move(data);
    return true;
  }

 private:
  bool Fail(ReadError error) {
    *error_ = std::move(error);
    return false;
  }

  const uint8_t* At(uint64_t offset) const { return data_ + offset; }
  uint32_t U32(uint64_t offset) const { return DecodeFixed32(At(offset)); }

  bool ReadHeader() {
    if (size_ < bf::kHeaderSize) {
      return Fail(Error(ReadErrorKind::kTooShort,
                        "index is " + std::to_string(size_) +
                            " bytes, need at least " +
                            std::to_string(bf::kHeaderSize)));
    }
    if (std::memcmp(data_, bf::kMagic, 4) != 0) {
      std::string list = "[";
      for (int i = 0; i < 4; ++i) {
        if (i) list += ", ";
        list += std::to_string(data_[i]);
      }
      return Fail(Error(ReadErrorKind::kBadMagic,
                        "not a Vrim index: magic bytes " + list + "]"));
    }
    uint16_t version = DecodeFixed16(At(bf::kOffVersion));
    if (version != bf::kVersion) {
      return Fail(Error(ReadErrorKind::kBadVersion,
                        "index format version " + std::to_string(version) +
                            " is not supported (this build reads " +
                            std::to_string(bf::kVersion) + ")"));
    }
    flags_ = DecodeFixed16(At(bf::kOffFlags));
    stored_docs_ = U32(bf::kOffStoredDocs);
    document_count_ = U32(bf::kOffDocumentCount);
    field_count_ = U32(bf::kOffFieldCount);
    term_count_ = U32(bf::kOffTermCount);
    k1_ = DecodeDouble(At(bf::kOffK1));
    b_ = DecodeDouble(At(bf::kOffB));
    for (int i = 0; i < 6; ++i) offsets_[i] = U32(bf::kOffSections + 4 * i);

    if (flags_ > bf::kFlagPositions) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%04x", static_cast<unsigned>(flags_));
      return Fail(Error(ReadErrorKind::kUnsupportedFlags,
                        std::string("index has unsupported flag bits ") + hex));
    }
    if (offsets_[kMeta] < bf::kHeaderSize) {
      return Fail(SectionOutOfBounds("meta", offsets_[kMeta], size_));
    }
    if (offsets_[kEnd] != size_) {
      return Fail(SectionOutOfBounds("end", offsets_[kEnd], size_));
    }
    if (!positions_present() && offsets_[kPositions] != offsets_[kEnd]) {
      return Fail(Truncated("positions"));
    }
    for (int s = kDocs; s <= kPositions; ++s) {
      if (offsets_[s] < offsets_[s - 1]) {
        return Fail(Error(ReadErrorKind::kSectionOrder,
                          std::string("section '") + kSectionNames[s] +
                              "' does not follow '" + kSectionNames[s - 1] +
                              "'"));
      }
      if (offsets_[s] > size_) {
        return Fail(SectionOutOfBounds(kSectionNames[s], offsets_[s], size_));
      }
    }
    return true;
  }

  bool ReadMeta() {
    Cursor meta = SectionCursor(kMeta);
    ReadError& e = *error_;
    std::string_view s;
    if (!meta.String(&s, &e)) return false;
    language_ = std::string(s);

    // A count larger than the bytes left cannot be honest; the loop below
    // fails on the data anyway, so no allocation is sized from it.
    std::unordered_set<std::string_view> seen;
    for (uint32_t i = 0; i < field_count_; ++i) {
      if (!meta.String(&s, &e)) return false;
      if (!IsValidStoredFieldName(s) || !seen.insert(s).second) {
        return Fail(FieldOutOfRange(i));
      }
      fields_.emplace_back(s);
    }
    field_boosts_.reserve(fields_.size());
    for (uint32_t i = 0; i < field_count_; ++i) {
      double boost;
      if (!meta.Double(&boost, &e)) return false;
      field_boosts_.push_back(ClampFieldBoost(boost));
    }
    uint64_t stages;
    if (!meta.Varint(&stages, &e)) return false;
    for (uint64_t i = 0; i < stages; ++i) {
      if (!meta.String(&s, &e)) return false;
      pipeline_.emplace_back(s);
    }
    return true;  // bytes after the pipeline are ignored
  }

  bool CheckFixedParts() {
    uint64_t d = stored_docs_;
    uint64_t cells = d * field_count_;  // u32 x u32 fits in 64 bits
    uint64_t docs_fixed;
    uint64_t docs_length = SectionLength(kDocs);
    if (__builtin_mul_overflow(cells, uint64_t{4}, &docs_fixed) ||
        __builtin_add_overflow(docs_fixed, 12 * d + 4, &docs_fixed) ||
        docs_length < docs_fixed) {
      return Fail(Truncated("docs"));
    }
    docs_fixed_ = docs_fixed;
    block_count_ = bf::BlockCount(term_count_);
    terms_fixed_ = 4 * uint64_t{term_count_} + 4 * block_count_ + 8;
    if (SectionLength(kTerms) < terms_fixed_) return Fail(Truncated("terms"));

    heap_length_ = docs_length - docs_fixed_;
    uint64_t prev = 0;
    for (uint64_t i = 0; i <= d; ++i) {
      uint64_t offset = RefOffset(i);
      if (offset < prev || offset > heap_length_) {
        return Fail(Truncated("docs"));
      }
      prev = offset;
    }
    if (prev != heap_length_) return Fail(Truncated("docs"));
    return true;
  }

  bool CheckLanguage(const std::optional<std::string>& requested) {
    if (!requested) return true;
    if (SplitLanguageCode(language_) != SplitLanguageCode(*requested)) {
      return Fail(Error(ReadErrorKind::kLanguageMismatch,
                        "index was built for language " + Quote(language_) +
                            ", not " + Quote(*requested)));
    }
    return true;
  }

  bool CheckPipeline(LanguagePtr* language) {
    LanguagePtr resolved = ResolveLanguage(language_).language;
    const std::vector<std::string>& current = resolved->pipeline();
    if (current != pipeline_) {
      return Fail(Error(ReadErrorKind::kPipelineMismatch,
                        "index was built with pipeline " +
                            QuoteList(pipeline_) + ", not " +
                            QuoteList(current)));
    }
    *language = std::move(resolved);
    return true;
  }

  bool ReadReferences(IndexData* data) {
    const uint64_t d = stored_docs_;
    const char* heap =
        reinterpret_cast<const char*>(At(offsets_[kDocs] + docs_fixed_));
    // The heap ends at a 32-bit offset, so it fits the table.
    // Bounded: the fixed part holds 12 bytes a reference, the heap is read.
    data->refs.reserve(d, heap_length_);
    // A heap of ASCII, the usual one, holds valid references only.
    const bool ascii = IsAscii(std::string_view(heap, heap_length_));
    for (uint64_t i = 0; i < d; ++i) {
      uint64_t begin = RefOffset(i);
      std::string_view ref(heap + begin, RefOffset(i + 1) - begin);
      if (!ascii && !IsValidUtf8(ref)) {
        return Fail(Error(ReadErrorKind::kInvalidUtf8,
                          "section 'docs' contains invalid UTF-8"));
      }
      if (i > 0 && ref <= data->refs.back()) {
        return Fail(DocumentOutOfRange(i));
      }
      data->refs.push_back(ref);
    }
    return true;
  }

  bool ReadTerms(IndexData* data) {
    const uint64_t t_count = term_count_;
    const uint64_t terms_begin = offsets_[kTerms];
    const uint64_t area_begin = terms_begin + terms_fixed_;
    const uint64_t area_length = SectionLength(kTerms) - terms_fixed_;
    // Sized once: an end a term, the bytes as the blocks decode.
    FrontCodedStrings terms(t_count,
                            DecodedTermBytes(area_begin, area_length));
    for (uint64_t k = 0; k < block_count_; ++k) {
      // Entries k and k + 1 lie inside the verified fixed part.
      uint64_t start = U32(terms_begin + 4 * k);
      uint64_t end = U32(terms_begin + 4 * (k + 1));
      if (end < start || end > area_length) return Fail(Truncated("terms"));
      Cursor block(At(area_begin + start), At(area_begin + end), "terms");
      uint64_t first = k * bf::kTermsPerBlock;
      uint64_t count = std::min(bf::kTermsPerBlock, t_count - first);
      if (!ReadTermBlock(&block, first, count, &terms)) return false;
      // Bytes after the block's last term are ignored.
    }
    data->terms = std::move(terms).Finish();
    return true;
  }

  // Reads the `count` terms of one block, the first being term `first`.
  bool ReadTermBlock(Cursor* block, uint64_t first, uint64_t count,
                     FrontCodedStrings* terms) {
    ReadError& e = *error_;
    for (uint64_t j = 0; j < count; ++j) {
      // The term before, in this block from the second term on.
      const std::string_view prev = terms->back();
      uint64_t shared = 0;
      if (j > 0) {
        if (!block->Varint(&shared, &e)) return false;
        if (shared > prev.size() || !IsCharBoundary(prev, shared)) {
          return Fail(BadSharedPrefix(shared, prev.size()));
        }
      }
      std::string_view suffix;
      if (!block->String(&suffix, &e)) return false;
      // The term and the one before share their first `shared` bytes,
      // so the rest decides their order.
      const uint64_t id = first + j;
      if (id > 0 && !Follows(suffix, prev.substr(shared))) {
        return Fail(TermOutOfRange(id));
      }
      // The room holds every term that passes the checks above, unless the
      // terms together pass a table's limit.
      if (shared + suffix.size() > terms->room()) {
        return Fail(Error(ReadErrorKind::kBadFrontCoding,
                          "front-coded terms decode to more than "
                          "4294967295 bytes"));
      }
      terms->Push(shared, suffix);
    }
    return true;
  }

  // The bytes the terms of the dictionary area decode to, when the blocks
  // are sound: a first pass that reads only the lengths, so that the table
  // is allocated once. A shared prefix is counted at most as long as the
  // term before it, so the figure never exceeds what the blocks could
  // decode to (nor a table's limit); reading stops at the first block that
  // does not parse (the second pass reports it).
  // REQUIRES: the fixed part of the terms section has been checked.
  uint64_t DecodedTermBytes(uint64_t area_begin, uint64_t area_length) const {
    const uint64_t terms_begin = offsets_[kTerms];
    ReadError ignored;
    uint64_t total = 0;
    for (uint64_t k = 0; k < block_count_; ++k) {
      const uint64_t start = U32(terms_begin + 4 * k);
      const uint64_t end = U32(terms_begin + 4 * (k + 1));
      if (end < start || end > area_length) break;
      Cursor block(At(area_begin + start), At(area_begin + end), "terms");
      const uint64_t count = std::min(
          bf::kTermsPerBlock, uint64_t{term_count_} - k * bf::kTermsPerBlock);
      uint64_t prev = 0;
      for (uint64_t j = 0; j < count; ++j) {
        uint64_t shared = 0;
        uint64_t length;
        if ((j > 0 && !block.Varint(&shared, &ignored)) ||
            !block.Varint(&length, &ignored) || length > block.remaining()) {
          return total;
        }
        block.Skip(length);
        prev = std::min(shared, prev) + length;
        total += prev;
      }
    }
    return std::min<uint64_t>(total, StringTable::kMaxBytes);
  }

  bool ReadPostings(IndexData* data) {
    const uint64_t t_count = term_count_;
    const uint64_t offsets_at =
        offsets_[kTerms] + 4 * (block_count_ + 1);  // T + 1 u32 entries
    const uint64_t postings_length = SectionLength(kPostings);
    ReadError& e = *error_;
    // Filled in term by term; nothing is kept of a file that fails.
    data->term_postings.assign(t_count + 1, 0);
    // A posting takes at least 3 bytes, so this bounds the count.
    data->postings.reserve(postings_length / 3);
    AdviseHugePages(data->postings.data(),
                    data->postings.capacity() * sizeof(Posting));
    for (uint64_t t = 0; t < t_count; ++t) {
      uint64_t start = U32(offsets_at + 4 * t);
      uint64_t end = U32(offsets_at + 4 * (t + 1));
      if (end < start || end > postings_length) {
        return Fail(Truncated("postings"));
      }
      const uint64_t record_length = end - start;
      Cursor record(At(offsets_[kPostings] + start),
                    At(offsets_[kPostings] + end), "postings");
      uint32_t positions_at, document_frequency;
      uint64_t groups;
      if (!record.Varint32(&positions_at, &e) ||
          !record.Varint32(&document_frequency, &e) ||
          !record.Varint(&groups, &e)) {
        return false;
      }
      if (groups > record_length) return Fail(Truncated("postings"));
      uint64_t next_positions = positions_at;
      const size_t term_first = data->postings.size();
      int64_t prev_field = -1;
      for (uint64_t g = 0; g < groups; ++g) {
        uint32_t field;
        uint64_t n;
        if (!record.Varint32(&field, &e)) return false;
        if (field >= field_count_ || int64_t{field} <= prev_field) {
          return Fail(FieldOutOfRange(field));
        }
        prev_field = field;
        if (!record.Varint(&n, &e)) return false;
        if (n > record_length ||
            n > Postings::kMaxSize - data->postings.size()) {
          return Fail(Truncated("postings"));
        }
        if (!(fast_ && field <= Posting::kMaxPackedField
                  ? ReadGroupFast(&record, field, n, &next_positions,
                                  &data->postings)
                    : ReadGroup(&record, field, n, &next_positions,
                                &data->postings))) {
          return false;
        }
      }
      if (data->postings.size() == term_first) {
        return Fail(TermOutOfRange(t));
      }
      data->term_postings[t + 1] =
          static_cast<uint32_t>(data->postings.size());
      if (next_positions != positions_at) {  // the term has lists
        if (positions_at != lists_end_) relay_ = true;
        lists_end_ = next_positions;
      }
    }
    if (positions_fault_) return Fail(Truncated("positions"));
    if (relay_) {
      RelayPositions(data);
    } else if (any_positions_) {
      // The section holds the lists in postings order, each canonical.
      const uint64_t section_length = SectionLength(kPositions);
      data->positions.reserve(section_length);
      AdviseHugePages(data->positions.data(), data->positions.capacity());
      data->positions.assign(
          reinterpret_cast<const char*>(At(offsets_[kPositions])),
          section_length);
    }
    return true;
  }

  // Lays the lists out again, canonical and in postings order: the file
  // keeps them elsewhere or in another form. Every list has been checked.
  void RelayPositions(IndexData* data) {
    const uint64_t offsets_at = offsets_[kTerms] + 4 * (block_count_ + 1);
    const uint8_t* section = At(offsets_[kPositions]);
    data->positions.clear();
    for (uint64_t t = 0; t < term_count_; ++t) {
      const uint8_t* record = At(offsets_[kPostings] + U32(offsets_at + 4 * t));
      const uint8_t* list = section + GetVarint64Unchecked(&record);
      for (uint64_t i = data->term_postings[t]; i < data->term_postings[t + 1];
           ++i) {
        const uint32_t k = data->postings.position_count(data->postings[i]);
        if (k == 0) continue;
        position_scratch_.clear();
        list += DecodePositions(list, k, &position_scratch_);
        EncodePositions(&position_scratch_, &data->positions);
      }
    }
  }

  // Reads the `n` postings of one field of a term, appending them to `out`.
  bool ReadGroup(Cursor* record, uint32_t field, uint64_t n,
                 uint64_t* next_positions, Postings* out) {
    uint64_t doc = 0;
    for (uint64_t i = 0; i < n; ++i) {
      Posting posting;
      if (!ReadPosting(record, field, i, &doc, next_positions, out,
                       &posting)) {
        return false;
      }
      out->Append(posting);
    }
    return true;
  }

  // As ReadGroup, but takes the common shape of a posting (a one- or
  // two-byte document delta, then a one-byte frequency and position count)
  // and of its position list (ScanCanonicalPositions) without decoding
  // them varint by varint. Each posting is followed by its list, as on the
  // general path, so errors come in the same order: a posting of any other
  // shape goes through ReadPosting from its first byte, and a list the scan
  // does not recognise through ReadPositionList.
  // REQUIRES: field <= Posting::kMaxPackedField.
  __attribute__((always_inline)) bool ReadGroupFast(
      Cursor* record, uint32_t field, uint64_t n, uint64_t* next_positions,
      Postings* out) {
    // Every posting takes at least 3 bytes, so a group that cannot fit
    // fails: the general path finds where.
    if (n > record->remaining() / 3) {
      return ReadGroup(record, field, n, next_positions, out);
    }
    const size_t first = out->size();
    out->Grow(n);  // within the capacity reserved for the section
    Posting* const postings = out->data() + first;
    uint64_t doc = 0;
    for (uint64_t i = 0; i < n;) {
      uint64_t common;
      if (!ReadCommonPostings(record, field, i, n - i, &doc, next_positions,
                              postings + i, &common)) {
        return false;
      }
      i += common;
      if (i == n) break;
      if (!ReadPosting(record, field, i, &doc, next_positions, out,
                       &postings[i])) {
        return false;
      }
      ++i;
    }
    return true;
  }

  // Reads postings of the common shape from `record` into `out`, each with
  // its position list from `*next_positions` on: at most `count`, the first
  // being posting `index` of its group, up to the first posting of another
  // shape or failing a check; `*read` tells how many. Those read pass every
  // check of ReadPosting and pack (a position count of 0 or the frequency).
  // False when a list fails its checks.
  __attribute__((noinline)) bool ReadCommonPostings(
      Cursor* record, uint32_t field, uint64_t index, uint64_t count,
      uint64_t* doc_at, uint64_t* next_positions, Posting* out,
      uint64_t* read) {
    // Members copied to locals: stores to `out` could otherwise alias them.
    const uint8_t* const readable_end = data_ + size_;
    const uint64_t stored_docs = stored_docs_;
    const uint8_t* const positions = At(offsets_[kPositions]);
    // A list reaching past the offsets a posting can hold is left to
    // ReadPositionList, which rejects it.
    const uint8_t* const positions_end =
        positions + std::min<uint64_t>(SectionLength(kPositions), kMaxU32);
    // The lists are followed by pointer; one starting past the section
    // (which fails) leaves it at the end, `excess` bytes short.
    const uint64_t first_list = *next_positions;
    const uint64_t length = SectionLength(kPositions);
    const uint64_t excess = first_list > length ? first_list - length : 0;
    const uint8_t* list = positions + (first_list - excess);
    const uint8_t* p = record->pos();
    const uint8_t* const record_end = p + record->remaining();
    uint64_t doc = *doc_at;
    uint32_t min_delta = index > 0;  // 0 for a group's first posting only
    uint64_t j = 0;
    bool sound = true;
    for (; j < count && readable_end - p >= 4; ++j) {
      const uint32_t w = DecodeFixed32(p);
      const uint32_t two = (w >> 7) & 1;     // the delta takes two bytes
      const uint32_t rest = w >> (8 * two);  // from the delta's last byte
      const uint32_t delta =
          (w & 0x7F) | (((rest & 0x7F) << 7) & (0u - two));
      const uint32_t tf = (rest >> 8) & 0x7F;
      const uint32_t k = (rest >> 16) & 0x7F;
      // One branch for every check: they almost always pass.
      if (((rest & 0x808080u) != 0) | (record_end - p < 3 + two) |
          (doc + delta >= stored_docs) | (delta < min_delta) |
          ((k != 0) & (k != tf))) {
        break;
      }
      doc += delta;
      min_delta = 1;
      out[j] = Postings::Packed(field, static_cast<uint32_t>(doc), tf, k);
      p += 3 + two;
      if (k == 0) continue;
      // A list the scan recognises is sound and canonical, so it is kept
      // where it lies, as ReadPositionList would keep it.
      const uint64_t consumed =
          list < positions_end
              ? ScanCanonicalPositions(list, positions_end, k,
                                       bf::kMaxPositionLength)
              : 0;
      if (consumed > 0) [[likely]] {
        list += consumed;
        continue;
      }
      uint64_t at = static_cast<uint64_t>(list - positions) + excess;
      if (!ReadPositionList(&at, k)) {
        sound = false;
        break;
      }
      list = positions + at;  // at most the section's length once sound
    }
    const uint64_t next = static_cast<uint64_t>(list - positions) + excess;
    if (next != first_list) any_positions_ = true;
    *next_positions = next;
    record->Skip(static_cast<uint64_t>(p - record->pos()));
    *doc_at = doc;
    *read = j;
    return sound;
  }

  // The `i`th posting of a group of `field`, made by `table`: its document
  // id follows `*doc`, its position list lies at `*next_positions`; both
  // move past it.
  __attribute__((noinline)) bool ReadPosting(Cursor* record, uint32_t field,
                                             uint64_t i, uint64_t* doc,
                                             uint64_t* next_positions,
                                             Postings* table,
                                             Posting* posting) {
    ReadError& e = *error_;
    uint32_t delta, tf, k;
    if (!record->Varint32(&delta, &e)) return false;
    *doc += delta;
    if (*doc > kMaxU32) return Fail(Truncated("postings"));
    if (*doc >= stored_docs_ || (i > 0 && delta == 0)) {
      return Fail(DocumentOutOfRange(*doc));
    }
    if (!record->Varint32(&tf, &e) || !record->Varint32(&k, &e)) {
      return false;
    }
    if (!table->Make(field, static_cast<uint32_t>(*doc), tf, k, posting)) {
      return Fail(Truncated("postings"));  // more than a file can hold
    }
    return k == 0 || ReadPositionList(next_positions, k);
  }

  // Checks that one posting's position data at `*offset` can be read as
  // varints and moves `*offset` past it; in the same pass applies the
  // decoding checks (length bound, start overflow). Those are reported only
  // after every posting has passed the first kind, as a file's postings are
  // checked in full before its positions are decoded; both kinds give the
  // same error. A sound list is kept in canonical form: where it lies when
  // it is canonical already, else re-encoded.
  bool ReadPositionList(uint64_t* offset, uint32_t k) {
    const uint64_t section_length = SectionLength(kPositions);
    if (*offset > section_length) return Fail(Truncated("positions"));
    const uint8_t* list_begin = At(offsets_[kPositions] + *offset);
    const uint8_t* section_end = At(offsets_[kPositions] + section_length);
    Cursor list(list_begin, section_end, "positions");
    ReadError& e = *error_;
    uint64_t common;
    if (!list.Varint(&common, &e)) return false;
    const bool with_lengths = common == 0;
    const uint64_t values = with_lengths ? 2 * uint64_t{k} : k;
    if (values > list.remaining()) return Fail(Truncated("positions"));
    bool sound = common <= bf::kMaxPositionLength;
    // Canonical as in binary/canonical_positions.h: shortest varints
    // (a multi-byte varint never ends in 0), equal starts ordered by
    // length, and L = 0 only when the lengths differ or are all 0.
    bool canonical = !(list.pos() - list_begin > 1 && list.pos()[-1] == 0);
    uint64_t start = 0;
    uint64_t first_length = 0;
    uint64_t prev_length = 0;
    bool all_equal = true;
    for (uint32_t i = 0; i < k; ++i) {
      uint64_t delta, length;
      const uint8_t* at = list.pos();
      if (!list.Varint(&delta, &e)) return false;
      if (list.pos() - at > 1 && list.pos()[-1] == 0) canonical = false;
      if (__builtin_add_overflow(start, delta, &start)) sound = false;
      if (with_lengths) {
        at = list.pos();
        if (!list.Varint(&length, &e)) return false;
        if (list.pos() - at > 1 && list.pos()[-1] == 0) canonical = false;
        if (length > bf::kMaxPositionLength) sound = false;
        if (i == 0) {
          first_length = length;
        } else {
          if (length != first_length) all_equal = false;
          if (delta == 0 && length < prev_length) canonical = false;
        }
        prev_length = length;
      }
    }
    if (with_lengths && all_equal && first_length != 0) canonical = false;
    const uint64_t consumed = list.consumed();
    if (consumed > kMaxU32 || *offset + consumed > kMaxU32) {
      return Fail(Truncated("positions"));
    }
    if (!sound) positions_fault_ = true;
    if (!canonical) relay_ = true;
    any_positions_ = true;
    *offset += consumed;
    return true;
  }

  void ReadLengthsAndBoosts(IndexData* data) {
    const uint64_t d = stored_docs_;
    const uint64_t boosts_at = offsets_[kDocs] + 4 * (d + 1);
    const uint64_t lengths_at = boosts_at + 8 * d;
    // Held from the first boost other than 1.0 on, the ones before it
    // filled in; none held when every boost is 1.0.
    for (uint64_t i = 0; i < d; ++i) {
      const double boost =
          SanitizeDocumentBoost(DecodeDouble(At(boosts_at + 8 * i)));
      if (data->doc_boosts.empty()) {
        if (boost == 1.0) continue;
        data->doc_boosts.reserve(d);
        data->doc_boosts.assign(i, 1.0);
      }
      data->doc_boosts.push_back(boost);
    }
    const uint64_t cells = d * field_count_;
    data->field_lengths.reserve(cells);
    for (uint64_t i = 0; i < cells; ++i) {
      data->field_lengths.push_back(U32(lengths_at + 4 * i));
    }
  }

  enum Section { kMeta, kDocs, kTerms, kPostings, kPositions, kEnd };
  static constexpr const char* kSectionNames[6] = {
      "meta", "docs", "terms", "postings", "positions", "end"};

  bool positions_present() const {
    return (flags_ & bf::kFlagPositions) != 0;
  }
  // REQUIRES: the header checks have passed (offsets ascend to the end).
  uint64_t SectionLength(int s) const {
    return uint64_t{offsets_[s + 1]} - offsets_[s];
  }
  Cursor SectionCursor(int s) const {
    return Cursor(At(offsets_[s]), At(offsets_[s + 1]), kSectionNames[s]);
  }
  // REQUIRES: the docs fixed part has been checked to be present.
  uint64_t RefOffset(uint64_t i) const { return U32(offsets_[kDocs] + 4 * i); }

  const uint8_t* data_;
  const uint64_t size_;
  ReadError* error_;
  const bool fast_;

  uint16_t flags_ = 0;
  uint32_t stored_docs_ = 0;
  uint32_t document_count_ = 0;
  uint32_t field_count_ = 0;
  uint32_t term_count_ = 0;
  double k1_ = 0;
  double b_ = 0;
  uint32_t offsets_[6] = {};

  std::string language_;
  std::vector<std::string> fields_;
  std::vector<double> field_boosts_;
  std::vector<std::string> pipeline_;

  uint64_t docs_fixed_ = 0;
  uint64_t terms_fixed_ = 0;
  uint64_t heap_length_ = 0;
  uint64_t block_count_ = 0;
  bool positions_fault_ = false;
  bool any_positions_ = false;
  std::vector<Position> position_scratch_;
  // Where the lists read so far end, and whether they must be laid out
  // again: a term's lists do not start there, or one is not canonical.
  uint64_t lists_end_ = 0;
  bool relay_ = false;
};

}  // namespace

bool ReadIndexLanguage(std::string_view bytes, std::string* language,
                       ReadError* error) {
  Reader reader(bytes, error);
  if (!reader.ReadOpening()) return false;
  *language = reader.language();
  return true;
}

bool ReadIndexData(std::string_view bytes,
                   const std::optional<std::string>& requested_language,
                   IndexData* data, LanguagePtr* language, ReadError* error,
                   ReadPath path) {
  Reader reader(bytes, error, path);
  return reader.ReadOpening() &&
         reader.ReadRest(requested_language, data, language);
}

bool ReadIndex(std::string_view bytes,
               const std::optional<std::string>& requested_language,
               IndexPtr* out, ReadError* error) {
  IndexData data;
  LanguagePtr language;
  if (!ReadIndexData(bytes, requested_language, &data, &language, error)) {
    return false;
  }
  *out = Index::Make(std::move(data), std::move(language));
  return true;
}

}  // namespace vrim
