"""Index and Result: search, QueryError, serialisation, loading and reprs."""

import sys
import warnings

import pytest

import vrim

HAS_NOTES = sys.version_info >= (3, 11)

DOCS = [
    {"id": "a", "title": "Red apples", "body": "Apples are red and sweet."},
    {"id": "b", "title": "Green pears", "body": "Pears can be green; apples too."},
    {"id": "c", "title": "Ｆｕｌｌ width ＡＰＰＬＥ", "body": "ｶﾞ apple"},
]


def make_index(language="en", docs=DOCS):
    b = vrim.IndexBuilder(language)
    b.field("title", 2.0)
    b.field("body")
    b.add_many(docs)
    return b.build()


@pytest.fixture(scope="module")
def index():
    return make_index()


def test_properties_len_and_repr(index):
    assert index.fields == ["title", "body"]
    assert index.fields is not index.fields
    assert index.language == "en"
    assert index.document_count == len(index) == 3
    assert index.term_count > 5
    assert repr(index) == (
        f'Index(language="en", documents=3, terms={index.term_count})')


def test_classes_cannot_be_instantiated():
    with pytest.raises(TypeError):
        vrim.Index()
    with pytest.raises(TypeError):
        vrim.Result()


def test_docstrings():
    assert vrim.Index.__doc__ == "A built search index."
    assert vrim.Result.__doc__.startswith("One search hit.")
    assert "`Hit`" in vrim.Result.__doc__
    assert vrim.Index.search.__text_signature__ == (
        "($self, query, limit=None, *, stats=None, filter=None, offset=0, "
        "phrases=False)")
    assert vrim.Index.query_stats.__text_signature__ == (
        "($self, query, *, phrases=False, exclude=None)")
    assert vrim.Index.search.__doc__.startswith(
        "Search the index, returning hits in descending score order.\n\n")
    assert vrim.Index.to_bytes.__text_signature__ == (
        "($self, *, positions=True)")
    assert vrim.Index.to_bytes.__doc__.endswith(
        "format — a huge index, never a small one.")
    assert vrim.Index.from_bytes.__text_signature__ == (
        "(data, language=None)")
    assert vrim.Index.from_bytes.__doc__.endswith(
        "costs time and memory proportional to the index.")
    assert vrim.Index.fields.__doc__ == "Indexed field names."
    assert vrim.Index.document_count.__doc__ == "Number of indexed documents."
    assert vrim.Index.term_count.__doc__ == "Number of distinct indexed terms."
    assert vrim.Index.language.__doc__ == (
        "The language code this index was built with.")
    assert vrim.Result.ref.__doc__ == "The matched document's reference."
    assert vrim.Result.score.__doc__ == (
        "BM25 relevance score. Higher is better; only comparable within one\n"
        "result set.")
    assert vrim.Result.terms.__doc__ == (
        "The matched terms, sorted.\n\nFor CJK these are the bigrams the "
        "query tokenized into, not words.")
    assert vrim.Result.matches.__doc__.startswith(
        "Where each matched term occurred, as\n"
        "`{term: {field: [(start, length), ...]}}`.\n\n")


# ----------------------------------------------------------------- search

def test_search_results(index):
    hits = index.search("apple")
    assert {h.ref for h in hits} == {"a", "b", "c"}
    scores = [h.score for h in hits]
    assert scores == sorted(scores, reverse=True)
    for hit in hits:
        assert isinstance(hit, vrim.Result)
        assert hit.terms == ["appl"]
        assert set(hit.matches) == {"appl"}
    a = next(h for h in hits if h.ref == "a")
    assert a.matches == {"appl": {"title": [(4, 6)], "body": [(0, 6)]}}
    assert a.matches is not a.matches


def test_match_offsets_point_into_normalized_text(index):
    [hit] = index.search("width")
    assert hit.ref == "c"
    title = vrim.normalize(DOCS[2]["title"])
    for start, length in hit.matches["width"]["title"]:
        assert title[start:start + length] == "width"
    [body] = [h for h in index.search("body:apple") if h.ref == "c"]
    start, length = body.matches["appl"]["body"][0]
    normalized = vrim.normalize(DOCS[2]["body"])
    assert normalized[start:start + length] == "apple"
    assert start == 2  # ｶﾞ folds to one character


