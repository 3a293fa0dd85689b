#include "analysis/stemmers/stemmer_table.h"

#include "analysis/stemmers/snowball/snowball_env.h"
#include "analysis/stemmers/st_arabic.h"
#include "analysis/stemmers/st_armenian.h"
#include "analysis/stemmers/st_basque.h"
#include "analysis/stemmers/st_catalan.h"
#include "analysis/stemmers/st_czech.h"
#include "analysis/stemmers/st_danish.h"
#include "analysis/stemmers/st_dutch.h"
#include "analysis/stemmers/st_dutch_porter.h"
#include "analysis/stemmers/st_english.h"
#include "analysis/stemmers/st_esperanto.h"
#include "analysis/stemmers/st_estonian.h"
#include "analysis/stemmers/st_finnish.h"
#include "analysis/stemmers/st_french.h"
#include "analysis/stemmers/st_german.h"
#include "analysis/stemmers/st_greek.h"
#include "analysis/stemmers/st_hindi.h"
#include "analysis/stemmers/st_hungarian.h"
#include "analysis/stemmers/st_indonesian.h"
#include "analysis/stemmers/st_irish.h"
#include "analysis/stemmers/st_italian.h"
#include "analysis/stemmers/st_lithuanian.h"
#include "analysis/stemmers/st_lovins.h"
#include "analysis/stemmers/st_nepali.h"
#include "analysis/stemmers/st_norwegian.h"
#include "analysis/stemmers/st_persian.h"
#include "analysis/stemmers/st_polish.h"
#include "analysis/stemmers/st_porter.h"
#include "analysis/stemmers/st_portuguese.h"
#include "analysis/stemmers/st_romanian.h"
#include "analysis/stemmers/st_russian.h"
#include "analysis/stemmers/st_serbian.h"
#include "analysis/stemmers/st_sesotho.h"
#include "analysis/stemmers/st_spanish.h"
#include "analysis/stemmers/st_swedish.h"
#include "analysis/stemmers/st_tamil.h"
#include "analysis/stemmers/st_turkish.h"
#include "analysis/stemmers/st_yiddish.h"

namespace vrim {

namespace {

// Runs one stemming call: the environment borrows `word` and owns the text
// only once a rule rewrites it.
template <void (*Stemmer)(snowball::SnowballEnv*)>
std::string Run(std::string_view word) {
  snowball::SnowballEnv env(word);
  Stemmer(&env);
  return env.TakeResult();
}

// The registry's order; a code resolves through the first row equal to it.
const SnowballRow kRows[] = {
    {"ar", &Run<&stemmers::StemArabic>},
    {"ca", &Run<&stemmers::StemCatalan>},
    {"cs", &Run<&stemmers::StemCzech>},
    {"da", &Run<&stemmers::StemDanish>},
    {"de", &Run<&stemmers::StemGerman>},
    {"el", &Run<&stemmers::StemGreek>},
    {"eo", &Run<&stemmers::StemEsperanto>},
    {"es", &Run<&stemmers::StemSpanish>},
    {"et", &Run<&stemmers::StemEstonian>},
    {"eu", &Run<&stemmers::StemBasque>},
    {"fa", &Run<&stemmers::StemPersian>},
    {"fi", &Run<&stemmers::StemFinnish>},
    {"fr", &Run<&stemmers::StemFrench>},
    {"ga", &Run<&stemmers::StemIrish>},
    {"hi", &Run<&stemmers::StemHindi>},
    {"hu", &Run<&stemmers::StemHungarian>},
    {"hy", &Run<&stemmers::StemArmenian>},
    {"id", &Run<&stemmers::StemIndonesian>},
    {"it", &Run<&stemmers::StemItalian>},
    {"lt", &Run<&stemmers::StemLithuanian>},
    {"ne", &Run<&stemmers::StemNepali>},
    {"nl", &Run<&stemmers::StemDutch>},
    {"no", &Run<&stemmers::StemNorwegian>},
    {"pl", &Run<&stemmers::StemPolish>},
    {"pt", &Run<&stemmers::StemPortuguese>},
    {"ro", &Run<&stemmers::StemRomanian>},
    {"ru", &Run<&stemmers::StemRussian>},
    {"sr", &Run<&stemmers::StemSerbian>},
    {"st", &Run<&stemmers::StemSesotho>},
    {"sv", &Run<&stemmers::StemSwedish>},
    {"ta", &Run<&stemmers::StemTamil>},
    {"tr", &Run<&stemmers::StemTurkish>},
    {"yi", &Run<&stemmers::StemYiddish>},
    {"en-snowball", &Run<&stemmers::StemEnglish>},
    {"en-porter", &Run<&stemmers::StemPorter>},
    {"en-lovins", &Run<&stemmers::StemLovins>},
    {"nl-porter", &Run<&stemmers::StemDutchPorter>},
};

}  // namespace

const SnowballRow* SnowballTable(size_t* count) {
  *count = sizeof(kRows) / sizeof(kRows[0]);
  return kRows;
}

}  // namespace vrim
