// Constructors of the five Language kinds; the registry (language.cc)
// decides which one a code resolves to.
#ifndef VRIM_LANGUAGES_KINDS_H_
#define VRIM_LANGUAGES_KINDS_H_

#include <string>
#include <vector>

#include "analysis/language.h"
#include "analysis/stemmers/stemmer_table.h"

namespace vrim {

LanguagePtr MakeEnglishLanguage();

// REQUIRES: `row.stem` is not null.
LanguagePtr MakeSnowballLanguage(const SnowballRow& row);

// `classes`: the script classes whose runs become bigrams, in order.
LanguagePtr MakeBigramLanguage(std::string code, std::vector<int> classes);

LanguagePtr MakeGenericLanguage(std::string code);

// REQUIRES: `members` holds at least two languages.
LanguagePtr MakeMultiLanguage(std::vector<LanguagePtr> members);

}  // namespace vrim

#endif  // VRIM_LANGUAGES_KINDS_H_
