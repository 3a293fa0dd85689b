// Test support for the binary format: byte helpers and hand-built index
// data, filled the way a build fills it (positions encoded, postings
// sorted by (field, doc) per term).
#ifndef VRIM_TESTS_BINARY_TESTING_H_
#define VRIM_TESTS_BINARY_TESTING_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "format/data_writer.h"
#include "index/index.h"
#include "index/positions.h"

namespace vrim::binary_testing {

inline std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

inline uint32_t U32At(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

struct TestPosting {
  uint32_t field;
  uint32_t doc;
  uint32_t tf;
  std::vector<Position> positions;
};

using TermList = std::vector<std::pair<std::string, std::vector<TestPosting>>>;

// Language "en" with `pipeline`; every field length is `field_length`.
inline IndexData MakeIndexData(std::vector<std::string> fields,
                               std::vector<std::string> refs, TermList terms,
                               std::vector<std::string> pipeline,
                               uint64_t field_length) {
  IndexData d;
  d.language = "en";
  d.pipeline = std::move(pipeline);
  d.fields = std::move(fields);
  d.field_boosts.assign(d.fields.size(), 1.0);
  d.refs = StringTable(refs);
  d.document_count = d.refs.size();
  d.doc_boosts.assign(d.refs.size(), 1.0);
  d.field_lengths.assign(d.refs.size() * d.fields.size(), field_length);
  d.term_postings.push_back(0);
  for (auto& [term, postings] : terms) {
    d.terms.push_back(term);
    for (TestPosting& p : postings) {
      EXPECT_TRUE(d.postings.push_back(
          p.field, p.doc, p.tf, static_cast<uint32_t>(p.positions.size())));
      if (!p.positions.empty()) EncodePositions(&p.positions, &d.positions);
    }
    d.term_postings.push_back(d.postings.size());
  }
  return d;
}

inline std::string Write(const IndexData& data, bool positions = true) {
  std::string out, overflow;
  EXPECT_TRUE(WriteIndexData(data, positions, &out, &overflow)) << overflow;
  return out;
}

// The decoded position list of every posting, in postings order (where
// the lists lie back to back).
inline std::vector<std::vector<Position>> PostingPositions(const IndexData& d) {
  std::vector<std::vector<Position>> out(d.postings.size());
  const auto* list = reinterpret_cast<const uint8_t*>(d.positions.data());
  for (size_t i = 0; i < d.postings.size(); ++i) {
    const uint32_t count = d.postings.position_count(d.postings[i]);
    if (count == 0) continue;
    list += DecodePositions(list, count, &out[i]);
  }
  return out;
}

// The values of posting `i`: field, document, frequency, position count.
inline std::tuple<uint32_t, uint32_t, uint32_t, uint32_t> PostingValues(
    const Postings& postings, size_t i) {
  const Posting& p = postings[i];
  return {postings.field(p), p.doc, postings.tf(p),
          postings.position_count(p)};
}

}  // namespace vrim::binary_testing

#endif  // VRIM_TESTS_BINARY_TESTING_H_
