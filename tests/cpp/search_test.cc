#include "search/search.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "search_testing.h"

namespace vrim {
namespace {

using testing::AssembleIndex;
using testing::TestCorpus;
using testing::TestDoc;
using testing::TestLanguage;

// A deliberately plain evaluator written from the scoring rules: string
// maps, brute-force expansion over every term, one loop per rule.
class Reference {
 public:
  struct Result {
    std::string ref;
    double score;
    // (term, field) -> positions
    std::map<std::pair<std::string, std::string>, std::vector<Position>>
        matches;
  };

  Reference(const TestCorpus& corpus, const Language& language)
      : corpus_(corpus), language_(language) {
    for (const TestDoc& doc : corpus.docs) {
      boosts_[doc.ref] = doc.boost;
      for (size_t f = 0; f < corpus.fields.size(); ++f) {
        const std::string& field = corpus.fields[f];
        const std::string text = f < doc.texts.size() ? doc.texts[f] : "";
        uint64_t length = 0;
        for (Token token : language.tokenize(text)) {
          if (!language.trim(&token)) continue;
          if (language.is_stop_word(token.text)) continue;
          const std::string term = language.stem(token.text);
          ++length;
          Entry& entry = postings_[term][field][doc.ref];
          ++entry.tf;
          entry.positions.push_back(
              Position{token.metadata.start, token.metadata.length});
        }
        lengths_[doc.ref][field] = length;
      }
    }
    for (const std::string& field : corpus.fields) {
      double sum = 0, count = 0;
      for (auto& [ref, fields] : lengths_) {
        if (fields[field] > 0) {
          sum += fields[field];
          count += 1;
        }
      }
      avg_[field] = count > 0 ? sum / count : 0.0;
    }
    n_docs_ = corpus.document_count >= 0 ? corpus.document_count
                                         : corpus.docs.size();
    k1_ = std::isfinite(corpus.k1) && corpus.k1 >= 0 ? corpus.k1 : 1.2;
    b_ = std::isfinite(corpus.b) ? std::min(1.0, std::max(0.0, corpus.b))
                                 : 0.75;
  }

  std::vector<Result> Run(const Query& query) const {
    std::map<std::string, double> scores;
    std::map<std::string, std::map<std::pair<std::string, std::string>,
                                   std::vector<Position>>>
        match_data;
    std::optional<std::set<std::string>> required;
    std::set<std::string> prohibited;
    bool all_prohibited = true;

    for (const Clause& clause : query.clauses) {
      std::vector<std::string> query_terms;
      if (!clause.use_pipeline) {
        query_terms.push_back(clause.term);
      } else {
        for (Token token : language_.tokenize(clause.term)) {
          if (!language_.trim(&token)) continue;
          if (language_.is_stop_word(token.text)) continue;
          query_terms.push_back(language_.stem(token.text));
        }
      }
      std::vector<std::string> matched;
      for (const std::string& qt : query_terms) {
        if (qt.empty()) continue;
        for (const std::string& term : Expand(clause, qt)) {
          if (std::find(matched.begin(), matched.end(), term) ==
              matched.end()) {
            matched.push_back(term);
          }
        }
      }

      std::set<std::string> clause_docs;
      for (const std::string& term : matched) {
        for (const std::string& field : ClauseFields(query, clause)) {
          auto it = postings_.at(term).find(field);
          if (it == postings_.at(term).end()) continue;
          for (auto& [ref, entry] : it->second) clause_docs.insert(ref);
        }
      }
      if (clause.presence == Presence::kProhibited) {
        prohibited.insert(clause_docs.begin(), clause_docs.end());
        continue;
      }
      all_prohibited = false;
      if (clause.presence == Presence::kRequired) {
        if (!required) {
          required = clause_docs;
        } else {
          std::set<std::string> both;
          for (const std::string& ref : *required) {
            if (clause_docs.count(ref)) both.insert(ref);
          }
          required = both;
        }
      }
      for (const std::string& term : matched) {
        std::set<std::string> containing;
        for (auto& [field, docs] : postings_.at(term)) {
          for (auto& [ref, entry] : docs) containing.insert(ref);
        }
        const double n = std::min<double>(containing.size(), n_docs_);
        const double idf =
            std::log(1.0 + (n_docs_ - n + 0.5) / (n + 0.5));
        for (const std::string& field : ClauseFields(query, clause)) {
          auto it = postings_.at(term).find(field);
          if (it == postings_.at(term).end()) continue;
          for (auto& [ref, entry] : it->second) {
            const double fl = lengths_.at(ref).at(field);
            const double avg = avg_.at(field);
            const double fb = FieldBoost(field);
            const double db = boosts_.at(ref);
            const double tf = entry.tf;
            double base = 0.0;
            if (avg > 0 && db >= 0 && fb >= 0 && tf > 0) {
              const double raw = db * fb * idf * tf * (k1_ + 1) /
                                 (tf + k1_ * ((1 - b_) + b_ * fl / avg));
              base = std::round(raw * 1000) / 1000;
            }
            scores[ref] += clause.boost * base;
            match_data[ref][{term, field}] =
                corpus_.positions ? entry.positions : std::vector<Position>{};
          }
        }
      }
    }

    std::vector<Result> results;
    if (query.clauses.empty()) return results;
    if (all_prohibited) {
      for (auto& [ref, boost] : boosts_) {
        if (!prohibited.count(ref)) results.push_back(Result{ref, 0.0, {}});
      }
      return results;
    }
    for (auto& [ref, score] : scores) {
      if (prohibited.count(ref)) continue;
      if (required && !required->count(ref)) continue;
      results.push_back(Result{ref, score, match_data[ref]});
    }
    std::sort(results.begin(), results.end(),
              [](const Result& x, const Result& y) {
                if (x.score != y.score) return x.score > y.score;
                return x.ref < y.ref;
              });
    return results;
  }

