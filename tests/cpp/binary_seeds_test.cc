// The fuzzer's seed corpus (tests/fuzz/seeds): small sound files covering
// every part of the layout. Each committed seed must load and write back
// byte for byte; run with VRIM_UPDATE_SEEDS=1 to regenerate them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/language.h"
#include "build/index_builder.h"
#include "format/data_writer.h"
#include "format/reader.h"
#include "format/writer.h"
#include "index/positions.h"

namespace vrim {
namespace {

std::filesystem::path SeedDir() {
  return std::filesystem::path(__FILE__).parent_path().parent_path() /
         "fuzz" / "seeds";
}

// A small index over `docs` (reference -> field texts), tokenized on
// spaces; positions count characters of the (ASCII) text.
IndexData MakeIndex(std::string language,
                    std::vector<std::string> fields,
                    std::map<std::string, std::vector<std::string>> docs) {
  IndexData d;
  d.language = language;
  d.pipeline = ResolveLanguage(language).language->pipeline();
  d.fields = fields;
  d.field_boosts.assign(fields.size(), 1.0);
  if (!fields.empty()) d.field_boosts[0] = 2.0;
  // term -> (field, doc) -> positions
  std::map<std::string, std::map<std::pair<uint32_t, uint32_t>,
                                 std::vector<Position>>> postings;
  uint32_t doc = 0;
  for (const auto& [ref, texts] : docs) {
    d.refs.push_back(ref);
    d.doc_boosts.push_back(doc % 3 == 2 ? 0.5 : 1.0);
    for (uint32_t f = 0; f < fields.size(); ++f) {
      const std::string& text = f < texts.size() ? texts[f] : std::string();
      uint64_t tokens = 0;
      size_t i = 0;
      while (i < text.size()) {
        size_t j = text.find(' ', i);
        if (j == std::string::npos) j = text.size();
        if (j > i) {
          postings[text.substr(i, j - i)][{f, doc}].push_back(
              Position{i, j - i});
          ++tokens;
        }
        i = j + 1;
      }
      d.field_lengths.push_back(tokens);
    }
    ++doc;
  }
  d.document_count = d.refs.size();
  d.term_postings.push_back(0);
  for (auto& [term, by_field_doc] : postings) {
    d.terms.push_back(term);
    for (auto& [key, positions] : by_field_doc) {
      const uint32_t count = static_cast<uint32_t>(positions.size());
      EXPECT_TRUE(d.postings.push_back(key.first, key.second, count, count));
      EncodePositions(&positions, &d.positions);
    }
    d.term_postings.push_back(d.postings.size());
  }
  return d;
}

std::map<std::string, std::string> Seeds() {
  std::map<std::string, std::string> seeds;
  auto add = [&](const std::string& name, const IndexData& d) {
    for (bool positions : {true, false}) {
      std::string out, overflow;
      EXPECT_TRUE(WriteIndexData(d, positions, &out, &overflow));
      seeds[name + (positions ? ".vrim" : "-bare.vrim")] = out;
    }
  };
  add("empty", MakeIndex("en", {}, {}));
  add("one", MakeIndex("en", {"body"}, {{"d1", {"hello"}}}));
  add("two-fields",
      MakeIndex("en", {"title", "body"},
                {{"b", {"apple pie", "an apple a day apple"}},
                 {"a", {"apply", "apples and pears"}},
                 {"guide/intro", {"", "añb añc aö añ"}}}));
  std::map<std::string, std::vector<std::string>> many;
  for (int i = 0; i < 20; ++i) {
    many["doc" + std::to_string(i)] = {
        "w" + std::to_string(i) + " w" + std::to_string(i % 7) + " shared"};
  }
  add("blocks", MakeIndex("en,fr", {"text"}, many));
  for (const char* language : {"en", "zh"}) {
    IndexBuilder builder(ResolveLanguage(language).language, 1.2, 0.75);
    builder.DeclareField("title", 5.0);
    builder.DeclareField("body", 1.0);
    builder.Stage({"guide/intro", {{0, "Getting started"},
                                   {1, "The quick brown fox jumps; naïve café"}},
                   1.0});
    builder.Stage({"b", {{1, "中文搜索引擎 全文检索 search engine"}}, 2.0});
    builder.Stage({"a", {{0, "Running runners ran"}, {1, "Zürich über alles"}},
                   1.0});
    add(std::string("built-") + language, builder.Build()->data());
  }
  return seeds;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

TEST(BinarySeeds, CommittedSeedsLoadAndWriteBackExactly) {
  const std::map<std::string, std::string> seeds = Seeds();
  if (const char* update = std::getenv("VRIM_UPDATE_SEEDS");
      update && *update == '1') {
    std::filesystem::create_directories(SeedDir());
    for (const auto& [name, bytes] : seeds) {
      std::ofstream(SeedDir() / name, std::ios::binary) << bytes;
    }
  }
  if (!std::filesystem::exists(SeedDir())) GTEST_SKIP() << "no seed corpus";
  for (const auto& [name, bytes] : seeds) {
    SCOPED_TRACE(name);
    std::string committed = ReadFile(SeedDir() / name);
    EXPECT_EQ(committed, bytes) << "seed out of date";
    IndexPtr index;
    ReadError error;
    ASSERT_TRUE(ReadIndex(committed, std::nullopt, &index, &error))
        << error.message;
    std::string out, overflow;
    ASSERT_TRUE(WriteIndex(*index, name.find("-bare") == std::string::npos,
                           &out, &overflow));
    EXPECT_EQ(out, committed);
  }
}

}  // namespace
}  // namespace vrim
