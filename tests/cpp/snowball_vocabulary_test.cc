// Every published vocabulary word must stem exactly as the reference
// algorithm stems it. The vocabularies live outside the project; the test
// skips when they are absent.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/language.h"

namespace vrim {
namespace {

const char kVocabularyDir[] = VRIM_SHARED_DIR "/snowball-vocab";

struct VocabularyFile {
  const char* code;
  const char* file;
};

const VocabularyFile kFiles[] = {
    {"ar", "arabic"},      {"ca", "catalan"},     {"cs", "czech"},
    {"da", "danish"},      {"de", "german"},      {"el", "greek"},
    {"eo", "esperanto"},   {"es", "spanish"},     {"et", "estonian"},
    {"eu", "basque"},      {"fa", "persian"},     {"fi", "finnish"},
    {"fr", "french"},      {"ga", "irish"},       {"hi", "hindi"},
    {"hu", "hungarian"},   {"hy", "armenian"},    {"id", "indonesian"},
    {"it", "italian"},     {"lt", "lithuanian"},  {"ne", "nepali"},
    {"nl", "dutch"},       {"no", "norwegian"},   {"pl", "polish"},
    {"pt", "portuguese"},  {"ro", "romanian"},    {"ru", "russian"},
    {"sr", "serbian"},     {"sv", "swedish"},     {"ta", "tamil"},
    {"tr", "turkish"},     {"yi", "yiddish"},     {"en-snowball", "english"},
    {"en-porter", "porter"}, {"en-lovins", "lovins"}, {"nl-porter", "dutch_porter"},
};

// Reads `word<TAB>stem` lines through the system's gzip.
bool ReadVocabulary(const std::string& path,
                    std::vector<std::pair<std::string, std::string>>* pairs) {
  const std::string command = "gzip -dc '" + path + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  std::string data;
  char buffer[1 << 16];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) data.append(buffer, n);
  if (pclose(pipe) != 0) return false;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\n', start);
    if (end == std::string::npos) end = data.size();
    std::string_view line(data.data() + start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return false;
    pairs->emplace_back(std::string(line.substr(0, tab)), std::string(line.substr(tab + 1)));
  }
  return true;
}

class VocabularyTest : public ::testing::TestWithParam<VocabularyFile> {};

TEST_P(VocabularyTest, AgreesWithReference) {
  const VocabularyFile& vf = GetParam();
  const std::string path = std::string(kVocabularyDir) + "/" + vf.file + ".tsv.gz";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no vocabulary at " << path;
  std::vector<std::pair<std::string, std::string>> pairs;
  ASSERT_TRUE(ReadVocabulary(path, &pairs)) << path;
  ASSERT_FALSE(pairs.empty());
  // The registry's stem operation lowercases (Turkish rules for "tr")
  // before running the code's stemmer, as the vocabularies assume.
  const LanguageResolution resolved = ResolveLanguage(vf.code);
  ASSERT_TRUE(resolved.fully_supported) << vf.code;
  ASSERT_EQ(resolved.language->kind(), Language::Kind::kSnowball) << vf.code;
  const Language& language = *resolved.language;
  size_t mismatches = 0;
  for (const auto& [word, expected] : pairs) {
    const std::string got = language.stem(word);
    if (got == expected) continue;
    if (++mismatches <= 10) {
      ADD_FAILURE() << vf.code << ": " << word << " -> " << got << ", expected " << expected;
    }
  }
  EXPECT_EQ(mismatches, 0u) << vf.code << ": " << mismatches << " of " << pairs.size()
                            << " words differ";
  RecordProperty("words", static_cast<int>(pairs.size()));
}

INSTANTIATE_TEST_SUITE_P(AllAlgorithms, VocabularyTest, ::testing::ValuesIn(kFiles),
                         [](const ::testing::TestParamInfo<VocabularyFile>& info) {
                           return std::string(info.param.file);
                         });

}  // namespace
}  // namespace vrim