 private:
  struct Entry {
    uint32_t tf = 0;
    std::vector<Position> positions;
  };

  double FieldBoost(const std::string& field) const {
    for (size_t f = 0; f < corpus_.fields.size(); ++f) {
      if (corpus_.fields[f] == field && f < corpus_.field_boosts.size()) {
        return corpus_.field_boosts[f];
      }
    }
    return 1.0;
  }

  static std::vector<char32_t> Chars(const std::string& s) {
    std::vector<char32_t> out;
    DecodeUtf8(s, &out);
    return out;
  }

  // Backslash runs: before `*` k/2 backslashes plus a literal star when k
  // is odd; elsewhere ceil(k/2).
  static std::string Literal(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
      size_t k = 0;
      while (i + k < s.size() && s[i + k] == '\\') ++k;
      if (k == 0) {
        out += s[i++];
        continue;
      }
      i += k;
      const bool star = i < s.size() && s[i] == '*';
      out += std::string(star ? k / 2 : (k + 1) / 2, '\\');
      if (star && k % 2 == 1) {
        out += '*';
        ++i;
      }
    }
    return out;
  }

  // Pattern items: -1 is the wildcard marker, anything else a character.
  static bool Matches(const std::vector<int64_t>& pattern,
                      const std::vector<char32_t>& word, size_t p, size_t w) {
    if (p == pattern.size()) return w == word.size();
    if (pattern[p] == -1) {
      for (size_t skip = w; skip <= word.size(); ++skip) {
        if (Matches(pattern, word, p + 1, skip)) return true;
      }
      return false;
    }
    return w < word.size() && word[w] == static_cast<char32_t>(pattern[p]) &&
           Matches(pattern, word, p + 1, w + 1);
  }

  static std::vector<int64_t> Pattern(const std::string& text) {
    std::vector<int64_t> items;
    const std::vector<char32_t> cs = Chars(text);
    for (size_t i = 0; i < cs.size();) {
      if (cs[i] == '*') {
        if (items.empty() || items.back() != -1) items.push_back(-1);
        ++i;
        continue;
      }
      if (cs[i] != '\\') {
        items.push_back(cs[i++]);
        continue;
      }
      size_t k = 0;
      while (i + k < cs.size() && cs[i + k] == '\\') ++k;
      i += k;
      if (i < cs.size() && cs[i] == '*') {
        for (size_t j = 0; j < k / 2; ++j) items.push_back('\\');
        if (k % 2 == 1) {
          items.push_back('*');
        } else if (items.empty() || items.back() != -1) {
          items.push_back(-1);
        }
        ++i;
      } else {
        for (size_t j = 0; j < (k + 1) / 2; ++j) items.push_back('\\');
      }
    }
    return items;
  }

  static size_t Osa(const std::vector<char32_t>& a,
                    const std::vector<char32_t>& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1,
                                       std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
      for (size_t j = 1; j <= b.size(); ++j) {
        d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                            d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
        if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
          d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
      }
    }
    return d[a.size()][b.size()];
  }

  std::vector<std::string> Expand(const Clause& clause,
                                  const std::string& qt) const {
    std::vector<std::string> out;
    if (clause.wildcard) {
      std::string pattern = qt;
      const size_t lead = qt.find_first_not_of('*');
      if (qt.find("\\*") == std::string::npos && lead != std::string::npos) {
        const size_t last = qt.find_last_not_of('*');
        pattern = (lead > 0 ? "*" : "") +
                  language_.stem(qt.substr(lead, last - lead + 1)) +
                  (last + 1 < qt.size() ? "*" : "");
      }
      const std::vector<int64_t> items = Pattern(pattern);
      for (auto& [term, fields] : postings_) {
        if (Matches(items, Chars(term), 0, 0)) out.push_back(term);
      }
    } else if (clause.edit_distance) {
      const std::vector<char32_t> word = Chars(Literal(qt));
      const uint64_t cap = word.empty() ? 0 : word.size() - 1;
      const uint64_t max = std::min<uint64_t>(*clause.edit_distance, cap);
      for (auto& [term, fields] : postings_) {
        if (Osa(word, Chars(term)) <= max) out.push_back(term);
      }
    } else if (postings_.count(Literal(qt))) {
      out.push_back(Literal(qt));
    }
    return out;
  }

