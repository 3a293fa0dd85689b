// The built-in Porter stemmer of the English language, working in place
// over the ASCII bytes of one lowercased word.
#ifndef VRIM_LANGUAGES_PORTER_H_
#define VRIM_LANGUAGES_PORTER_H_

#include <string>
#include <string_view>

namespace vrim {

// Lowercases `word` (default rules) and strips its suffixes. Words with a
// non-ASCII character and words shorter than three bytes come back
// lowercased and otherwise unchanged.
// REQUIRES: `word` is valid UTF-8.
std::string PorterStem(std::string_view word);

}  // namespace vrim

#endif  // VRIM_LANGUAGES_PORTER_H_
