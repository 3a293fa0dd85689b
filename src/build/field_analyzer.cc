#include "build/field_analyzer.h"

#include "analysis/languages/cjk.h"
#include "analysis/languages/trimmer.h"
#include "analysis/normalize.h"
#include "analysis/utf8.h"

namespace vrim {

namespace {

bool IsAsciiWordByte(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return static_cast<unsigned>(u - 'a') < 26u ||
         static_cast<unsigned>(u - '0') < 10u || u == '_';
}

}  // namespace

FieldAnalyzer::FieldAnalyzer(const Language& language,
                             uint64_t max_token_length)
    : language_(language),
      max_token_length_(max_token_length),
      generic_tokenizer_(language.uses_generic_tokenizer(&turkish_)),
      bigram_tokenizer_(language.uses_bigram_tokenizer(&bigram_classes_)) {}

void FieldAnalyzer::FreeBuffers() {
  std::vector<KeyedToken>().swap(keys_);
  std::string().swap(buffer_);
  std::vector<ByteSpan>().swap(spans_);
  TokenList().swap(tokens_);
}

const std::vector<KeyedToken>& FieldAnalyzer::Analyse(std::string_view text) {
  keys_.clear();
  spans_.clear();
  if (bigram_tokenizer_) {
    AnalyseBigram(text);
    return keys_;
  }
  if (!generic_tokenizer_) {
    AnalyseGeneral(text);
    return keys_;
  }
  if (SplitPlainAscii(text, turkish_, language_.separators(), &spans_)) {
    AnalyseAscii(text);
  } else {
    AnalyseGeneric(text);
  }
  return keys_;
}

// The generic tokenizer over ASCII text whose spans are already cut:
// lowercasing maps byte to byte and code points are bytes.
void FieldAnalyzer::AnalyseAscii(std::string_view text) {
  buffer_.resize(text.size());
  LowercaseAsciiInto(text, buffer_.data());
  const char* data = buffer_.data();
  for (const ByteSpan& span : spans_) {
    size_t b = span.begin;
    size_t e = span.end;
    while (b < e && !IsAsciiWordByte(data[b])) ++b;
    if (b == e) continue;
    while (!IsAsciiWordByte(data[e - 1])) --e;
    if (!Keeps(e - b)) continue;
    keys_.push_back(KeyedToken{MakeKey(std::string_view(data + b, e - b)),
                               Position{b, e - b}, true});
  }
}

// The languages on the generic tokenizer, whose tokenize() is
// NormalizeAndTokenizeGeneric and whose trimmer is GenericTrim: the tokens
// are spans of one normalized buffer, trimmed in place, so no token is
// ever copied out. Gives exactly what the general path gives for them.
void FieldAnalyzer::AnalyseGeneric(std::string_view text) {
  buffer_ = turkish_ ? NormalizeTurkish(text) : NormalizeDefault(text);
  SplitGeneric(buffer_, language_.separators(), &spans_);
  KeepSpans<true>([](std::string_view normalized, size_t* b, size_t* e,
               uint64_t* dropped, uint64_t* length) {
    return TrimSpanToWordCharacters(normalized, b, e, dropped, length);
  });
}

// The bigram languages, likewise: TokenizeBigram's spans, BigramTrim on
// each.
void FieldAnalyzer::AnalyseBigram(std::string_view text) {
  buffer_ = NormalizeDefault(text);
  SplitBigram(buffer_, kStandardSeparators, bigram_classes_, &spans_);
  KeepSpans<false>(BigramTrimSpan);
}

// Keys the spans_ of buffer_ that `trim` (as TrimSpanToWordCharacters)
// keeps, with their positions. With `kDisjoint` no span begins before the
// previous one ends, so counting resumes at the end of the last kept token
// rather than at its span's start.
// REQUIRES: span begins never decrease.
template <bool kDisjoint, class Trim>
void FieldAnalyzer::KeepSpans(const Trim& trim) {
  const std::string_view normalized = buffer_;
  // A known code point offset at or before the next span's start.
  size_t counted_byte = 0;
  uint64_t counted_cp = 0;
  for (const ByteSpan& span : spans_) {
    const size_t gap = span.begin - counted_byte;
    // Mostly a single separator byte, which is one code point.
    counted_cp +=
        gap == 1 ? 1 : CountCodePoints(normalized.substr(counted_byte, gap));
    counted_byte = span.begin;
    size_t b = span.begin;
    size_t e = span.end;
    uint64_t dropped, length;
    if (!trim(normalized, &b, &e, &dropped, &length)) continue;
    if (!Keeps(length)) continue;
    const uint64_t start = counted_cp + dropped;
    keys_.push_back(KeyedToken{MakeKey(normalized.substr(b, e - b)),
                               Position{start, length}, true});
    if constexpr (kDisjoint) {
      counted_byte = e;
      counted_cp = start + length;
    }
  }
}

// Any other language: its own tokenizer and trimmer.
void FieldAnalyzer::AnalyseGeneral(std::string_view text) {
  tokens_ = language_.tokenize(text);
  for (Token& token : tokens_) {
    if (!language_.trim(&token)) continue;
    const TokenMetadata& m = token.metadata;
    if (!Keeps(m.has_position ? m.length : CountCodePoints(token.text))) {
      continue;
    }
    keys_.push_back(KeyedToken{MakeKey(token.text),
                               Position{m.start, m.length}, m.has_position});
  }
}

}  // namespace vrim