  const TestCorpus& corpus_;
  const Language& language_;
  std::map<std::string, std::map<std::string, std::map<std::string, Entry>>>
      postings_;
  std::map<std::string, std::map<std::string, uint64_t>> lengths_;
  std::map<std::string, double> avg_;
  std::map<std::string, double> boosts_;
  double n_docs_ = 0;
  double k1_ = 1.2;
  double b_ = 0.75;
};

Query Parse(const IndexPtr& index, const std::string& text) {
  Query query;
  ParseError error;
  EXPECT_TRUE(ParseQuery(text, index->data().fields, index->language(),
                         &query, &error))
      << text << ": " << error.message;
  return query;
}

// Compares engine and reference: same hits, scores to 1e-9, the engine's
// order sorted by score with ties by reference, and identical match data.
void ExpectSameResults(const IndexPtr& index, const Query& query,
                       const std::vector<Reference::Result>& want,
                       const std::string& label) {
  const std::vector<Hit> got = Search(index, query);
  ASSERT_EQ(got.size(), want.size()) << label;
  std::map<std::string, const Reference::Result*> by_ref;
  for (const Reference::Result& r : want) by_ref[r.ref] = &r;
  for (size_t i = 0; i < got.size(); ++i) {
    const Hit& hit = got[i];
    ASSERT_TRUE(by_ref.count(std::string(hit.ref())))
        << label << " unexpected " << hit.ref();
    const Reference::Result& r = *by_ref[std::string(hit.ref())];
    EXPECT_NEAR(hit.score, r.score, 1e-9) << label << " " << hit.ref();
    EXPECT_NEAR(hit.score, want[i].score, 1e-9) << label << " rank " << i;
    if (i > 0) {
      const Hit& prev = got[i - 1];
      EXPECT_TRUE(prev.score > hit.score ||
                  (prev.score == hit.score && prev.ref() < hit.ref()))
          << label << " order at " << i;
    }
    for (size_t k = 1; k < hit.matches.size(); ++k) {
      const MatchRef& a = hit.matches[k - 1];
      const MatchRef& c = hit.matches[k];
      EXPECT_TRUE(a.term < c.term || (a.term == c.term && a.field < c.field))
          << label << " match order of " << hit.ref();
    }
    std::map<std::pair<std::string, std::string>, std::vector<Position>>
        matches;
    for (const MatchRef& m : hit.matches) {
      std::vector<Position> positions;
      index->AppendPositions(*m.posting, &positions);
      matches[{std::string(index->data().terms[m.term]),
               index->data().fields[m.field]}] =
          positions;
    }
    EXPECT_EQ(matches, r.matches) << label << " " << hit.ref();
  }
}

const char* const kWords[] = {"ab",   "abc",  "abd",  "bad",  "bed",  "cab",
                              "dab",  "dabs", "ebb",  "abba", "caddy", "dead",
                              "deed", "bead", "beads", "ace",  "aces", "the",
                              "a",    "é",    "éa",   "bé"};

std::string RandomText(std::mt19937& rng) {
  std::string text;
  const int n = std::uniform_int_distribution<int>(0, 10)(rng);
  for (int i = 0; i < n; ++i) {
    std::string word = kWords[rng() % std::size(kWords)];
    if (rng() % 10 == 0) word[0] = static_cast<char>(std::toupper(word[0]));
    if (rng() % 10 == 0) word += ",";
    text += (i ? (rng() % 8 == 0 ? "-" : " ") : "") + word;
  }
  return text;
}

std::string RandomQuery(std::mt19937& rng,
                        const std::vector<std::string>& fields) {
  return testing::RandomQuery(rng, fields, kWords);
}

// One to three fields, each with a boost of its own.
TestCorpus RandomFields(std::mt19937& rng) {
  const std::vector<std::string> all_fields = {"title", "body", "tags"};
  TestCorpus corpus;
  const size_t field_count = 1 + rng() % 3;
  corpus.fields.assign(all_fields.begin(), all_fields.begin() + field_count);
  const double field_boosts[] = {1.0, 2.5, 0.0, 0.5};
  for (size_t f = 0; f < field_count; ++f) {
    corpus.field_boosts.push_back(field_boosts[rng() % 4]);
  }
  return corpus;
}

