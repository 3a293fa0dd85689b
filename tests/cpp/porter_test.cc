#include "analysis/languages/porter.h"

#include <gtest/gtest.h>

namespace vrim {
namespace {

struct Case {
  const char* in;
  const char* out;
};

class PorterTest : public testing::TestWithParam<Case> {};

TEST_P(PorterTest, Stems) {
  EXPECT_EQ(PorterStem(GetParam().in), GetParam().out) << GetParam().in;
}

INSTANTIATE_TEST_SUITE_P(
    Step1a, PorterTest,
    testing::ValuesIn(std::vector<Case>{{"caresses", "caress"},
                                        {"ponies", "poni"},
                                        {"ties", "ti"},
                                        {"caress", "caress"},
                                        {"cats", "cat"}}));

INSTANTIATE_TEST_SUITE_P(
    Step1b, PorterTest,
    testing::ValuesIn(std::vector<Case>{
        {"feed", "feed"},         {"agreed", "agre"},
        {"plastered", "plaster"}, {"bled", "bled"},
        {"motoring", "motor"},    {"sing", "sing"},
        {"conflated", "conflat"}, {"troubled", "troubl"},
        {"sized", "size"},        {"hopping", "hop"},
        {"tanned", "tan"},        {"falling", "fall"},
        {"hissing", "hiss"},      {"fizzed", "fizz"},
        {"failing", "fail"},      {"filing", "file"}}));

INSTANTIATE_TEST_SUITE_P(
    Step1c, PorterTest,
    testing::ValuesIn(std::vector<Case>{{"happy", "happi"},
                                        {"sky", "ski"},
                                        {"say", "say"},
                                        {"toy", "toy"}}));

INSTANTIATE_TEST_SUITE_P(
    Step2, PorterTest,
    testing::ValuesIn(std::vector<Case>{
        {"relational", "relat"},       {"conditional", "condit"},
        {"rational", "ration"},        {"valenci", "valenc"},
        {"hesitanci", "hesit"},        {"digitizer", "digit"},
        {"conformabli", "conform"},    {"radicalli", "radic"},
        {"differentli", "differ"},     {"vileli", "vile"},
        {"analogi", "analog"},         {"vietnamization", "vietnam"},
        {"predication", "predic"},     {"operator", "oper"},
        {"feudalism", "feudal"},       {"decisiveness", "decis"},
        {"hopefulness", "hope"},       {"callousness", "callous"},
        {"formaliti", "formal"},       {"sensitiviti", "sensit"},
        {"sensibiliti", "sensibl"}}));

INSTANTIATE_TEST_SUITE_P(
    Step3, PorterTest,
    testing::ValuesIn(std::vector<Case>{
        {"triplicate", "triplic"}, {"formative", "form"},
        {"formalize", "formal"},   {"electriciti", "electr"},
        {"electrical", "electr"},  {"hopeful", "hope"},
        {"goodness", "good"}}));

INSTANTIATE_TEST_SUITE_P(
    Step4, PorterTest,
    testing::ValuesIn(std::vector<Case>{
        {"revival", "reviv"},        {"allowance", "allow"},
        {"inference", "infer"},      {"airliner", "airlin"},
        {"gyroscopic", "gyroscop"},  {"adjustable", "adjust"},
        {"defensible", "defens"},    {"irritant", "irrit"},
        {"replacement", "replac"},   {"adjustment", "adjust"},
        {"dependent", "depend"},     {"adoption", "adopt"},
        {"homologou", "homolog"},    {"communism", "commun"},
        {"activate", "activ"},       {"angulariti", "angular"},
        {"homologous", "homolog"},   {"effective", "effect"},
        {"bowdlerize", "bowdler"}}));

INSTANTIATE_TEST_SUITE_P(
    Step5, PorterTest,
    testing::ValuesIn(std::vector<Case>{{"probate", "probat"},
                                        {"rate", "rate"},
                                        {"cease", "ceas"},
                                        {"controll", "control"},
                                        {"roll", "roll"}}));

INSTANTIATE_TEST_SUITE_P(
    WholeWords, PorterTest,
    testing::ValuesIn(std::vector<Case>{{"generalizations", "gener"},
                                        {"oscillators", "oscil"},
                                        {"running", "run"},
                                        {"yelling", "yell"},
                                        {"yes", "ye"}}));

INSTANTIATE_TEST_SUITE_P(
    Preparation, PorterTest,
    testing::ValuesIn(std::vector<Case>{
        {"", ""},
        {"is", "is"},                      // shorter than three bytes
        {"IS", "is"},
        {"Running", "run"},                // lowercased first
        {"RUNNING", "run"},
        {"caf\u00e9s", "caf\u00e9s"},      // non-ASCII: lowercased only
        {"CAF\u00c9S", "caf\u00e9s"},
        {"\u0130ng", "i\u0307ng"},         // lowercasing makes it non-ASCII
        {"\u212Aings", "king"},           // Kelvin sign lowercases to k
        {"yyes", "yye"},                   // only the first y is marked
        {"ion", "ion"},                    // a suffix is never the whole word
        {"ing", "ing"},
        {"eed", "e"},                      // eed must be a proper suffix; ed is
        {"sion", "sion"},
        {"ated", "at"},
        {"abc123s", "abc123"},             // digits are consonants
    }));

}  // namespace
}  // namespace vrim
