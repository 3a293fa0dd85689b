#include "stemmers/snowball/snowball_env.h"

#include <algorithm>
#include <cstring>

namespace vrim::snowball {

namespace {

inline bool InGrouping(const uint8_t* g, int min, int max, char32_t ch) {
  if (static_cast<int>(ch) > max || static_cast<int>(ch) < min) return false;
  const int k = static_cast<int>(ch) - min;
  return (g[k >> 3] >> (k & 7)) & 1;
}

inline bool EdgeByteMayMatch(const AmongTable& table, uint8_t b) {
  return (table.edge_bytes[b >> 6] >> (b & 63)) & 1;
}

}  // namespace

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

char32_t SnowballEnv::CharAt(int pos, int* width) const {
  const uint8_t* s = reinterpret_cast<const uint8_t*>(data_) + pos;
  const uint8_t c = s[0];
  if (c < 0x80) {
    *width = 1;
    return c;
  }
  if (c < 0xE0) {
    *width = 2;
    return (char32_t(c & 0x1F) << 6) | (s[1] & 0x3F);
  }
  if (c < 0xF0) {
    *width = 3;
    return (char32_t(c & 0x0F) << 12) | (char32_t(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
  }
  *width = 4;
  return (char32_t(c & 0x07) << 18) | (char32_t(s[1] & 0x3F) << 12) |
         (char32_t(s[2] & 0x3F) << 6) | (s[3] & 0x3F);
}

char32_t SnowballEnv::CharBefore(int pos, int* width) const {
  const int start = PrevCharPos(pos);
  return CharAt(start, width);
}

bool SnowballEnv::in_grouping(const uint8_t* g, int min, int max) {
  if (cursor >= limit) return false;
  int w;
  const char32_t ch = CharAt(cursor, &w);
  if (!InGrouping(g, min, max, ch)) return false;
  cursor += w;
  return true;
}

bool SnowballEnv::out_grouping(const uint8_t* g, int min, int max) {
  if (cursor >= limit) return false;
  int w;
  const char32_t ch = CharAt(cursor, &w);
  if (InGrouping(g, min, max, ch)) return false;
  cursor += w;
  return true;
}

bool SnowballEnv::in_grouping_b(const uint8_t* g, int min, int max) {
  if (cursor <= limit_backward) return false;
  int w;
  const char32_t ch = CharBefore(cursor, &w);
  if (!InGrouping(g, min, max, ch)) return false;
  cursor -= w;
  return true;
}

bool SnowballEnv::out_grouping_b(const uint8_t* g, int min, int max) {
  if (cursor <= limit_backward) return false;
  int w;
  const char32_t ch = CharBefore(cursor, &w);
  if (InGrouping(g, min, max, ch)) return false;
  cursor -= w;
  return true;
}

bool SnowballEnv::go_in_grouping(const uint8_t* g, int min, int max) {
  while (cursor < limit) {
    int w;
    const char32_t ch = CharAt(cursor, &w);
    if (!InGrouping(g, min, max, ch)) return true;
    cursor += w;
  }
  return false;
}

bool SnowballEnv::go_out_grouping(const uint8_t* g, int min, int max) {
  while (cursor < limit) {
    int w;
    const char32_t ch = CharAt(cursor, &w);
    if (InGrouping(g, min, max, ch)) return true;
    cursor += w;
  }
  return false;
}

bool SnowballEnv::go_in_grouping_b(const uint8_t* g, int min, int max) {
  while (cursor > limit_backward) {
    int w;
    const char32_t ch = CharBefore(cursor, &w);
    if (!InGrouping(g, min, max, ch)) return true;
    cursor -= w;
  }
  return false;
}

bool SnowballEnv::go_out_grouping_b(const uint8_t* g, int min, int max) {
  while (cursor > limit_backward) {
    int w;
    const char32_t ch = CharBefore(cursor, &w);
    if (InGrouping(g, min, max, ch)) return true;
    cursor -= w;
  }
  return false;
}

bool SnowballEnv::eq_s(const char* s, int n) {
  if (cursor >= limit) return false;
  if (size_ - cursor < n || std::memcmp(data_ + cursor, s, n) != 0) return false;
  cursor += n;
  while (cursor < size_ && (static_cast<uint8_t>(data_[cursor]) & 0xC0) == 0x80) ++cursor;
  return true;
}

bool SnowballEnv::eq_s_b(const char* s, int n) {
  if (cursor - limit_backward < n) return false;
  const int start = cursor - n;
  if (start > 0 && (static_cast<uint8_t>(data_[start]) & 0xC0) == 0x80) return false;
  if (std::memcmp(data_ + start, s, n) != 0) return false;
  cursor = start;
  return true;
}

int SnowballEnv::find_among(const AmongTable& table, void* context) {
  const int o = cursor;
  const int l = limit;
  if (!table.has_empty &&
      (o >= l || !EdgeByteMayMatch(table, static_cast<uint8_t>(data_[o])))) {
    return 0;
  }
  const Among* v = table.entries;
  const uint8_t* q = reinterpret_cast<const uint8_t*>(data_) + o;
  int i = 0;
  int j = table.count;
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
      if (i > 0 || j == i || first_key_inspected) break;
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

int SnowballEnv::find_among_b(const AmongTable& table, void* context) {
  const int o = cursor;
  const int lb = limit_backward;
  if (!table.has_empty &&
      (o <= lb || !EdgeByteMayMatch(table, static_cast<uint8_t>(data_[o - 1])))) {
    return 0;
  }
  const Among* v = table.entries;
  const uint8_t* q = reinterpret_cast<const uint8_t*>(data_) + o - 1;
  int i = 0;
  int j = table.count;
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
      if (i > 0 || j == i || first_key_inspected) break;
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

bool SnowballEnv::hop(int n) {
  if (n < 0) return false;
  int c = cursor;
  for (; n > 0; --n) {
    if (c >= limit) return false;
    c = NextCharPos(c);
  }
  cursor = c;
  return true;
}

bool SnowballEnv::hop_back(int n) {
  if (n < 0) return false;
  int c = cursor;
  for (; n > 0; --n) {
    if (c <= limit_backward) return false;
    c = PrevCharPos(c);
  }
  cursor = c;
  return true;
}

}  // namespace vrim::snowball