TEST(SearchTest, MatchesReferenceOnRandomCorpora) {
  std::mt19937 rng(20261207);
  auto language = std::make_shared<TestLanguage>();
  for (int trial = 0; trial < 300; ++trial) {
    TestCorpus corpus = RandomFields(rng);
    const size_t field_count = corpus.fields.size();
    const double k1s[] = {1.2, 0.0, 2.0, -1.0, NAN};
    const double bs[] = {0.75, 0.0, 1.0, 1.5, INFINITY};
    corpus.k1 = k1s[rng() % 5];
    corpus.b = bs[rng() % 5];
    corpus.positions = rng() % 4 != 0;
    if (rng() % 10 == 0) corpus.document_count = rng() % 3;
    // Every fifth corpus is large and sparse: most documents hold only a
    // filler word, so queries touch a small share of the index.
    const bool sparse = trial % 5 == 4;
    const int docs =
        sparse ? 300 : std::uniform_int_distribution<int>(0, 25)(rng);
    for (int d = 0; d < docs; ++d) {
      TestDoc doc;
      doc.ref = "d" + std::to_string(rng() % 1000) + "/" + std::to_string(d);
      for (size_t f = 0; f < field_count; ++f) {
        doc.texts.push_back(sparse && rng() % 30 != 0 ? "filler"
                                                      : RandomText(rng));
      }
      const double boosts[] = {1.0, 1.0, 1.0, 0.0, 3.0};
      doc.boost = boosts[rng() % 5];
      corpus.docs.push_back(doc);
    }
    IndexPtr index = AssembleIndex(corpus, language);
    Reference reference(corpus, *language);
    for (int q = 0; q < 20; ++q) {
      const std::string text = RandomQuery(rng, corpus.fields);
      const Query query = Parse(index, text);
      ExpectSameResults(index, query, reference.Run(query),
                        "trial " + std::to_string(trial) + " query " + text);
      if (HasFailure()) return;
    }
  }
}

// The first n hits of the full ranking, bit for bit, matches included.
void ExpectLimitedPrefix(const IndexPtr& index, const Query& query,
                         const std::vector<Hit>& all, uint64_t limit,
                         const std::string& label,
                         const DocSet* filter = nullptr) {
  SearchOptions options{limit};
  options.filter = filter;
  const std::vector<Hit> got = Search(index, query, options);
  ASSERT_EQ(got.size(), std::min<uint64_t>(limit, all.size())) << label;
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].doc, all[i].doc) << label << " rank " << i;
    ASSERT_EQ(std::bit_cast<uint64_t>(got[i].score + 0.0),
              std::bit_cast<uint64_t>(all[i].score + 0.0))
        << label << " rank " << i;
    ASSERT_EQ(got[i].matches.size(), all[i].matches.size()) << label;
    for (size_t k = 0; k < got[i].matches.size(); ++k) {
      EXPECT_EQ(got[i].matches[k].posting, all[i].matches[k].posting) << label;
    }
  }
}

// Corpora large enough for many blocks per term, with boosts of every kind
// and queries of every feature, so pruning meets ties, zero scores and
// bounds that must hold exactly.
TEST(SearchTest, LimitReturnsTheFirstHitsOfTheFullRanking) {
  std::mt19937 rng(7);
  auto language = std::make_shared<TestLanguage>();
  for (int trial = 0; trial < 60; ++trial) {
    TestCorpus corpus = RandomFields(rng);
    const size_t field_count = corpus.fields.size();
    corpus.b = trial % 7 == 0 ? 0.0 : 0.75;
    const int docs = std::uniform_int_distribution<int>(0, 700)(rng);
    for (int d = 0; d < docs; ++d) {
      TestDoc doc;
      doc.ref = "d" + std::to_string(rng() % 5000) + "/" + std::to_string(d);
      for (size_t f = 0; f < field_count; ++f) {
        doc.texts.push_back(RandomText(rng));
      }
      const double boosts[] = {1.0, 1.0, 1.0, 1.0, 0.0, 3.0, 0.5, -1.0};
      doc.boost = boosts[rng() % 8];
      corpus.docs.push_back(doc);
    }
    IndexPtr index = AssembleIndex(corpus, language);
    // Wide expansions take the exhaustive path with a cut.
    const std::vector<std::string> wide = {"*", "*a* +be*", "*e* -ab"};
    for (size_t q = 0; q < 40 + wide.size(); ++q) {
      const std::string text =
          q < wide.size() ? wide[q] : RandomQuery(rng, corpus.fields);
      const Query query = Parse(index, text);
      const std::vector<Hit> all = Search(index, query);
      const uint64_t limits[] = {0, 1, 2, 3, 10, 50, all.size(),
                                 all.size() + 1, rng() % (all.size() + 2)};
      for (uint64_t limit : limits) {
        ExpectLimitedPrefix(index, query, all, limit,
                            "trial " + std::to_string(trial) + " query " +
                                text + " limit " + std::to_string(limit));
        if (HasFailure()) return;
      }
    }
  }
}

