"""IndexBuilder: configuration, field validation, reading documents,
staging, removal, rehydration and the borrow claims."""

import sys
import warnings

import pytest

import vrim

HAS_NOTES = sys.version_info >= (3, 11)

REMOVE_ON_FRESH = ("remove() needs a builder from IndexBuilder.from_index(); "
                   "a fresh builder holds nothing to remove")


def builder(*fields, **kwargs):
    b = vrim.IndexBuilder("en", **kwargs)
    for name in fields:
        b.field(name)
    return b


# ----------------------------------------------------------- construction

@pytest.mark.parametrize("args,kwargs,message", [
    (("  ",), {}, "language must not be empty"),
    (("\u3000\t",), {}, "language must not be empty"),
    (("en",), {"ref_field": " "}, "ref_field must not be empty"),
    (("en",), {"k1": float("nan")}, "k1 must be a finite number"),
    (("en",), {"k1": float("inf")}, "k1 must be a finite number"),
    (("en",), {"b": float("-inf")}, "b must be a finite number"),
    # language is checked before ref_field, ref_field before k1, k1 before b
    ((" ",), {"ref_field": "", "k1": float("nan")},
     "language must not be empty"),
    (("en",), {"ref_field": "", "k1": float("nan")},
     "ref_field must not be empty"),
    (("en",), {"k1": float("nan"), "b": float("nan")},
     "k1 must be a finite number"),
])
def test_constructor_value_errors(args, kwargs, message):
    with pytest.raises(ValueError) as info:
        vrim.IndexBuilder(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("kwargs", [
    {"b": -1.0}, {"b": 7}, {"k1": -3}, {"k1": 0}, {"k1": True},
])
def test_constructor_accepts_out_of_range_finite_numbers(kwargs):
    vrim.IndexBuilder("en", **kwargs)


@pytest.mark.parametrize("call,error,param", [
    (lambda: vrim.IndexBuilder("en", "ref"), TypeError, None),
    (lambda: vrim.IndexBuilder(), TypeError, None),
    (lambda: vrim.IndexBuilder("en", lang="en"), TypeError, None),
    (lambda: vrim.IndexBuilder("en", language="en"), TypeError, None),
    (lambda: vrim.IndexBuilder(None), TypeError, "language"),
    (lambda: vrim.IndexBuilder("en", ref_field=1), TypeError, "ref_field"),
    (lambda: vrim.IndexBuilder("en", k1="1.2"), TypeError, "k1"),
    (lambda: vrim.IndexBuilder("en", b=None), TypeError, "b"),
    (lambda: vrim.IndexBuilder("e\ud800"), UnicodeEncodeError, "language"),
])
def test_constructor_argument_errors(call, error, param):
    with pytest.raises(error) as info:
        call()
    if param and HAS_NOTES:
        assert info.value.__notes__ == [f"while processing '{param}'"]


def test_float_parameters_accept_index_and_float_protocols():
    class Half:
        def __float__(self):
            return 0.5

    class Two:
        def __index__(self):
            return 2

    b = vrim.IndexBuilder("en", k1=Two(), b=Half())
    b.field("t", Half())
    b.add({"id": "a", "t": "x"}, Two())


def test_constructor_state_and_repr():
    b = vrim.IndexBuilder(" en ", ref_field=" key ")
    assert b.language == "en"
    assert b.ref_field == "key"
    assert b.fields == []
    assert b.staged == 0
    assert repr(b) == ('IndexBuilder(language="en", ref_field="key", '
                       'fields=[], staged=0)')
    b.field("title")
    b.field("body")
    assert repr(b) == ('IndexBuilder(language="en", ref_field="key", '
                       'fields=["title", "body"], staged=0)')
    with pytest.raises(AttributeError):
        b.k1
    with pytest.raises(AttributeError):
        b.staged = 3
    with pytest.raises(AttributeError):
        b.extra = 1


def test_multi_language_code_is_resolved():
    assert vrim.IndexBuilder(" en , fr ").language == "en,fr"


def test_repr_quotes_escapes():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        b = vrim.IndexBuilder('x"y', ref_field="a\\b")
    b.field("t\u00e9")
    assert repr(b) == ('IndexBuilder(language="x\\"y", ref_field="a\\\\b", '
                       'fields=["t\u00e9"], staged=0)')


def test_docstrings():
    cls = vrim.IndexBuilder
    assert cls.__text_signature__ == (
        '(language, *, ref_field="id", k1=1.2, b=0.75, max_token_length=None)')
    assert cls.__doc__.startswith(
        "Builds a search index.\n\nConfigure the reference field and the "
        "searchable fields, add documents, then\ncall `build()`.\n\n"
        "`max_token_length` (characters) leaves longer tokens out of the "
        "index,\nsuch as a base64 blob; `dropped_tokens` counts them after "
        "each build.\n"
        "An index file holds tokens of at most 1,048,576 characters with\n"
        "positions: `to_bytes()` refuses an index holding a longer one.\n\n"
        "```python\nb = vrim.IndexBuilder(\"zh\", ref_field=\"location\")\n")
    assert cls.__doc__.endswith("data = b.build().to_bytes()\n```")
    assert cls.from_index.__text_signature__ == (
        '(index, *, ref_field="id", max_token_length=None)')
    assert cls.from_index.__doc__.startswith(
        "Rehydrate a builder from a built index for incremental updates.\n\n")
    assert cls.from_index.__doc__.endswith(
        "which clones the restored state — building twice gives two "
        "equivalent\nindexes, as with a fresh builder.")
    assert cls.field.__text_signature__ == "($self, name, boost=1.0)"
    assert cls.field.__doc__ == (
        "Add a searchable field. `boost` multiplies the score of matches in "
        "it.\n\nFields must be declared before the documents that use them: "
        "`add` only\nreads the fields declared at the time it is called. A "
        "negative `boost`\nis clamped to `0.0` at declaration (it still "
        "matches, contributing no\nscore); only a non-finite boost raises."
        "\n\nSurrounding whitespace is not part of a name: it is trimmed "
        "before\nstoring, so `field(\" title \")` and `title:q` meet.")
    assert cls.add_many.__text_signature__ == "($self, docs, boost=1.0)"
    assert cls.add_many.__doc__ == (
        "Stage many documents. Equivalent to `add` in a loop.\n\n`docs` is an "
        "iterable of mappings (for a pandas DataFrame, pass\n"
        "`df.to_dict(\"records\")`). An error names the item's position in "
        "`docs`\n(`item 3: ...`).\n\nNot atomic, "
        "for the same reason: if a later document raises, the earlier\nones "
        "stay staged. Call `clear()` if a partially-consumed builder is not"
        "\nwhat you want.")
    assert cls.clear.__text_signature__ == "($self)"
    assert cls.clear.__doc__ == (
        "Discard the staged documents, keeping the field configuration.")
    assert cls.build.__text_signature__ == "($self, threads=None)"
    assert cls.add.__text_signature__ == "($self, doc, boost=1.0)"
    assert cls.remove.__text_signature__ == "($self, doc_ref)"
    assert cls.staged.__doc__ == "Number of documents staged and ready to build."
    assert cls.fields.__doc__ == "Declared field names, in declaration order."
    assert cls.ref_field.__doc__ == "The configured reference field."
    assert cls.language.__doc__ == "The configured language code."


# ----------------------------------------------------------------- fields

SEPARATOR = "field {} contains a separator and is unqueryable via field: syntax"
OPERATOR = ("field {} contains a query operator and is unqueryable via "
            "field:term syntax")
SLASH = "field {} must not contain '/' (breaks FieldRef round-trip)"


@pytest.mark.parametrize("name,message", [
    ("", "field name must not be empty"),
    (" \t ", "field name must not be empty"),
    ("a/b", SLASH.format('"a/b"')),
    ("a b/", SLASH.format('"a b/"')),  # '/' is checked before separators
    ("a b", SEPARATOR.format('"a b"')),
    ("x-y", SEPARATOR.format('"x-y"')),
    ("-x", SEPARATOR.format('"-x"')),
    ("a\u00a0b", SEPARATOR.format('"a\\u{a0}b"')),
    ("a\u3000b", SEPARATOR.format('"a\\u{3000}b"')),
    ("a\u2028b", SEPARATOR.format('"a\\u{2028}b"')),
    ("a:b", OPERATOR.format('"a:b"')),
    ("+x", OPERATOR.format('"+x"')),
    ("x^", OPERATOR.format('"x^"')),
    ("x~", OPERATOR.format('"x~"')),
    ("a\\b", OPERATOR.format('"a\\\\b"')),
    ('  q"t:  ', OPERATOR.format('"q\\"t:"')),  # trimmed, then quoted
])
def test_invalid_field_names(name, message):
    b = builder()
    with pytest.raises(ValueError) as info:
        b.field(name)
    assert str(info.value) == message
    assert b.fields == []


@pytest.mark.parametrize("name", ["x*", "x+y", "título", "日本", "a_b"])
def test_valid_field_names(name):
    b = builder()
    b.field(name)
    assert b.fields == [name]


def test_field_trimming_duplicates_and_reference():
    b = builder()
    b.field(" title ")
    assert b.fields == ["title"]
    with pytest.raises(ValueError) as info:
        b.field("title\n")
    assert str(info.value) == 'field "title" is already declared'
    with pytest.raises(ValueError) as info:
        b.field(" id")
    assert str(info.value) == ('field "id" is the reference field; pass a '
                               'different ref_field to index it as text')
    assert b.fields == ["title"]


@pytest.mark.parametrize("boost", [float("inf"), float("-inf"), float("nan")])
def test_non_finite_field_boost(boost):
    b = builder()
    with pytest.raises(ValueError) as info:
        b.field("t", boost)
    assert str(info.value) == "boost must be a finite number"
    assert b.fields == []


def test_field_boost_conversion_error_has_note():
    b = builder()
    with pytest.raises(TypeError) as info:
        b.field("t", "high")
    if HAS_NOTES:
        assert info.value.__notes__ == ["while processing 'boost'"]


def test_negative_field_boost_scores_zero():
    b = builder()
    b.field("t", -2.0)
    b.field("u")
    b.add({"id": "a", "t": "apple", "u": "pear"})
    index = b.build()
    [hit] = index.search("apple")
    assert hit.score == 0.0
    [hit] = index.search("pear")
    assert hit.score > 0.0


# -------------------------------------------------------------- documents

class LookupOnly:
    """A minimal mapping: item lookup and nothing else."""

    def __init__(self, data, raise_for=None, error=None):
        self.data = data
        self.raise_for = raise_for
        self.error = error
        self.looked_up = []

    def __getitem__(self, key):
        assert type(key) is str
        self.looked_up.append(key)
        if key == self.raise_for:
            raise self.error
        return self.data[key]


class MissingKey(KeyError):
    pass


class NoName(type):
    @property
    def __name__(cls):
        raise RuntimeError("no name")


class Nameless(metaclass=NoName):
    pass


@pytest.mark.parametrize("doc,error,message", [
    ({"title": "x"}, ValueError,
     'document is missing its reference field "id"'),
    ({"id": None, "title": "x"}, ValueError,
     'document is missing its reference field "id"'),
    ({"id": ""}, ValueError, "document reference must not be empty"),
    ({"id": 1}, TypeError, 'field "id" must be a str or None, got int'),
    ({"id": b"a"}, TypeError, 'field "id" must be a str or None, got bytes'),
    ({"id": "a", "title": 3.5}, TypeError,
     'field "title" must be a str or None, got float'),
    ({"id": "a", "title": Nameless()}, TypeError,
     'field "title" must be a str or None, got ?'),
    ({"id": "a\ud800"}, ValueError,
     'field "id" contains lone surrogates and cannot be indexed as text'),
    ({"id": "a", "body": "x\udfff"}, ValueError,
     'field "body" contains lone surrogates and cannot be indexed as text'),
])
def test_add_rejects_bad_documents_without_staging(doc, error, message):
    b = builder("title", "body")
    b.add({"id": "first", "title": "kept"})
    with pytest.raises(error) as info:
        b.add(doc)
    assert str(info.value) == message
    assert b.staged == 1


class Text(str):
    pass


@pytest.mark.parametrize("text, kept", [
    ("plain ascii " * 100, 1), ("naïve café " * 100, 0), ("东京 " * 100, 0),
    (Text("plain ascii " * 100), 0)], ids=["ascii", "latin", "cjk", "subclass"])
def test_add_leaves_the_callers_strings_their_size(text, kept):
    # No UTF-8 copy may stay cached inside the caller's str: documents are
    # held by the caller too. A plain ASCII str is its own UTF-8, so the
    # builder keeps a reference instead of a copy, until it drops the
    # document; any other text is copied.
    if type(text) is str:
        text = (text + ".")[:-1]  # a fresh object, never encoded before
    ref = "ref é " + text[:3]
    sizes = sys.getsizeof(text), sys.getsizeof(ref)
    count = sys.getrefcount(text)
    b = builder("body")
    b.add({"id": ref, "body": text})
    assert (sys.getsizeof(text), sys.getsizeof(ref)) == sizes
    assert sys.getrefcount(text) == count + kept
    assert b.build().search(text.split()[0])[0].ref == ref
    b.add({"id": ref, "body": "replaced"})
    assert sys.getrefcount(text) == count


class Defaults(dict):
    def __missing__(self, key):
        return "filled " + key


class KeyErrorFor(dict):
    def __getitem__(self, key):
        if key == "title":
            raise MissingKey(key)
        return super().__getitem__(key)


@pytest.mark.parametrize("doc,query,refs", [
    # A plain dict is read without raising for its missing fields.
    ({"id": "a", "body": "plain"}, "plain", ["a"]),
    # A subclass is read through its own item access.
    (Defaults(id="a"), "filled", ["a"]),
    (KeyErrorFor(id="a", title="hidden", body="shown"), "hidden", []),
])
def test_documents_are_read_through_their_item_access(doc, query, refs):
    b = builder("title", "body")
    b.add(doc)
    assert [h.ref for h in b.build().search(query)] == refs


def test_add_needs_a_field_and_a_finite_boost():
    b = builder()
    with pytest.raises(ValueError) as info:
        b.add({"id": "a"})
    assert str(info.value) == (
        "declare at least one field with field() before adding documents")
    # the boost is checked first
    with pytest.raises(ValueError) as info:
        b.add({"id": "a"}, float("nan"))
    assert str(info.value) == "boost must be a finite number"


def test_add_reads_mappings_by_lookup():
    b = builder("title", "body", ref_field=" key ")
    doc = LookupOnly({"key": "a", "body": "text"})
    b.add(doc)
    assert doc.looked_up == ["key", "title", "body"]
    assert b.staged == 1
    # KeyError subclasses mean absent; any other error propagates.
    b.add(LookupOnly({"key": "b"}, raise_for="title", error=MissingKey("t")))
    assert b.staged == 2
    with pytest.raises(ZeroDivisionError):
        b.add(LookupOnly({"key": "c"}, raise_for="body",
                         error=ZeroDivisionError()))
    assert b.staged == 2
    with pytest.raises(TypeError):
        b.add(42)  # no item lookup at all
    assert b.staged == 2


def test_whitespace_reference_is_kept_untrimmed():
    b = builder("t")
    b.add({"id": " ", "t": "word"})
    b.add({"id": "  ", "t": "word"})
    assert b.staged == 2
    refs = sorted(hit.ref for hit in b.build().search("word"))
    assert refs == [" ", "  "]


def test_add_replaces_staged_document_in_place():
    b = builder("t")
    b.add({"id": "a", "t": "old"})
    b.add({"id": "b", "t": "other"})
    b.add({"id": "a", "t": "new", "extra": 1})
    assert b.staged == 2
    index = b.build()
    assert index.document_count == 2
    assert index.search("old") == []
    assert [h.ref for h in index.search("new")] == ["a"]


def test_add_copies_text_at_once():
    b = builder("t")
    doc = {"id": "a", "t": "before"}
    b.add(doc)
    doc["t"] = "after"
    index = b.build()
    assert [h.ref for h in index.search("before")] == ["a"]
    assert index.search("after") == []


def test_add_many_partial_staging():
    b = builder("t")
    good, bad, good2 = {"id": "1", "t": "a"}, {"t": "b"}, {"id": "3", "t": "c"}
    with pytest.raises(ValueError):
        b.add_many([good, bad, good2])
    assert b.staged == 1
    b.add_many(iter([]), float("inf"))  # nothing to add, nothing checked
    b.add_many(({"id": f"n{i}", "t": "x"} for i in range(5)), boost=2)
    assert b.staged == 6

    def failing():
        yield {"id": "f1", "t": "x"}
        raise OSError("source broke")

    with pytest.raises(OSError, match="source broke"):
        b.add_many(failing())
    assert b.staged == 7
    with pytest.raises(TypeError):
        b.add_many(5)
    with pytest.raises(ValueError, match="boost must be a finite number"):
        b.add_many([good], float("nan"))
    assert b.staged == 7


class DataFrame:
    """Iterates as a data frame does: over its column names."""

    def __iter__(self):
        return iter(["id", "t"])

    def to_dict(self, orient):
        return [{"id": "1", "t": "x"}]


@pytest.mark.parametrize("docs,error,message", [
    (DataFrame(), TypeError, r'column names: pass df\.to_dict\("records"\)'),
    ([{"id": "0", "t": "a"}, "b"], TypeError,
     "item 1: a document must be a mapping such as a dict, holding the "
     "reference field and the fields' texts, got str"),
    ([("id", "x")], TypeError, "item 0: a document must be a mapping .* got tuple"),
    ([None], TypeError, "item 0: .* got NoneType"),
    ([{"id": "0", "t": "a"}, {"id": "1"}, {"id": "2", "t": 5}], TypeError,
     'item 2: field "t" must be a str or None, got int'),
    ([{"id": "0", "t": "a"}, {"t": "b"}], ValueError,
     'item 1: document is missing its reference field "id"'),
])
def test_add_many_says_what_to_pass_and_names_the_item(docs, error, message):
    b = builder("t")
    with pytest.raises(error, match=message):
        b.add_many(docs)
    with pytest.raises(TypeError, match="a document must be a mapping"):
        b.add("text")


def test_add_many_notes_the_item_of_other_errors():
    b = builder("t")
    failing = LookupOnly({"id": "a"}, raise_for="t", error=RuntimeError("boom"))
    with pytest.raises(RuntimeError, match="boom") as info:
        b.add_many([{"id": "0"}, failing])
    assert getattr(info.value, "__notes__", ["while processing 'item 1'"]) == [
        "while processing 'item 1'"]


def test_max_token_length_drops_longer_tokens():
    long_word = "z" * 30
    b = vrim.IndexBuilder("en", max_token_length=20)
    b.field("t")
    b.add({"id": "a", "t": f"short {long_word} words {long_word}"})
    assert (b.max_token_length, b.dropped_tokens) == (20, 0)
    index = b.build()
    assert b.dropped_tokens == 2
    assert index.search(long_word) == []
    [hit] = index.search("words")
    assert hit.matches == {"word": {"t": [(37, 5)]}}  # offsets unchanged
    assert vrim.IndexBuilder("en").max_token_length is None
    again = vrim.IndexBuilder.from_index(index, max_token_length=3)
    again.add({"id": "b", "t": "tiny cat"})
    assert [h.ref for h in again.build().search("cat")] == ["b"]
    assert again.dropped_tokens == 1
    for bad, error in [(0, ValueError), (-1, ValueError), ("5", TypeError)]:
        with pytest.raises(error, match="max_token_length"):
            vrim.IndexBuilder("en", max_token_length=bad)


def test_clear_keeps_configuration():
    b = builder("t", ref_field="r")
    b.add({"r": "a", "t": "x"})
    b.clear()
    assert (b.staged, b.fields, b.ref_field, b.language) == (0, ["t"], "r", "en")


def test_build_twice_gives_equivalent_indexes():
    b = builder("t")
    b.add_many({"id": str(i), "t": f"word{i} common"} for i in range(20))
    first, second = b.build(), b.build()
    assert first is not second
    assert (first.document_count, first.term_count) == (
        second.document_count, second.term_count) == (20, 21)
    assert b.staged == 20


# --------------------------------------------------- removal, rehydration

def rehydrated():
    b = builder("t")
    b.add_many([{"id": "a", "t": "apple"}, {"id": "b", "t": "banana"}])
    return vrim.IndexBuilder.from_index(b.build())


def test_remove_on_fresh_builder():
    b = builder("t")
    b.add({"id": "a", "t": "x"})
    with pytest.raises(ValueError) as info:
        b.remove("a")
    assert str(info.value) == REMOVE_ON_FRESH
    assert len(REMOVE_ON_FRESH) == 96
    assert b.staged == 1


def test_remove_on_rehydrated_builder():
    b = rehydrated()
    assert b.fields == ["t"]
    assert b.language == "en"
    assert b.remove("zzz") is False
    b.add({"id": "new", "t": "cherry"})
    assert b.remove("new") is True  # only staged
    assert b.staged == 0
    assert b.remove("a") is True
    assert b.remove("a") is False
    b.clear()  # does not undo the removal
    index = b.build()
    assert index.document_count == 1
    assert index.search("apple") == []
    assert [h.ref for h in index.search("banana")] == ["b"]
    with pytest.raises(TypeError):
        b.remove(1)


@pytest.mark.parametrize("base_boost, added_boost", [
    (1.0, 1.0), (1.0, 2.5), (0.5, 1.0), (0.5, 0.0)])
def test_rehydrated_boosts_equal_a_fresh_build(base_boost, added_boost):
    docs = [({"id": "a", "t": "apple pie"}, base_boost),
            ({"id": "b", "t": "apple"}, 1.0),
            ({"id": "c", "t": "apple tart"}, added_boost)]
    fresh, base = builder("t"), builder("t")
    for doc, boost in docs:
        fresh.add(doc, boost=boost)
    for doc, boost in docs[:2]:
        base.add(doc, boost=boost)
    for index in (base.build(), vrim.Index.from_bytes(base.build().to_bytes())):
        again = vrim.IndexBuilder.from_index(index)
        again.add(docs[2][0], boost=added_boost)
        built = again.build()
        assert built.to_bytes() == fresh.build().to_bytes()
        assert ([(h.ref, h.score) for h in built.search("apple")]
                == [(h.ref, h.score) for h in fresh.build().search("apple")])


def test_rehydrated_upsert_and_new_field():
    b = rehydrated()
    b.field("extra")
    assert b.fields == ["t", "extra"]
    b.add({"id": "a", "t": "avocado", "extra": "bonus"})
    b.add({"id": "c", "t": "cherry"})
    for index in (b.build(), b.build()):
        assert index.fields == ["t", "extra"]
        assert index.document_count == 3
        assert index.search("apple") == []
        assert [h.ref for h in index.search("avocado")] == ["a"]
        assert [h.ref for h in index.search("extra:bonus")] == ["a"]


def test_from_index_arguments():
    index = builder("t").build()
    with pytest.raises(TypeError) as info:
        vrim.IndexBuilder.from_index({"not": "an index"})
    if HAS_NOTES:
        assert info.value.__notes__ == ["while processing 'index'"]
    with pytest.raises(TypeError):
        vrim.IndexBuilder.from_index(index, "key")  # ref_field keyword-only
    with pytest.raises(ValueError, match="^ref_field must not be empty$"):
        vrim.IndexBuilder.from_index(index, ref_field="\t")
    b = vrim.IndexBuilder.from_index(index=index, ref_field=" key ")
    assert type(b) is vrim.IndexBuilder
    assert b.ref_field == "key"
    with pytest.raises(ValueError, match="reference field"):
        b.field("key")


def test_from_index_keeps_language_without_warning():
    with pytest.warns(UserWarning):
        b = vrim.IndexBuilder("xx")
    b.field("t")
    index = b.build()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert vrim.IndexBuilder.from_index(index).language == "xx"


# ----------------------------------------------------------------- claims

def test_lookup_calling_back_into_builder_is_refused():
    b = builder("t")
    seen = []

    class Reentrant:
        def __init__(self, action):
            self.action = action

        def __getitem__(self, key):
            try:
                self.action()
            except RuntimeError as e:
                seen.append(str(e))
                raise
            return "a"

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        b.add(Reentrant(lambda: b.add({"id": "x", "t": "y"})))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        b.add(Reentrant(b.clear))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        b.add(Reentrant(b.build))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        b.add(Reentrant(lambda: b.staged))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        b.add(Reentrant(lambda: repr(b)))
    assert seen == ["Already borrowed"] * 2 + [
        "Already mutably borrowed"] * 3
    # Every claim was released: the builder works normally again.
    b.add({"id": "ok", "t": "fine"})
    assert b.staged == 1
