// The English stop-word list.
#ifndef VRIM_LANGUAGES_STOP_WORDS_H_
#define VRIM_LANGUAGES_STOP_WORDS_H_

#include <string_view>

namespace vrim {

// True when `word`, exactly as given, is one of the 119 English stop words
// (all lower case).
bool IsEnglishStopWord(std::string_view word);

// The list itself, sorted in byte order; `*count` receives its length.
const std::string_view* EnglishStopWords(size_t* count);

}  // namespace vrim

#endif  // VRIM_LANGUAGES_STOP_WORDS_H_
