// A column: one optional value per document of an index, strings or
// numbers, held as a code per document id into the column's distinct
// values in ascending order. Made once, read by any number of searches.
#ifndef VRIM_COLUMN_H_
#define VRIM_COLUMN_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "index/doc_set.h"

namespace vrim {

// A string, or a number: an integer or a float (never NaN).
struct ColumnValue {
  enum class Kind : uint8_t { kString, kInteger, kFloat };
  Kind kind = Kind::kString;
  std::string text;
  int64_t integer = 0;
  double number = 0.0;

  static ColumnValue String(std::string text);
  static ColumnValue Integer(int64_t value);
  static ColumnValue Float(double value);
  bool is_number() const { return kind != Kind::kString; }
};

// <0, 0 or >0 as `a` orders before, with or after `b`: strings by bytes,
// numbers by exact value (an integer and a float compare without
// rounding, so 2**53 + 1 is above 2.0**53).
// REQUIRES: both strings or both numbers; no NaN.
int CompareValues(const ColumnValue& a, const ColumnValue& b);

class Column {
 public:
  // The code of a document without a value.
  static constexpr uint32_t kNoValue = UINT32_MAX;

  // The column of `entries` (document, value); other documents have no
  // value. Numerically equal values are one value, held as the integer
  // when there is one.
  // REQUIRES: documents unique and below `universe`; values all strings
  // or all numbers; no NaN.
  static Column Make(uint32_t universe,
                     std::vector<std::pair<uint32_t, ColumnValue>> entries);

  uint32_t universe() const { return static_cast<uint32_t>(codes_.size()); }
  // Whether the values are strings (false for numbers, and for a column
  // without values).
  bool holds_strings() const { return holds_strings_; }
  // The distinct values, ascending; codes index them.
  const std::vector<ColumnValue>& values() const { return values_; }
  uint32_t code(uint32_t doc) const { return codes_[doc]; }

  // The documents whose value equals `value`, is one of `values`, or lies
  // within [lo, hi] (a null bound leaves its side open).
  // REQUIRES: values of the column's kind (any kind for a column without
  // values); no NaN.
  DocSet Equals(const ColumnValue& value) const;
  DocSet In(const std::vector<ColumnValue>& values) const;
  DocSet Between(const ColumnValue* lo, const ColumnValue* hi) const;

 private:
  // The documents whose code lies in [first, last).
  DocSet CodesIn(uint32_t first, uint32_t last) const;
  // The first code whose value is not below (`after`: not above) `value`.
  uint32_t Bound(const ColumnValue& value, bool after) const;

  bool holds_strings_ = false;
  std::vector<ColumnValue> values_;
  std::vector<uint32_t> codes_;  // per document
};

}  // namespace vrim

#endif  // VRIM_COLUMN_H_
