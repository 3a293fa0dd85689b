"""The module surface: exports, docstrings, exceptions, argument handling
and the unknown-language warning."""

import inspect
import subprocess
import sys
import warnings

import pytest

import _vrim
import vrim

EXPORTS = [
    "__version__", "IndexBuilder", "Index", "Result", "QueryStats", "DocSet",
    "Column", "QueryError", "FormatError", "languages", "tokenize", "normalize",
    "index_language", "merge",
]

WARNING_TAIL = (": indexing with generic whitespace tokenization and no "
                "stemming. Call vrim.languages() for the codes with full "
                "support.")

FUNCTION_DOCS = {
    "tokenize": (
        "(text, language)",
        "Tokenize `text` the way the index would, for inspecting how a query "
        "splits.\n\nUseful for understanding CJK results: `tokenize(\"検索エン"
        "ジン\", \"ja\")` shows\nthe overlapping bigrams that are actually "
        "indexed.\n\nThis is a pre-pipeline split: trimming, stop-word "
        "removal and stemming are\nnot applied, so the terms shown are not "
        "always the terms indexed (e.g.\nEnglish shows `running`, the index "
        "holds `run`)."),
    "normalize": (
        '(text, language="en")',
        "Apply the same normalization the indexer applies before tokenizing."
        "\n\nFolds full-width Latin to ASCII, composes half-width katakana, "
        "collapses\nexotic spaces and lowercases. Exported because match "
        "positions are offsets\ninto this string rather than into the input: "
        "normalization is not\nlength-preserving, so highlight "
        "`vrim.normalize(field_text)` and never the\nraw field.\n\n"
        "`language` selects the lowercasing rules and must be the index's "
        "language:\nTurkish (`\"tr\"`) folds `I` to `ı`, every other language "
        "to `i`. A\nmulti-language code containing Turkish folds the default "
        "way instead —\nno single folding serves both members, so "
        "dotted-capital-I offsets in\nTurkish documents may shift by a "
        "character; search itself is unaffected\n(each member folds its own "
        "way at query time). Unknown codes warn and\nfall back exactly like "
        "`tokenize`."),
    "languages": ("()", "Language codes this build supports."),
    "index_language": (
        "(data)",
        "Report what language an index was built for, without loading it."),
}

LANGUAGES = [
    "ar", "bo", "ca", "cs", "da", "de", "el", "en", "en-lovins", "en-porter",
    "en-snowball", "eo", "es", "et", "eu", "fa", "fi", "fr", "ga", "hi", "hu",
    "hy", "id", "it", "ja", "km", "ko", "lo", "lt", "my", "ne", "nl",
    "nl-porter", "no", "pl", "pt", "ro", "ru", "sr", "st", "sv", "ta", "th",
    "tr", "yi", "zh",
]

HAS_NOTES = sys.version_info >= (3, 11)


def test_exports_in_order():
    assert _vrim.__all__ == EXPORTS
    assert vrim.__all__ == EXPORTS + [
        "escape", "field_spans", "highlight", "snippet", "save", "load",
        "ShardedIndex", "Collection"]
    for name in EXPORTS:
        assert getattr(vrim, name) is getattr(_vrim, name)
    assert _vrim.__version__ == "0.3.0"
    assert _vrim.__doc__ == (
        "Native extension module. Import from `vrim`, not from here.")