// Long lists beside short ones: a word in most bodies and a few titles,
// so that one list proposes candidates and the others are followed
// between theirs; repeated texts make ties.
TEST(SearchTest, LimitOverOneLongListAndShortOnes) {
  std::mt19937 rng(11);
  auto language = std::make_shared<TestLanguage>();
  const char* const words[] = {"ab", "bed", "cab", "dead"};
  for (int trial = 0; trial < 6; ++trial) {
    TestCorpus corpus;
    corpus.fields = {"title", "body"};
    corpus.field_boosts = {trial % 2 ? 3.0 : 1.0, 1.0};
    for (int d = 0; d < 2500; ++d) {
      std::string title, body;
      if (rng() % 25 == 0) title = words[rng() % 4];
      const int n = 1 + static_cast<int>(rng() % (d % 7 == 0 ? 3 : 30));
      for (int i = 0; i < n; ++i) {
        body += std::string(i ? " " : "") +
                (rng() % 3 ? "filler" : words[rng() % 4]);
      }
      if (d % 11 == 0) body = "ab bed";  // ties
      corpus.docs.push_back(
          {"d" + std::to_string(d), {title, body}, d % 13 ? 1.0 : 2.0});
    }
    IndexPtr index = AssembleIndex(corpus, language);
    for (const char* text : {"ab", "bed^2", "ab cab", "+dead ab", "ab -cab",
                             "title:ab body:bed", "ab bed cab"}) {
      const Query query = Parse(index, text);
      const std::vector<Hit> all = Search(index, query);
      for (uint64_t limit : {1, 3, 10, 40}) {
        ExpectLimitedPrefix(index, query, all, limit,
                            std::string(text) + " limit " +
                                std::to_string(limit));
        if (HasFailure()) return;
      }
    }
  }
}

// Enough documents for many windows of the walk over several lists: a
// rare word crowded into one stretch with long texts elsewhere, so that
// windows are stepped over whole, lists follow in some windows and
// propose in others, and passive lists are read through or sought; the
// threshold rises mid-window at the small limits. A wide expansion takes
// the same walk.
TEST(SearchTest, LimitOverManyWindows) {
  std::mt19937 rng(13);
  auto language = std::make_shared<TestLanguage>();
  TestCorpus corpus;
  corpus.fields = {"title", "body"};
  for (int d = 0; d < 20000; ++d) {
    const bool stretch = d >= 9000 && d < 9600;
    std::string body;
    const int n = 1 + static_cast<int>(rng() % (stretch ? 4 : 40));
    for (int i = 0; i < n; ++i) {
      const uint32_t r = rng() % 100;
      const char* word = r < 30 ? "ab" : r < 36 ? "bed" : "filler";
      if (r == 99 && (stretch || d % 50 == 0)) word = "cab";
      body += std::string(i ? " " : "") + word;
    }
    if (d % 97 == 0) body = "ab bed";  // ties
    if (rng() % 2) {  // 64 words of one prefix: a wide expansion
      body += std::string(" w") + static_cast<char>('a' + rng() % 8) +
              static_cast<char>('a' + rng() % 8);
    }
    corpus.docs.push_back({"d" + std::to_string(d),
                           {rng() % 3 ? "" : "dead", body},
                           d % 13 ? 1.0 : 2.0});
  }
  std::vector<uint32_t> ids;
  for (uint32_t d = 0; d < corpus.docs.size(); d += 1 + rng() % 2) {
    ids.push_back(d);
  }
  const DocSet half = DocSet::FromSortedIds(
      static_cast<uint32_t>(corpus.docs.size()), ids);
  // A title boost of 0: a required clause whose lists bound nothing.
  for (double title_boost : {1.0, 0.0}) {
    corpus.field_boosts = {title_boost, 1.0};
    IndexPtr index = AssembleIndex(corpus, language);
    for (const char* text :
         {"ab bed", "bed cab", "ab bed cab dead", "+bed ab cab",
          "ab cab -dead", "cab^4 ab", "title:dead body:cab bed", "w*",
          "+bed w* cab", "+title:dead bed"}) {
      const Query query = Parse(index, text);
      const std::vector<Hit> all = Search(index, query);
      std::vector<Hit> in_half = all;
      std::erase_if(in_half,
                    [&](const Hit& h) { return !half.Contains(h.doc); });
      for (uint64_t limit : {1, 10, 100}) {
        const std::string label = std::string(text) + " title boost " +
                                  std::to_string(title_boost) + " limit " +
                                  std::to_string(limit);
        ExpectLimitedPrefix(index, query, all, limit, label);
        ExpectLimitedPrefix(index, query, in_half, limit, label + " half",
                            &half);
        if (HasFailure()) return;
      }
    }
  }
}