def test_terms_sorted_by_bytes():
    docs = [{"id": "x", "title": "zebra Éclair apple émeu", "body": ""}]
    idx = make_index(docs=docs)
    [hit] = idx.search("zebra apple éclair émeu")
    assert hit.terms == sorted(hit.matches, key=lambda t: t.encode())
    assert hit.terms[0] == "appl"


def test_empty_and_stop_word_queries(index):
    assert index.search("") == []
    assert index.search("   ") == []
    assert index.search("the") == []


def test_search_argument_errors(index):
    with pytest.raises(TypeError) as info:
        index.search(b"apple")
    if HAS_NOTES:
        assert info.value.__notes__ == ["while processing 'query'"]
    with pytest.raises(UnicodeEncodeError):
        index.search("\ud800")
    with pytest.raises(TypeError):
        index.search()
    with pytest.raises(TypeError):
        index.search("a", "b")
    assert index.search(query="pears")[0].ref == "b"


@pytest.mark.parametrize("query,message,start,end", [
    ("titel:foo",
     "unrecognised field 'titel', possible fields: 'title', 'body'", 0, 5),
    ("日本 titel:foo",
     "unrecognised field 'titel', possible fields: 'title', 'body'", 3, 8),
    ("title:", "expecting term, found nothing", 0, 5),
    ("+", "expecting term or field, found nothing", 0, 1),
    ("ééé foo^", "boost must be numeric", 7, 8),
    ('say "hi" foo~x', "edit distance must be numeric", 13, 14),
])
def test_query_errors(index, query, message, start, end):
    with pytest.raises(vrim.QueryError) as info:
        index.search(query)
    error = info.value
    assert isinstance(error, ValueError)
    assert type(error) is vrim.QueryError
    escaped = query.replace("\\", "\\\\").replace('"', '\\"')
    assert str(error) == f'{message} in query "{escaped}"'
    assert error.args == (str(error),)
    assert (error.start, error.end, error.query) == (start, end, query)
    assert error.start <= error.end <= len(query)


def test_query_error_keeps_str_subclass(index):
    class Q(str):
        pass

    query = Q("+")
    with pytest.raises(ValueError) as info:
        index.search(query)
    assert info.value.query is query


# -------------------------------------------------------------- to_bytes

def test_round_trip(index):
    data = index.to_bytes()
    assert type(data) is bytes
    loaded = vrim.Index.from_bytes(data)
    assert (loaded.language, loaded.fields, loaded.document_count,
            loaded.term_count) == (index.language, index.fields,
                                   index.document_count, index.term_count)
    original = [(h.ref, h.score, h.matches) for h in index.search("apple")]
    again = [(h.ref, h.score, h.matches) for h in loaded.search("apple")]
    assert again == original
    assert vrim.index_language(data) == "en"


def test_without_positions_matches_keep_terms_and_fields(index):
    data = index.to_bytes(positions=False)
    assert len(data) < len(index.to_bytes())
    loaded = vrim.Index.from_bytes(data, "en")
    hits = loaded.search("apple")
    assert hits
    a = next(h for h in hits if h.ref == "a")
    assert a.matches == {"appl": {"title": [], "body": []}}
    assert a.terms == ["appl"]


def numpy_bools():
    numpy = pytest.importorskip("numpy")
    return numpy.bool_(True), numpy.bool_(False)


def test_positions_accepts_numpy_bool(index):
    yes, no = numpy_bools()
    assert index.to_bytes(positions=yes) == index.to_bytes()
    assert index.to_bytes(positions=no) == index.to_bytes(positions=False)


@pytest.mark.parametrize("value", [1, 0, None, "yes", 1.0, [True]])
def test_positions_rejects_non_bools(index, value):
    with pytest.raises(TypeError) as info:
        index.to_bytes(positions=value)
    if HAS_NOTES:
        assert info.value.__notes__ == ["while processing 'positions'"]


def test_positions_is_keyword_only(index):
    with pytest.raises(TypeError):
        index.to_bytes(False)
    with pytest.raises(TypeError):
        index.to_bytes(position=False)


# ------------------------------------------------------------ from_bytes

