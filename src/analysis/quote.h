// Quoting of user-supplied strings inside messages and reprs.
#ifndef VRIM_QUOTE_H_
#define VRIM_QUOTE_H_

#include <string>
#include <string_view>
#include <vector>

namespace vrim {

// `text` in double quotes: `"` and `\` preceded by a backslash; tab, CR, LF
// and NUL as \t \r \n \0; other non-printable characters as \u{hex} (lower
// case, no leading zeros); printable characters as they are.
// REQUIRES: `text` is valid UTF-8.
std::string Quote(std::string_view text);

// A bracketed list of quoted strings separated by ", ": ["a", "b"].
std::string QuoteList(const std::vector<std::string>& items);

}  // namespace vrim

#endif  // VRIM_QUOTE_H_
