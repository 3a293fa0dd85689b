"""vrim.tokenize: the pre-pipeline token texts of each language kind."""

import warnings

import pytest

vrim = pytest.importorskip("vrim")
if not hasattr(vrim, "tokenize"):
    pytest.skip("vrim.tokenize is not available", allow_module_level=True)


def tokenize_quietly(text, language):
    """Tokenizes under a code that may be unknown, without the warning."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return vrim.tokenize(text, language)


@pytest.mark.parametrize("language, text, expected", [
    # Bigram languages.
    ("ja", "検索エンジン", ["検索", "エン", "ンジ", "ジン"]),
    ("ja", "すごーい", ["すご", "ごー", "ーい"]),
    ("ja", "ｶﾞｲﾄﾞ", ["ガイ", "イド"]),
    ("ja", "東京 京都", ["東京", "京都"]),
    ("zh", "中文abc 测试", ["中文", "abc", "测试"]),
    ("zh", "안녕하세요", ["안녕하세요"]),
    ("ko", "안녕하세요", ["안녕", "녕하", "하세", "세요"]),
    ("zh", " 中 ", ["中"]),
    ("th", "กินข้าว", ["กิน", "นข้", "ข้า", "าว"]),
    # The generic tokenizer keeps a script run whole.
    ("en", "hello世界foo-bar", ["hello", "世界", "foo", "bar"]),
    ("en", "検索エンジン", ["検索", "エンジン"]),
    ("en", " 中 ", ["中"]),
    # Normalized, lower-cased, unstemmed, untrimmed.
    ("en", "Running fast", ["running", "fast"]),
    ("en", "The end.", ["the", "end."]),
    ("en", "-foo  --bar\u00A0baz\tqux", ["foo", "bar", "baz", "qux"]),
    ("en", "ＡＢＣ\u3000ｄｅｆ", ["abc", "def"]),
    ("en", "", []),
    ("en", " \t-\n ", []),
    ("tr", "IRMAK İzmir", ["ırmak", "izmir"]),
    ("en", "IRMAK İzmir", ["irmak", "i\u0307zmir"]),
    ("fr", "Le Café", ["le", "café"]),
])
def test_tokenize(language, text, expected):
    assert vrim.tokenize(text, language) == expected


def test_every_supported_code_tokenizes_latin_text_the_same_way():
    for code in vrim.languages():
        assert vrim.tokenize("Hello, World", code) == ["hello,", "world"], code


@pytest.mark.parametrize("language, text, expected", [
    # Identical tokens of the members appear once.
    ("en,fr", "Hello world", ["hello", "world"]),
    ("en , fr", "a-b", ["a", "b"]),
    # The zh member's bigrams and the en member's whole run, by position.
    ("zh,en", "中文字 abc", ["中文", "中文字", "文字", "abc"]),
    ("en,zh", "中文字 abc", ["中文", "中文字", "文字", "abc"]),
    # Each member lowercases its own way.
    ("tr,en", "Irmak", ["ırmak", "irmak"]),
    ("en,tr", "Irmak", ["irmak", "ırmak"]),
    ("en,en", "Irmak", ["irmak"]),
])
def test_multi_language_codes(language, text, expected):
    assert vrim.tokenize(text, language) == expected


@pytest.mark.parametrize("language", ["xx", "EN", "", ",,", "en,xx"])
def test_unknown_codes_tokenize_generically(language):
    assert tokenize_quietly("Hello, wide-World 世界", language) == [
        "hello,", "wide", "world", "世界"]


def test_unknown_code_falls_back_without_stemming_or_bigrams():
    assert tokenize_quietly("検索エンジン running", "xx") == [
        "検索", "エンジン", "running"]
