#include "analysis/languages/porter.h"

#include "analysis/normalize.h"

namespace vrim {

namespace {

// The word being stemmed: b[0, k) of a buffer with one spare byte, since
// step 1b may append an e.
class Stemmer {
 public:
  explicit Stemmer(std::string* word) : w_(word) {}

  void Run() {
    if (Step1a() && Step1b()) Step1c();
    Step2();
    Step3();
    Step4();
    Step5a();
    Step5b();
  }

 private:
  size_t size() const { return w_->size(); }
  char at(size_t i) const { return (*w_)[i]; }

  static bool IsVowelLetter(char c) {
    return c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u';
  }

  // Whether letter i is a consonant; y is one at the start or after a
  // vowel.
  bool IsConsonant(size_t i) const {
    char c = at(i);
    if (IsVowelLetter(c)) return false;
    if (c != 'y') return true;
    return i == 0 || !IsConsonant(i - 1);
  }

  // The measure of the first `len` letters.
  int Measure(size_t len) const {
    size_t i = 0;
    int m = 0;
    while (i < len && IsConsonant(i)) ++i;
    while (i < len) {
      while (i < len && !IsConsonant(i)) ++i;
      if (i >= len) break;
      while (i < len && IsConsonant(i)) ++i;
      ++m;
    }
    return m;
  }

  bool HasVowel(size_t len) const {
    for (size_t i = 0; i < len; ++i) {
      if (!IsConsonant(i)) return true;
    }
    return false;
  }

  // *o*: one or more consonants, one vowel, then one consonant other than
  // w, x or y, making up the whole of the first `len` letters.
  bool IsShortSyllable(size_t len) const {
    if (len < 3) return false;
    char last = at(len - 1);
    if (!IsConsonant(len - 1) || last == 'w' || last == 'x' || last == 'y') {
      return false;
    }
    if (IsConsonant(len - 2)) return false;
    for (size_t i = 0; i + 2 < len; ++i) {
      if (!IsConsonant(i)) return false;
    }
    return true;
  }

  // True when the word ends with `suffix` and is longer than it.
  bool Ends(std::string_view suffix) const {
    size_t n = suffix.size();
    if (size() <= n) return false;
    // Suffixes are a few bytes long: compare from the end, where most
    // candidates already differ, without a library call.
    const char* tail = w_->data() + size() - n;
    for (size_t i = n; i-- > 0;) {
      if (tail[i] != suffix[i]) return false;
    }
    return true;
  }

  void Replace(size_t suffix_len, std::string_view with) {
    w_->resize(size() - suffix_len);
    w_->append(with);
  }

  // Returns false when the word is now shorter than three letters and the
  // rest of step 1 is skipped.
  bool Step1a() {
    if (Ends("sses")) {
      Replace(4, "ss");
    } else if (Ends("ies")) {
      Replace(3, "i");
    } else if (Ends("ss")) {
      // unchanged
    } else if (Ends("s")) {
      Replace(1, "");
    }
    return size() >= 3;
  }

  bool Step1b() {
    if (Ends("eed")) {
      if (Measure(size() - 3) > 0) Replace(3, "ee");
      return true;
    }
    size_t suffix = 0;
    if (Ends("ed")) {
      suffix = 2;
    } else if (Ends("ing")) {
      suffix = 3;
    }
    if (suffix != 0 && HasVowel(size() - suffix)) {
      Replace(suffix, "");
      if (Ends("at") || Ends("bl") || Ends("iz")) {
        w_->push_back('e');
      } else if (EndsInDoubleLetter()) {
        w_->pop_back();
      } else if (IsShortSyllable(size())) {
        w_->push_back('e');
      }
    }
    return size() >= 3;
  }

  bool EndsInDoubleLetter() const {
    if (size() < 2) return false;
    char c = at(size() - 1);
    if (c != at(size() - 2)) return false;
    switch (c) {
      case 'a': case 'e': case 'i': case 'l': case 'o': case 's': case 'u':
      case 'y': case 'z':
        return false;
      default:
        return true;
    }
  }

  void Step1c() {
    if (Ends("y") && !IsVowelLetter(at(size() - 2))) (*w_)[size() - 1] = 'i';
  }

  struct Rule {
    std::string_view suffix;
    std::string_view replacement;
  };

  // Applies the first rule whose suffix matches, if its stem has m > 0.
  template <size_t N>
  void ApplyFirst(const Rule (&rules)[N]) {
    const char last = at(size() - 1);
    for (const Rule& r : rules) {
      if (r.suffix.back() != last) continue;  // most rules end otherwise
      if (Ends(r.suffix)) {
        if (Measure(size() - r.suffix.size()) > 0) {
          Replace(r.suffix.size(), r.replacement);
        }
        return;
      }
    }
  }

  void Step2() {
    static constexpr Rule kRules[] = {
        {"ational", "ate"}, {"fulness", "ful"}, {"iveness", "ive"},
        {"ousness", "ous"}, {"ization", "ize"}, {"tional", "tion"},
        {"biliti", "ble"},  {"lizer", "lize"},  {"alism", "al"},
        {"ation", "ate"},   {"entli", "ent"},   {"ousli", "ous"},
        {"aliti", "al"},    {"iviti", "ive"},   {"anci", "ance"},
        {"enci", "ence"},   {"izer", "ize"},    {"alli", "al"},
        {"ator", "ate"},    {"logi", "log"},    {"bli", "ble"},
        {"eli", "e"},
    };
    ApplyFirst(kRules);
  }

  void Step3() {
    static constexpr Rule kRules[] = {
        {"icate", "ic"}, {"ative", ""}, {"alize", "al"}, {"iciti", "ic"},
        {"ical", "ic"},  {"ness", ""},  {"ful", ""},
    };
    ApplyFirst(kRules);
  }

  void Step4() {
    // Longest first; suffixes of one length exclude each other. ion counts
    // only after s or t, which stays.
    static constexpr std::string_view kSuffixes[] = {
        "ement", "ance", "ence", "able", "ible", "ment", "ant", "ent", "ism",
        "ate",   "iti",  "ous",  "ive",  "ize",  "ion",  "al",  "er",  "ic",
        "ou",
    };
    size_t len = 0;
    const char last = at(size() - 1);
    for (std::string_view s : kSuffixes) {
      if (s.back() != last || !Ends(s)) continue;
      if (s == "ion" && at(size() - 4) != 's' && at(size() - 4) != 't') {
        continue;
      }
      len = s.size();
      break;
    }
    if (len != 0 && Measure(size() - len) > 1) Replace(len, "");
  }

  void Step5a() {
    if (!Ends("e")) return;
    size_t stem = size() - 1;
    int m = Measure(stem);
    if (m > 1 || (m == 1 && !IsShortSyllable(stem))) w_->pop_back();
  }

  void Step5b() {
    if (Ends("ll") && Measure(size()) > 1) w_->pop_back();
  }

  std::string* w_;
};

}  // namespace

std::string PorterStem(std::string_view word) {
  std::string w = LowercaseDefault(word);
  for (unsigned char c : w) {
    if (c >= 0x80) return w;
  }
  if (w.size() < 3) return w;
  w.reserve(w.size() + 1);
  bool initial_y = w[0] == 'y';
  if (initial_y) w[0] = 'Y';
  Stemmer(&w).Run();
  if (initial_y) w[0] = 'y';
  return w;
}

}  // namespace vrim
