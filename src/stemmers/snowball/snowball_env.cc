#include "stemmers/snowball/snowball_env.h"

#include <algorithm>
#include <cstring>

namespace vrim::snowball {

int SnowballEnv::len() const {
  int n = 0;
  for (int i = 0; i < size_; ++i) {
    if ((static_cast<uint8_t>(data_[i]) & 0xC0) != 0x80) ++n;
  }
  return n;
}

std::string SnowballEnv::TakeResult() {
  if (owned_) return std::move(buffer_);
  return std::string(data_, size_);
}

int SnowballEnv::FindAmong(const AmongTable& table, void* context) {
  const int o = cursor;
  const int l = limit;
  const Among* v = table.entries;
  const uint8_t* q = reinterpret_cast<const uint8_t*>(data_) + o;
  int i = 0;
  int j = table.count;
  if (table.starts != nullptr) {
    i = table.starts[q[0]];
    j = table.starts[q[0] + 1];
  }
  const int first = i;
  int common_i = 0;
  int common_j = 0;
  bool first_key_inspected = false;
  while (true) {
    const int k = i + ((j - i) >> 1);
    int diff = 0;
    int common = std::min(common_i, common_j);
    const Among& w = v[k];
    const uint8_t* text = reinterpret_cast<const uint8_t*>(w.text);
    for (int p = common; p < w.size; ++p) {
      if (o + common == l) {
        diff = -1;
        break;
      }
      diff = static_cast<int>(q[common]) - static_cast<int>(text[p]);
      if (diff != 0) break;
      ++common;
    }
    if (diff < 0) {
      j = k;
      common_j = common;
    } else {
      i = k;
      common_i = common;
    }
    if (j - i <= 1) {
      if (i > first || j == i || first_key_inspected) break;
      first_key_inspected = true;
    }
  }
  while (true) {
    const Among& w = v[i];
    if (common_i >= w.size) {
      cursor = o + w.size;
      if (w.condition == nullptr) return w.result;
      if (w.condition(*this, context)) {
        cursor = o + w.size;
        return w.result;
      }
    }
    i = w.substring_i;
    if (i < 0) return 0;
  }
}

int SnowballEnv::FindAmongB(const AmongTable& table, void* context) {
  const int o = cursor;
  const int lb = limit_backward;
  const Among* v = table.entries;
  const uint8_t* q = reinterpret_cast<const uint8_t*>(data_) + o - 1;
  int i = 0;
  int j = table.count;
  if (table.starts != nullptr) {
    i = table.starts[q[0]];
    j = table.starts[q[0] + 1];
  }
  const int first = i;
  int common_i = 0;
  int common_j = 0;
  bool first_key_inspected = false;
  while (true) {
    const int k = i + ((j - i) >> 1);
    int diff = 0;
    int common = std::min(common_i, common_j);
    const Among& w = v[k];
    const uint8_t* text = reinterpret_cast<const uint8_t*>(w.text);
    for (int p = w.size - 1 - common; p >= 0; --p) {
      if (o - common == lb) {
        diff = -1;
        break;
      }
      diff = static_cast<int>(q[-common]) - static_cast<int>(text[p]);
      if (diff != 0) break;
      ++common;
    }
    if (diff < 0) {
      j = k;
      common_j = common;
    } else {
      i = k;
      common_i = common;
    }
    if (j - i <= 1) {
      if (i > first || j == i || first_key_inspected) break;
      first_key_inspected = true;
    }
  }
  while (true) {
    const Among& w = v[i];
    if (common_i >= w.size) {
      cursor = o - w.size;
      if (w.condition == nullptr) return w.result;
      if (w.condition(*this, context)) {
        cursor = o - w.size;
        return w.result;
      }
    }
    i = w.substring_i;
    if (i < 0) return 0;
  }
}

int SnowballEnv::replace_s(int start, int end, const char* s, int n) {
  const int adjustment = n - (end - start);
  if (!owned_) {
    buffer_.reserve(static_cast<size_t>(size_ + std::max(adjustment, 0)));
    buffer_.assign(data_, start);
    buffer_.append(s, n);
    buffer_.append(data_ + end, size_ - end);
    owned_ = true;
  } else {
    buffer_.replace(start, end - start, s, n);
  }
  data_ = buffer_.data();
  size_ = static_cast<int>(buffer_.size());
  limit += adjustment;
  if (cursor >= end) {
    cursor += adjustment;
  } else if (cursor > start) {
    cursor = start;
  }
  return adjustment;
}

void SnowballEnv::slice_from(const char* s, int n) {
  replace_s(bra, ket, s, n);
  ket = bra + n;
}

void SnowballEnv::insert(int start, int end, const char* s, int n) {
  const int adjustment = replace_s(start, end, s, n);
  if (start <= bra) bra += adjustment;
  if (start <= ket) ket += adjustment;
}

}  // namespace vrim::snowball