// A filter keeps the full ranking's hits in it, in order, whichever walk
// the evaluator takes: filters of every density (a bitset or ids) over a
// long list beside short ones and over lists of like lengths. The last
// corpus is large enough for a sparse filter of a few hundred documents,
// which one long list walks led by the filter rather than scoring them all,
// and for a filter of a few documents that long lists gallop to.
TEST(SearchTest, FilteredLimitIsTheFullRankingInTheFilter) {
  std::mt19937 rng(5);
  auto language = std::make_shared<TestLanguage>();
  const char* const words[] = {"ab", "bed", "cab", "dead"};
  for (int trial = 0; trial < 4; ++trial) {
    TestCorpus corpus;
    corpus.fields = {"title", "body"};
    for (int d = 0; d < (trial == 3 ? 12000 : 3000); ++d) {
      std::string title = rng() % (trial < 2 ? 25 : 2) ? "" : words[rng() % 4];
      std::string body;
      const int n = 1 + static_cast<int>(rng() % (d % 7 == 0 ? 3 : 30));
      for (int i = 0; i < n; ++i) {
        body += std::string(i ? " " : "") +
                (rng() % 3 ? "filler" : words[rng() % 4]);
      }
      if (d % 11 == 0) body = "ab bed";  // ties
      corpus.docs.push_back({"d" + std::to_string(d), {title, body}});
    }
    IndexPtr index = AssembleIndex(corpus, language);
    for (double share : {0.0003, 0.02, 0.025, 0.5, 0.95}) {
      std::vector<uint32_t> ids;
      for (uint32_t d = 0; d < corpus.docs.size(); ++d) {
        if (std::uniform_real_distribution<double>(0, 1)(rng) < share) {
          ids.push_back(d);
        }
      }
      const DocSet filter = DocSet::FromSortedIds(
          static_cast<uint32_t>(corpus.docs.size()), ids);
      for (const char* text : {"ab", "body:ab", "ab cab", "ab bed cab dead",
                               "+dead ab", "ab -cab", "title:ab body:bed"}) {
        const Query query = Parse(index, text);
        std::vector<Hit> all = Search(index, query);
        std::erase_if(all, [&](const Hit& h) { return !filter.Contains(h.doc); });
        for (uint64_t limit : {1, 10, 40}) {
          ExpectLimitedPrefix(index, query, all, limit,
                              std::string(text) + " share " +
                                  std::to_string(share) + " limit " +
                                  std::to_string(limit),
                              &filter);
          if (HasFailure()) return;
        }
      }
    }
  }
}

class SmallIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    corpus_.fields = {"title", "body"};
    corpus_.docs = {
        {"a", {"dog", "cat bird"}},
        {"b", {"dog", "cat bird"}},
        {"c", {"cat", "fish"}},
        {"d", {"bird", "dog dog dog fish"}, 0.0},
    };
    index_ = AssembleIndex(corpus_, std::make_shared<TestLanguage>());
  }

  std::vector<std::string> Refs(const std::string& query) {
    std::vector<std::string> refs;
    for (const Hit& hit : Search(index_, Parse(index_, query))) {
      refs.emplace_back(hit.ref());
    }
    return refs;
  }

  TestCorpus corpus_;
  IndexPtr index_;
};

TEST_F(SmallIndexTest, PresenceRules) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Refs(""), V{});
  EXPECT_EQ(Refs("the of"), V{});
  EXPECT_EQ(Refs("-dog"), (V{"c"}));
  EXPECT_EQ(Refs("-fish -title:dog"), V{});
  EXPECT_EQ(Refs("-nothing"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(Refs("-the"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(Refs("+fish cat"), (V{"c", "d"}));
  EXPECT_EQ(Refs("+fish +cat"), (V{"c"}));
  EXPECT_EQ(Refs("+nosuchterm dog"), V{});
  EXPECT_EQ(Refs("+the dog"), V{});
  EXPECT_EQ(Refs("dog -fish"), (V{"a", "b"}));
}

TEST_F(SmallIndexTest, AllProhibitedHitsHaveNoScoreAndNoMatches) {
  const std::vector<Hit> hits = Search(index_, Parse(index_, "-cat"));
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].ref(), "d");
  EXPECT_EQ(hits[0].score, 0.0);
  EXPECT_TRUE(hits[0].matches.empty());
}

TEST_F(SmallIndexTest, TiesGoByReferenceAndZeroBoostsStayInResults) {
  const std::vector<Hit> hits = Search(index_, Parse(index_, "dog"));
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].ref(), "a");
  EXPECT_EQ(hits[1].ref(), "b");
  EXPECT_EQ(hits[0].score, hits[1].score);
  // Document d has boost 0: it matches with score 0 and keeps its matches.
  EXPECT_EQ(hits[2].ref(), "d");
  EXPECT_EQ(hits[2].score, 0.0);
  ASSERT_EQ(hits[2].matches.size(), 1u);
  std::vector<Position> positions;
  index_->AppendPositions(*hits[2].matches[0].posting, &positions);
  EXPECT_EQ(positions, (std::vector<Position>{{0, 3}, {4, 3}, {8, 3}}));
}

TEST_F(SmallIndexTest, ContributionsAreRoundedToThreeDecimals) {
  for (const char* query : {"cat", "bird", "title:dog", "fish^0.5", "fi*"}) {
    for (const Hit& hit : Search(index_, Parse(index_, query))) {
      const double thousandths = hit.score * 1000.0 *
                                 (std::string(query) == "fish^0.5" ? 2 : 1);
      EXPECT_NEAR(thousandths, std::round(thousandths), 1e-6) << query;
    }
  }
}

