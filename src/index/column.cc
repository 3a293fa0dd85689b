#include "index/column.h"

#include <algorithm>
#include <cmath>

namespace vrim {

ColumnValue ColumnValue::String(std::string text) {
  ColumnValue v;
  v.text = std::move(text);
  return v;
}

ColumnValue ColumnValue::Integer(int64_t value) {
  ColumnValue v;
  v.kind = Kind::kInteger;
  v.integer = value;
  return v;
}

ColumnValue ColumnValue::Float(double value) {
  ColumnValue v;
  v.kind = Kind::kFloat;
  v.number = value;
  return v;
}

namespace {

template <typename T>
int Sign(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// An integer against a float, exactly.
int CompareIntegerFloat(int64_t i, double d) {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (d >= kTwo63) return -1;
  if (d < -kTwo63) return 1;
  const double whole = std::trunc(d);  // exact, and within int64
  const int64_t w = static_cast<int64_t>(whole);
  if (i != w) return Sign(i, w);
  return Sign(0.0, d - whole);
}

}  // namespace

int CompareValues(const ColumnValue& a, const ColumnValue& b) {
  using Kind = ColumnValue::Kind;
  if (a.kind == Kind::kString) return Sign(a.text.compare(b.text), 0);
  if (a.kind == Kind::kInteger && b.kind == Kind::kInteger) {
    return Sign(a.integer, b.integer);
  }
  if (a.kind == Kind::kFloat && b.kind == Kind::kFloat) {
    return Sign(a.number, b.number);
  }
  if (a.kind == Kind::kInteger) return CompareIntegerFloat(a.integer, b.number);
  return -CompareIntegerFloat(b.integer, a.number);
}

Column Column::Make(uint32_t universe,
                    std::vector<std::pair<uint32_t, ColumnValue>> entries) {
  Column column;
  column.codes_.assign(universe, kNoValue);
  if (entries.empty()) return column;
  column.holds_strings_ = !entries.front().second.is_number();

  // Ascending values, an integer before a float equal to it, so that the
  // first of each run of equal values is the one kept.
  std::vector<uint32_t> order(entries.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  auto value = [&](uint32_t i) -> const ColumnValue& {
    return entries[i].second;
  };
  std::sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
    const int c = CompareValues(value(x), value(y));
    if (c != 0) return c < 0;
    if (value(x).kind != value(y).kind) {
      return value(x).kind == ColumnValue::Kind::kInteger;
    }
    return x < y;
  });
  for (size_t k = 0; k < order.size(); ++k) {
    const uint32_t i = order[k];
    if (column.values_.empty() ||
        CompareValues(column.values_.back(), value(i)) != 0) {
      column.values_.push_back(std::move(entries[i].second));
    }
    column.codes_[entries[i].first] =
        static_cast<uint32_t>(column.values_.size() - 1);
  }
  return column;
}

uint32_t Column::Bound(const ColumnValue& value, bool after) const {
  auto it = after ? std::upper_bound(values_.begin(), values_.end(), value,
                                     [](const ColumnValue& v,
                                        const ColumnValue& e) {
                                       return CompareValues(v, e) < 0;
                                     })
                  : std::lower_bound(values_.begin(), values_.end(), value,
                                     [](const ColumnValue& e,
                                        const ColumnValue& v) {
                                       return CompareValues(e, v) < 0;
                                     });
  return static_cast<uint32_t>(it - values_.begin());
}

DocSet Column::CodesIn(uint32_t first, uint32_t last) const {
  std::vector<uint32_t> ids;
  if (first < last) {
    for (uint32_t doc = 0; doc < codes_.size(); ++doc) {
      if (codes_[doc] >= first && codes_[doc] < last) ids.push_back(doc);
    }
  }
  return DocSet::FromSortedIds(universe(), std::move(ids));
}

DocSet Column::Equals(const ColumnValue& value) const {
  return CodesIn(Bound(value, false), Bound(value, true));
}

DocSet Column::In(const std::vector<ColumnValue>& values) const {
  std::vector<bool> wanted(values_.size(), false);
  for (const ColumnValue& v : values) {
    const uint32_t code = Bound(v, false);
    if (code < values_.size() && CompareValues(values_[code], v) == 0) {
      wanted[code] = true;
    }
  }
  std::vector<uint32_t> ids;
  for (uint32_t doc = 0; doc < codes_.size(); ++doc) {
    if (codes_[doc] != kNoValue && wanted[codes_[doc]]) ids.push_back(doc);
  }
  return DocSet::FromSortedIds(universe(), std::move(ids));
}

DocSet Column::Between(const ColumnValue* lo, const ColumnValue* hi) const {
  const uint32_t first = lo == nullptr ? 0 : Bound(*lo, false);
  const uint32_t last = hi == nullptr ? static_cast<uint32_t>(values_.size())
                                      : Bound(*hi, true);
  return CodesIn(first, last);
}

}  // namespace vrim
