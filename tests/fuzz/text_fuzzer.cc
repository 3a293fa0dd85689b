// libFuzzer target for normalization, tokenization and the language
// pipeline. The first byte picks a language code (every supported code,
// unknown and empty codes, multi-code lists with and without tr); the rest
// is the text. Every token must lie inside the normalized text, be
// non-empty valid UTF-8 and, for single languages, be exactly its slice of
// the normalized text; the generic tokenizer's fast paths must agree with
// tokenize(); the pipeline keeps positions inside the token it trimmed.
//
// Seeds: tests/fuzz/text_seeds.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/language.h"
#include "analysis/normalize.h"
#include "analysis/tokenizer.h"
#include "analysis/utf8.h"
#include "fuzz_support.h"

namespace {

using vrim::fuzz::Check;

struct Resolved {
  std::string code;
  vrim::LanguagePtr language;
};

const std::vector<Resolved>& Languages() {
  static const std::vector<Resolved> languages = [] {
    std::vector<std::string> codes = vrim::SupportedLanguageCodes();
    for (const char* extra : {"", "qq", " tr ", "en,tr", "tr,ja,fr", "zh,en",
                              "th,ko,de", "tr,tr,el"}) {
      codes.push_back(extra);
    }
    std::vector<Resolved> out;
    for (const std::string& code : codes) {
      out.push_back({code, vrim::ResolveLanguage(code).language});
    }
    return out;
  }();
  return languages;
}

std::string Slice(const std::vector<char32_t>& cps, uint64_t start,
                  uint64_t length) {
  return vrim::EncodeUtf8(cps.data() + start, length);
}

// The binding's and the builder's shortcuts for generic-tokenizer
// languages give the tokens tokenize() gives.
void CheckGenericShortcuts(const vrim::Language& language,
                           std::string_view text, const std::string& normalized,
                           const vrim::TokenList& tokens) {
  bool turkish = false;
  if (!language.uses_generic_tokenizer(&turkish)) return;
  std::vector<vrim::ByteSpan> spans;
  std::string cut_from = normalized;
  if (vrim::SplitPlainAscii(text, turkish, language.separators(), &spans)) {
    cut_from.assign(text);
    for (char& c : cut_from) c = (c >= 'A' && c <= 'Z') ? c + 32 : c;
  } else {
    vrim::SplitGeneric(normalized, language.separators(), &spans);
  }
  Check(spans.size() == tokens.size(), "generic shortcut token count");
  for (size_t i = 0; i < spans.size(); ++i) {
    Check(cut_from.substr(spans[i].begin, spans[i].end - spans[i].begin) ==
              tokens[i].text,
          "generic shortcut token text");
  }
  vrim::TokenList direct =
      vrim::NormalizeAndTokenizeGeneric(text, turkish, language.separators());
  Check(direct.size() == tokens.size(), "generic tokenizer token count");
  for (size_t i = 0; i < direct.size(); ++i) {
    Check(direct[i].text == tokens[i].text &&
              direct[i].metadata.start == tokens[i].metadata.start &&
              direct[i].metadata.length == tokens[i].metadata.length,
          "generic tokenizer token");
  }
}

void CheckPipeline(const vrim::Language& language, vrim::TokenList tokens,
                   uint64_t normalized_length) {
  const vrim::TokenList before = tokens;
  const vrim::TokenList after = vrim::RunPipeline(language, std::move(tokens));
  uint64_t previous = 0;
  for (size_t i = 0; i < after.size(); ++i) {
    const vrim::Token& t = after[i];
    Check(vrim::IsValidUtf8(t.text), "pipeline output not UTF-8");
    Check(t.metadata.has_index && t.metadata.index < before.size() &&
              (i == 0 || t.metadata.index > previous),
          "pipeline token ordinals");
    previous = t.metadata.index;
    const vrim::TokenMetadata& from = before[t.metadata.index].metadata;
    Check(t.metadata.has_position &&
              t.metadata.start >= from.start &&
              t.metadata.start + t.metadata.length <=
                  from.start + from.length &&
              t.metadata.start + t.metadata.length <= normalized_length,
          "pipeline moved a position outside its token");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Resolved& resolved = Languages()[data[0] % Languages().size()];
  const vrim::Language& language = *resolved.language;
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (!vrim::IsValidUtf8(text)) return 0;

  const bool turkish_code = vrim::TrimWhiteSpace(resolved.code) == "tr";
  const std::string normalized = turkish_code ? vrim::NormalizeTurkish(text)
                                              : vrim::NormalizeDefault(text);
  Check(vrim::IsValidUtf8(normalized), "normalized text not UTF-8");
  Check(vrim::IsValidUtf8(vrim::NormalizeTurkish(text)) &&
            vrim::IsValidUtf8(vrim::LowercaseDefault(text)) &&
            vrim::IsValidUtf8(vrim::LowercaseTurkish(text)),
        "lowercased text not UTF-8");
  std::vector<char32_t> cps;
  vrim::DecodeUtf8(normalized, &cps);

  const bool multi = language.kind() == vrim::Language::Kind::kMulti;
  const vrim::TokenList tokens = language.tokenize(text);
  for (size_t i = 0; i < tokens.size(); ++i) {
    const vrim::Token& t = tokens[i];
    Check(t.metadata.has_position && t.metadata.has_index &&
              t.metadata.index == i,
          "token metadata");
    Check(t.metadata.length > 0 && !t.text.empty(), "empty token");
    Check(t.metadata.start + t.metadata.length <= cps.size(),
          "token outside the normalized text");
    Check(vrim::IsValidUtf8(t.text), "token not UTF-8");
    if (!multi) {
      Check(Slice(cps, t.metadata.start, t.metadata.length) == t.text,
            "token is not its slice of the normalized text");
    } else if (i > 0) {
      const vrim::TokenMetadata& p = tokens[i - 1].metadata;
      Check(p.start < t.metadata.start ||
                (p.start == t.metadata.start && p.length <= t.metadata.length),
            "multi-language tokens out of order");
    }
  }
  if (!multi) CheckGenericShortcuts(language, text, normalized, tokens);
  CheckPipeline(language, tokens, cps.size());
  if (text.size() < 256) {
    Check(vrim::IsValidUtf8(language.stem(text)), "stem not UTF-8");
    (void)language.is_stop_word(text);
  }
  return 0;
}