TEST_F(SmallIndexTest, FieldRestrictionKeepsIdfOverAllFields) {
  // bird is in three documents (a and b in body, d in title): the body
  // restriction drops d from the hits but not from the IDF.
  const std::vector<Hit> body = Search(index_, Parse(index_, "body:bird"));
  ASSERT_EQ(body.size(), 2u);
  const double idf = std::log(1.0 + (4 - 3 + 0.5) / (3 + 0.5));
  const double avg = (2 + 2 + 1 + 4) / 4.0;
  const double raw = idf * 1 * 2.2 / (1 + 1.2 * (0.25 + 0.75 * 2 / avg));
  EXPECT_DOUBLE_EQ(body[0].score, std::round(raw * 1000) / 1000);
}

TEST(SearchPositionsTest, SameScoresWithoutPositions) {
  TestCorpus corpus;
  corpus.fields = {"body"};
  corpus.docs = {{"x", {"abc abd abc"}}, {"y", {"abd bed"}}, {"z", {"cab"}}};
  auto language = std::make_shared<TestLanguage>();
  IndexPtr with = AssembleIndex(corpus, language);
  corpus.positions = false;
  IndexPtr without = AssembleIndex(corpus, language);
  for (const char* text : {"abc", "ab*", "abc~1", "+abd abc", "-cab"}) {
    const std::vector<Hit> a = Search(with, Parse(with, text));
    const std::vector<Hit> b = Search(without, Parse(without, text));
    ASSERT_EQ(a.size(), b.size()) << text;
    for (size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(a[i].ref(), b[i].ref()) << text;
      EXPECT_EQ(a[i].score, b[i].score) << text;
      ASSERT_EQ(a[i].matches.size(), b[i].matches.size()) << text;
      for (const MatchRef& m : b[i].matches) {
        std::vector<Position> positions;
        without->AppendPositions(*m.posting, &positions);
        EXPECT_TRUE(positions.empty()) << text;
      }
    }
  }
}