def test_from_bytes_language_checks():
    data = make_index("de").to_bytes()
    with pytest.raises(vrim.FormatError) as info:
        vrim.Index.from_bytes(data, "en")
    assert str(info.value) == 'index was built for language "de", not "en"'
    assert vrim.Index.from_bytes(data, None).language == "de"
    assert vrim.Index.from_bytes(data, language=" de , de ").language == "de"
    multi = make_index("en,fr").to_bytes()
    assert vrim.Index.from_bytes(multi, "en, fr,en").language == "en,fr"
    with pytest.raises(vrim.FormatError, match='not "fr,en"$'):
        vrim.Index.from_bytes(multi, "fr,en")  # order matters
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # loading never warns
        with pytest.raises(vrim.FormatError, match='not "xx"$'):
            vrim.Index.from_bytes(data, "xx")
        with pytest.warns(UserWarning):
            unknown = make_index("qq").to_bytes()
        assert vrim.Index.from_bytes(unknown, "qq").language == "qq"


def test_from_bytes_is_static():
    data = make_index().to_bytes()
    assert isinstance(vrim.Index.from_bytes(data), vrim.Index)
    assert isinstance(make_index().from_bytes(data), vrim.Index)


class Bytes(bytes):
    pass


@pytest.mark.parametrize("function", [
    vrim.index_language, vrim.Index.from_bytes,
])
def test_bytes_argument_types(function, index):
    data = index.to_bytes()
    function(Bytes(data))
    for wrong in (bytearray(data), memoryview(data), data.decode("latin-1")):
        with pytest.raises(TypeError) as info:
            function(wrong)
        if HAS_NOTES:
            assert info.value.__notes__ == ["while processing 'data'"]
    with pytest.raises(TypeError):
        vrim.Index.from_bytes(data, b"en")


@pytest.mark.parametrize("function", [
    vrim.index_language, vrim.Index.from_bytes,
])
@pytest.mark.parametrize("data,message", [
    (b"", "not a Vrim index: index is 0 bytes, need at least 64"),
    (b"\x89PNG" + bytes(100), "not a Vrim index: magic bytes [137, 80, 78, 71]"),
])
def test_reader_errors_prefixed_once(function, data, message):
    with pytest.raises(vrim.FormatError) as info:
        function(data)
    assert str(info.value) == message
    assert isinstance(info.value, ValueError)


def test_damaged_postings_still_report_language(index):
    data = bytearray(index.to_bytes())
    data[-3:] = b"\xff\xff\xff"
    damaged = bytes(data)
    assert vrim.index_language(damaged) == "en"
    with pytest.raises(vrim.FormatError) as info:
        vrim.Index.from_bytes(damaged)
    assert str(info.value).startswith("not a Vrim index: ")
    assert str(info.value).count("not a Vrim index") == 1


def test_truncations_never_crash(index):
    data = index.to_bytes()
    for cut in range(0, len(data), max(1, len(data) // 97)):
        with pytest.raises(vrim.FormatError):
            vrim.Index.from_bytes(data[:cut])


# ---------------------------------------------------------------- Result

def test_result_outlives_index():
    idx = make_index()
    hits = idx.search("pears")
    del idx
    import gc
    gc.collect()
    assert hits[0].ref == "b"
    assert hits[0].matches["pear"]["title"] == [(6, 5)]


def test_result_is_read_only(index):
    hit = index.search("apple")[0]
    with pytest.raises(AttributeError):
        hit.score = 1.0
    with pytest.raises(AttributeError):
        hit.extra = 1


def score_of(repr_text):
    return repr_text.rsplit("score=", 1)[1][:-1]


def test_result_repr(index):
    hit = index.search("pears")[0]
    text = repr(hit)
    assert text.startswith('Result(ref="b", score=')
    shown = score_of(text)
    assert "e" not in shown
    assert float(shown) == hit.score


def test_result_repr_quotes_reference():
    b = vrim.IndexBuilder("en")
    b.field("t")
    b.add({"id": 'say "hi"\n', "t": "word"})
    [hit] = b.build().search("word")
    assert repr(hit).startswith('Result(ref="say \\"hi\\"\\n", score=')


def test_boosted_scores_render_without_exponent():
    b = vrim.IndexBuilder("en")
    b.field("t")
    b.add({"id": "a", "t": "word"})
    b.add({"id": "zero", "t": "word"}, boost=0)
    index = b.build()
    shown = {h.ref: score_of(repr(h)) for h in index.search("word")}
    assert shown["zero"] == "0"
    [big] = [h for h in index.search("word^1e22") if h.ref == "a"]
    [tiny] = [h for h in index.search("word^0.0000000001") if h.ref == "a"]
    for hit in (big, tiny):
        text = score_of(repr(hit))
        assert "e" not in text and "E" not in text
        assert float(text) == hit.score
    assert "." not in score_of(repr(big))
    assert score_of(repr(tiny)).startswith("0.0000000000")
