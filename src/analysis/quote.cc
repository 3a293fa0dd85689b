#include "analysis/quote.h"

#include <cstdio>

#include "analysis/unicode.h"
#include "analysis/utf8.h"

namespace vrim {

std::string Quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const char* start = p;
    char32_t cp = NextCodePoint(&p);
    switch (cp) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (IsPrintable(cp)) {
      out.append(start, p - start);
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
      out += buf;
    }
  }
  out.push_back('"');
  return out;
}

std::string QuoteList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += Quote(items[i]);
  }
  out += "]";
  return out;
}

}  // namespace vrim