@pytest.mark.parametrize("name", sorted(FUNCTION_DOCS))
def test_function_docstrings_and_signatures(name):
    signature, doc = FUNCTION_DOCS[name]
    function = getattr(_vrim, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__module__ == "_vrim"
    inspect.signature(function)  # parses


@pytest.mark.parametrize("name", ["IndexBuilder", "Index", "Result",
                                  "QueryStats", "DocSet", "Column"])
def test_class_names(name):
    cls = getattr(_vrim, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "_vrim"


def test_import_issues_no_warning():
    import subprocess
    subprocess.run([sys.executable, "-W", "error", "-c", "import vrim"],
                   check=True)


@pytest.mark.parametrize("name,doc", [
    ("QueryError", "Raised when a query string cannot be parsed.\n\n"
                   "Carries `query`, plus `start` and `end` offsets into it."),
    ("FormatError", "Raised when bytes are not a valid Vrim binary index."),
])
def test_exception_classes(name, doc):
    cls = getattr(_vrim, name)
    assert cls.__bases__ == (ValueError,)
    assert cls.__name__ == name
    assert cls.__module__ == "_vrim"
    assert cls.__doc__ == doc
    with pytest.raises(ValueError):
        raise cls("x")


def test_exception_types_survive_reimport():
    import importlib
    before = (_vrim.QueryError, _vrim.FormatError, _vrim.Index)
    saved = sys.modules.pop("_vrim")
    try:
        fresh = importlib.import_module("_vrim")
        assert fresh is not saved
        assert (fresh.QueryError, fresh.FormatError, fresh.Index) == before
    finally:
        sys.modules["_vrim"] = saved


def test_languages():
    codes = vrim.languages()
    assert codes == LANGUAGES
    assert codes == sorted(codes, key=lambda c: c.encode())
    codes.append("mutated")
    assert vrim.languages() == LANGUAGES  # a new list each call
    with pytest.raises(TypeError):
        vrim.languages("en")


def test_tokenize_is_pre_pipeline():
    assert vrim.tokenize("Running fast", "en") == ["running", "fast"]
    assert vrim.tokenize(text="Running", language="en") == ["running"]


def test_normalize_default_and_turkish():
    assert vrim.normalize("I") == "i"
    assert vrim.normalize("I", "tr") == "ı"
    assert vrim.normalize("I", " tr ") == "ı"
    assert vrim.normalize("I", language="tr,en") == "i"


class Str(str):
    pass


@pytest.mark.parametrize("call,param", [
    (lambda: vrim.tokenize(1, "en"), "text"),
    (lambda: vrim.tokenize("x", None), "language"),
    (lambda: vrim.tokenize(b"x", "en"), "text"),
    (lambda: vrim.normalize("x", None), "language"),
    (lambda: vrim.normalize(["x"]), "text"),
    (lambda: vrim.index_language(bytearray(b"x")), "data"),
    (lambda: vrim.index_language(memoryview(b"x")), "data"),
    (lambda: vrim.index_language("x"), "data"),
])
def test_wrong_argument_types(call, param):
    with pytest.raises(TypeError) as info:
        call()
    if HAS_NOTES:
        assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("call,param", [
    (lambda: vrim.tokenize("a\ud800", "en"), "text"),
    (lambda: vrim.tokenize("a", "e\udfffn"), "language"),
    (lambda: vrim.normalize("\udc80"), "text"),
])
def test_lone_surrogates_raise_unicode_encode_error(call, param):
    with pytest.raises(UnicodeEncodeError) as info:
        call()
    assert "surrogates not allowed" in str(info.value)
    if HAS_NOTES:
        assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("call", [
    lambda: vrim.tokenize("x"),
    lambda: vrim.tokenize("x", "en", "de"),
    lambda: vrim.tokenize("x", "en", lang="en"),
    lambda: vrim.tokenize("x", text="y", language="en"),
    lambda: vrim.normalize(),
    lambda: vrim.index_language(),
])
def test_argument_count_and_keyword_errors(call):
    with pytest.raises(TypeError):
        call()


def test_str_subclass_accepted():
    assert vrim.tokenize(Str("Hello World"), Str("en")) == ["hello", "world"]
    assert vrim.normalize(Str("ABC"), Str("en")) == "abc"


@pytest.mark.parametrize("code,subject", [
    ("xx", '"xx"'),
    ("en,xx", 'xx in "en,xx"'),
    ("xx,yy,en", 'xx, yy in "xx,yy,en"'),
    (" en , xx ", 'xx in " en , xx "'),
    ("EN", '"EN"'),
    ("", '""'),
    (",,", '",,"'),
    ('x"y', r'"x\"y"'),
    ("x\\y", r'"x\\y"'),
    ("a\tb\r\n", r'"a\tb\r\n"'),
    ("x\0y", r'"x\0y"'),
    ("x\x01y", r'"x\u{1}y"'),
    ("x\x85y", r'"x\u{85}y"'),
    ("日本", '"日本"'),
    ('en,x"', 'x" in "en,x\\""'),
])
def test_unknown_language_warning_subject(code, subject):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        vrim.tokenize("x", code)
    assert len(caught) == 1
    assert caught[0].category is UserWarning
    assert str(caught[0].message) == "unknown language code " + subject + WARNING_TAIL
    assert caught[0].filename == __file__  # stack level 1: the caller


@pytest.mark.parametrize("code", ["en", "en,fr", " de ", "ja,en", "en,en"])
def test_known_codes_do_not_warn(code):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        vrim.tokenize("x", code)
        vrim.normalize("x", code)


@pytest.mark.parametrize("call", [
    lambda: vrim.tokenize("x", "xx"),
    lambda: vrim.normalize("x", "xx"),
    lambda: vrim.IndexBuilder("xx"),
])
def test_warning_as_error_propagates(call):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match='unknown language code "xx"'):
            call()


def test_nul_in_unquoted_subject_raises_value_error():
    code = "en,x\0y"
    prefix = "unknown language code x"
    with pytest.raises(ValueError) as info:
        vrim.tokenize("x", code)
    assert str(info.value) == (
        f"nul byte found in provided data at position: {len(prefix)}")
    # A single code is quoted, so its NUL is escaped and the warning works.
    with pytest.warns(UserWarning, match=r'"x\\0y"'):
        vrim.normalize("x", "x\0y")


def test_readme_tour_runs(capsys, tmp_path, monkeypatch):
    # The README's Python examples run as written: in order, in one
    # namespace (later ones use the index of the first), files written
    # relative to a scratch directory.
    import pathlib
    import re
    readme = pathlib.Path(__file__).resolve().parents[2] / "README.md"
    if not readme.exists():
        pytest.skip("no README next to the tests")
    blocks = re.findall(r"```python\n(.*?)```", readme.read_text(encoding="utf-8"), re.S)
    assert blocks
    monkeypatch.chdir(tmp_path)
    namespace = {}
    for block in blocks:
        exec(compile(block, str(readme), "exec"), namespace)
    out = capsys.readouterr().out
    assert "fruit/apple 1.25 ['appl']" in out
    assert "Apples are red, crisp and [sweet]." in out
    assert 'title: 0 5 expecting term, found nothing in query "title:"' in out
    assert "<mark>Ａpples</mark>" in out
    assert "['fruit/apple', 'fruit/crab-apple']" in out
    assert "2 [('fruit', 1), ('tool', 1)] [('p1', 12.5), ('p3', 5.0)]" in out


def test_import_stays_light():
    # `import vrim` loads the native module and the small helpers, nothing of
    # the command line and no optional dependency. Whatever the interpreter's
    # own start-up loads (site hooks of the environment may import `re`) is
    # not vrim's doing, so it is measured first and left out.
    code = ("import sys; before = set(sys.modules); import vrim; "
            "heavy = {'vrim._cli', 'argparse', 'sqlite3', 'http.server', "
            "'json', 're', 'hypothesis', 'selenium', 'dask', 'numpy'}; "
            "print(sorted(heavy & (set(sys.modules) - before)))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                         text=True, check=True).stdout
    assert out.strip() == "[]"