// The token set and the score bounds are derived by whichever search
// needs them first; threads racing to be first all see the same data.
TEST(SearchTest, LazilyDerivedDataIsSafeUnderConcurrentFirstUse) {
  std::mt19937 rng(11);
  TestCorpus corpus;
  corpus.fields = {"title", "body"};
  for (int d = 0; d < 400; ++d) {
    corpus.docs.push_back(
        {"d" + std::to_string(d), {RandomText(rng), RandomText(rng)}});
  }
  auto language = std::make_shared<TestLanguage>();
  const std::vector<std::string> texts = {"ab* dead", "bead~1 +cab", "abba"};
  std::vector<std::vector<uint32_t>> want;
  {
    IndexPtr reference = AssembleIndex(corpus, language);
    for (const std::string& text : texts) {
      std::vector<uint32_t> docs;
      for (const Hit& hit : Search(reference, Parse(reference, text),
                                   SearchOptions{5})) {
        docs.push_back(hit.doc);
      }
      want.push_back(docs);
    }
  }
  for (int round = 0; round < 20; ++round) {
    IndexPtr index = AssembleIndex(corpus, language);
    std::vector<std::vector<std::vector<uint32_t>>> got(8);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < got.size(); ++t) {
      threads.emplace_back([&, t] {
        for (const std::string& text : texts) {
          std::vector<uint32_t> docs;
          for (const Hit& hit :
               Search(index, Parse(index, text), SearchOptions{5})) {
            docs.push_back(hit.doc);
          }
          got[t].push_back(docs);
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (const auto& results : got) ASSERT_EQ(results, want);
  }
}

TEST(SearchTest, WildcardWinsOverEditDistanceAndStemsItsCore) {
  TestCorpus corpus;
  corpus.fields = {"body"};
  corpus.docs = {{"x", {"beads"}}, {"y", {"bead"}}, {"z", {"bend"}}};
  IndexPtr index = AssembleIndex(corpus, std::make_shared<TestLanguage>());
  auto refs = [&](const char* text) {
    std::vector<std::string> out;
    for (const Hit& hit : Search(index, Parse(index, text))) {
      out.emplace_back(hit.ref());
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(refs("beads*"), (V{"x", "y"}));  // core stemmed to bead
  EXPECT_EQ(refs("bead*~1"), (V{"x", "y"}));
  EXPECT_EQ(refs("bead~1"), (V{"x", "y", "z"}));
  EXPECT_EQ(refs("***"), (V{"x", "y", "z"}));
  EXPECT_EQ(refs("bead\\*"), V{});
}

}  // namespace
}  // namespace vrim

namespace vrim {
namespace {

// The BM25 contribution of one posting, from the stored numbers.
double Contribution(const Index& index, const MatchRef& m, uint32_t doc) {
  const IndexData& d = index.data();
  const double n = std::min<double>(index.document_frequency(m.term),
                                    d.document_count);
  const double idf = std::log(1 + (d.document_count - n + 0.5) / (n + 0.5));
  const double tf = index.tf(*m.posting);
  const double fl = index.field_length(doc, m.field);
  const double avg = index.average_field_length(m.field);
  const double raw = d.doc_boost(doc) * d.field_boosts[m.field] * idf * tf *
                     2.2 / (tf + 1.2 * (0.25 + 0.75 * fl / avg));
  return std::round(raw * 1000) / 1000;
}

TEST(SearchLanguageTest, TurkishSpellingsAreAlternativesNotAddedUp) {
  TestCorpus corpus;
  corpus.fields = {"body"};
  corpus.docs = {{"x", {"KIRMIZI elma"}}, {"y", {"armut"}}, {"z", {"elma"}}};
  IndexPtr index = AssembleIndex(corpus, ResolveLanguage("en,tr").language);
  for (const char* text : {"KIRMIZI", "KIRMIZ*"}) {
    const std::vector<Hit> hits = Search(index, Parse(index, text));
    ASSERT_EQ(hits.size(), 1u) << text;
    ASSERT_EQ(hits[0].matches.size(), 2u) << text;
    const double a = Contribution(*index, hits[0].matches[0], hits[0].doc);
    const double b = Contribution(*index, hits[0].matches[1], hits[0].doc);
    EXPECT_GT(a, 0.0);
    EXPECT_GT(b, 0.0);
    EXPECT_DOUBLE_EQ(hits[0].score, std::max(a, b)) << text;
  }
}

class PhraseSearchTest : public ::testing::Test {
 protected:
  IndexPtr Make(bool positions) {
    TestCorpus corpus;
    corpus.fields = {"body"};
    corpus.positions = positions;
    // Same bigrams and field lengths; only "exact" holds the phrase.
    corpus.docs = {{"exact", {"エンジン"}},
                   {"scattered", {"エンジ ジン"}},
                   {"two", {"エンジン 検索機"}},
                   {"second", {"エンジ ジン 検索機"}},
                   {"split", {"検索 機", "ignored"}}};
    return AssembleIndex(corpus, ResolveLanguage("ja").language);
  }

  // The score of `doc` for a single-bigram query: its undoubled share.
  double Single(const IndexPtr& index, const char* bigram,
                const std::string& ref) {
    for (const Hit& hit : Search(index, Parse(index, bigram))) {
      if (hit.ref() == ref) return hit.score;
    }
    return 0.0;
  }
};

TEST_F(PhraseSearchTest, ExactPhraseDoublesItsBigrams) {
  IndexPtr index = Make(true);
  const std::vector<Hit> hits = Search(index, Parse(index, "エンジン"));
  ASSERT_EQ(hits.size(), 4u);
  std::map<std::string, double> score;
  for (const Hit& hit : hits) score[std::string(hit.ref())] = hit.score;
  const double exact = Single(index, "エン", "exact") +
                       Single(index, "ンジ", "exact") +
                       Single(index, "ジン", "exact");
  EXPECT_DOUBLE_EQ(score["exact"], 2 * exact);
  const double scattered = Single(index, "エン", "scattered") +
                           Single(index, "ンジ", "scattered") +
                           Single(index, "ジン", "scattered");
  EXPECT_DOUBLE_EQ(score["scattered"], scattered);
  EXPECT_GT(score["exact"], score["scattered"]);
}

TEST_F(PhraseSearchTest, TwoRunsAreVerifiedIndependently) {
  IndexPtr index = Make(true);
  // One clause (escaped space), two CJK runs, two phrases.
  const std::vector<Hit> hits =
      Search(index, Parse(index, "エンジン\\ 検索機"));
  std::map<std::string, double> score;
  for (const Hit& hit : hits) score[std::string(hit.ref())] = hit.score;
  auto sum = [&](const std::string& ref, double engine, double search) {
    return engine * (Single(index, "エン", ref) + Single(index, "ンジ", ref) +
                     Single(index, "ジン", ref)) +
           search * (Single(index, "検索", ref) + Single(index, "索機", ref));
  };
  EXPECT_DOUBLE_EQ(score["two"], sum("two", 2, 2));
  EXPECT_DOUBLE_EQ(score["second"], sum("second", 1, 2));
  EXPECT_DOUBLE_EQ(score["split"], sum("split", 1, 1));
}

TEST_F(PhraseSearchTest, NoDoublingWithoutPositions) {
  IndexPtr index = Make(false);
  const std::vector<Hit> hits = Search(index, Parse(index, "エンジン"));
  ASSERT_EQ(hits.size(), 4u);
  std::map<std::string, double> score;
  for (const Hit& hit : hits) score[std::string(hit.ref())] = hit.score;
  EXPECT_EQ(score["exact"], score["scattered"]);
  EXPECT_EQ(hits[0].ref(), "exact");  // the tie goes by reference
  EXPECT_EQ(hits[1].ref(), "scattered");
}

}  // namespace
}  // namespace vrim
