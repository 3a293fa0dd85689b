"""Phrase queries (`phrases=True`) against a brute-force reference that
re-derives the word stream of every field from its text."""

import functools
import math
import random

import pytest
from hypothesis import assume, given, settings, strategies as st

import vrim
from random_queries import WORDS, hit_tuple, random_query, random_text

FIELDS = ["title", "body"]


@functools.lru_cache(maxsize=None)
def analyse(text, language):
    """The kept tokens of `text`, [(start, length, term)] by start: the
    builder's own analysis, read back from an index of that text alone."""
    builder = vrim.IndexBuilder(language, ref_field="id")
    builder.field("f")
    builder.add({"id": "x", "f": text})
    hits = builder.build().search("*")
    if not hits:
        return ()
    return tuple(sorted((start, length, term)
                        for term, fields in hits[0].matches.items()
                        for start, length in fields["f"]))


def words_of(tokens):
    """[(start, {term: [(start, length)]})] per word: tokens sharing a start
    spell one word."""
    words = {}
    for start, length, term in tokens:
        words.setdefault(start, {}).setdefault(term, []).append((start, length))
    return sorted(words.items())


def chains(stream, phrase, slop):
    """For each word position of the phrase's first word, the earliest
    occurrence starting there, found by trying every choice of positions."""
    at = [[i for i, (_, terms) in enumerate(stream) if terms.keys() & word]
          for word in phrase]

    def extend(chain):
        if len(chain) == len(phrase):
            return chain
        for p in at[len(chain)]:
            if p > chain[-1] and p - chain[0] - len(chain) <= slop:
                found = extend(chain + [p])
                if found:
                    return found
        return None

    return [c for c in (extend([p]) for p in at[0]) if c]


def rounded(x):
    return math.floor(x * 1000.0 + 0.5) / 1000.0


class Reference:
    def __init__(self, docs, language, boosts):
        self.docs = sorted(docs, key=lambda d: d["id"])
        self.language = language
        self.boosts = boosts
        self.streams = {(d["id"], f): analyse(d[f], language)
                        for d in self.docs for f in FIELDS}

    def df(self, term):
        return sum(any(term == t for f in FIELDS for _, _, t in self.streams[d["id"], f])
                   for d in self.docs)

    def search(self, index, clauses, query):
        stats = index.query_stats(query, phrases=True)
        n = index.document_count
        averages = {f: (t / c if c else 0.0) for f, (t, c) in stats.fields.items()}
        k1, b = index.k1, index.b
        results = []
        scoring = [c for c in clauses if c["presence"] != "-"]
        for doc in self.docs:
            score, scored, matches, ok = 0.0, False, {}, True
            for clause in clauses:
                phrase = [set(w) for _, w in words_of(analyse(clause["text"], self.language))]
                idf = 0.0
                for word in phrase:
                    df = max(self.df(t) for t in word)
                    idf += math.log(1.0 + (n - df + 0.5) / (df + 0.5))
                fields = [clause["field"]] if clause["field"] else FIELDS
                found = False
                for field in fields:
                    stream = words_of(self.streams[doc["id"], field])
                    occurrences = chains(stream, phrase, clause["slop"]) if phrase else []
                    if not occurrences:
                        continue
                    found = True
                    if clause["presence"] == "-":
                        continue
                    scored = True
                    tf = len(occurrences)
                    fl = len(self.streams[doc["id"], field])
                    avg, fb = averages[field], self.boosts[field]
                    if avg > 0 and doc["boost"] > 0:
                        raw = (doc["boost"] * fb * idf * tf * (k1 + 1.0)
                               / (tf + k1 * ((1.0 - b) + b * fl / avg)))
                        if rounded(raw) != 0.0:
                            score += 1.0 * min(clause["boost"], 1e6) * rounded(raw)
                    for chain in occurrences:
                        for word, p in zip(phrase, chain):
                            for term, spans in stream[p][1].items():
                                if term in word:
                                    matches.setdefault(term, {}).setdefault(
                                        field, set()).update(spans)
                if clause["presence"] == "-" and found:
                    ok = False
                if clause["presence"] == "+" and not found:
                    ok = False
            if not scoring:
                if ok:
                    results.append((doc["id"], 0.0, [], {}))
                continue
            if ok and scored:
                results.append((doc["id"], score, sorted(matches),
                                {t: {f: sorted(s) for f, s in fs.items()}
                                 for t, fs in matches.items()}))
        results.sort(key=lambda r: -r[1])
        return results


def clause_text(clause):
    text = f'"{clause["text"]}"'
    if clause["slop"]:
        text += f'~{clause["slop"]}'
    if clause["boost"] != 1.0:
        text += f'^{clause["boost"]}'
    if clause["field"]:
        text = f'{clause["field"]}:{text}'
    return clause["presence"] + text


def corpora(language):
    # A few words per corpus, so that phrases often occur.
    vocabularies = st.lists(st.sampled_from(WORDS[language] + ["zz"]),
                            min_size=2, max_size=5, unique=True)
    return vocabularies.flatmap(corpora_of)


def corpora_of(words):
    text = st.lists(st.sampled_from(words), max_size=10).map(" ".join)
    doc = st.fixed_dictionaries({"title": text, "body": text,
                                 "boost": st.sampled_from([1.0, 1.0, 2.0, 0.0])})
    clause = st.fixed_dictionaries({
        "text": st.lists(st.sampled_from(words), min_size=1, max_size=4).map(" ".join),
        "presence": st.sampled_from(["", "", "+", "-"]),
        "field": st.sampled_from([None, None, "title", "body"]),
        "slop": st.sampled_from([0, 0, 1, 3]),
        "boost": st.sampled_from([1.0, 1.0, 2.5, 0.0]),
    })
    return st.tuples(st.lists(doc, max_size=12), st.lists(clause, min_size=1, max_size=3),
                     st.sampled_from([1.0, 2.0, 0.0]))


def build(docs, language, title_boost):
    builder = vrim.IndexBuilder(language, ref_field="id")
    builder.field("title", title_boost)
    builder.field("body")
    for doc in docs:
        builder.add({k: doc[k] for k in ("id", *FIELDS)}, boost=doc["boost"])
    return builder.build()


def check_against_reference(language, data):
    raw_docs, clauses, title_boost = data
    # A phrase of one word is that word's term clause, tested apart.
    assume(all(len(words_of(analyse(c["text"], language))) != 1 for c in clauses))
    docs = [dict(d, id=f"d{i:02}") for i, d in enumerate(raw_docs)]
    index = build(docs, language, title_boost)
    reference = Reference(docs, language, {"title": title_boost, "body": 1.0})
    query = " ".join(clause_text(c) for c in clauses)
    got = [hit_tuple(h) for h in index.search(query, phrases=True)]
    want = reference.search(index, clauses, query)
    # Ties keep document order on both sides (a stable sort above).
    assert got == [(r, s, t, m) for r, s, t, m in want], query
    for limit in (1, 3):
        assert [hit_tuple(h) for h in index.search(query, limit, phrases=True)] \
            == got[:limit], (query, limit)


@pytest.mark.parametrize("language", ["en", "de", "en,tr", "ja"])
def test_phrases_match_the_reference(language):
    @settings(max_examples=150, deadline=None, derandomize=True, database=None)
    @given(corpora(language))
    def run(data):
        check_against_reference(language, data)

    run()


def small_index(language="en", positions=True, **texts):
    builder = vrim.IndexBuilder(language, ref_field="id")
    builder.field("title")
    builder.field("body")
    for ref, (title, body) in texts.items():
        builder.add({"id": ref, "title": title, "body": body})
    index = builder.build()
    if not positions:
        index = vrim.Index.from_bytes(index.to_bytes(positions=False))
    return index


@pytest.mark.parametrize("phrase, term", [
    ('"apples"', "apples"), ('"the apple"', "apple"),
    ('title:"Pear"^2', "title:pear^2"), ('+"of pear"', "+pear"),
])
def test_a_phrase_of_one_word_is_its_term(phrase, term):
    index = small_index(a=("red apples", "a pear and an apple"),
                        b=("pears", "the apple of my eye"))
    assert [hit_tuple(h) for h in index.search(phrase, phrases=True)] == \
        [hit_tuple(h) for h in index.search(term)]


def test_stop_words_drop_out_of_the_phrase_and_quotes_are_words_without_phrases():
    index = small_index(a=("", "bank of america"), b=("", "bank america"),
                        c=("", "america bank"), d=("", "bank in the america"))
    assert {h.ref for h in index.search('"bank of america"', phrases=True)} == \
        {"a", "b", "d"}
    assert {h.ref for h in index.search('"bank america"~0', phrases=True)} == \
        {"a", "b", "d"}
    # Without phrases, the quotes are trimmed and each word is a term.
    assert {h.ref for h in index.search('"bank america"')} == {"a", "b", "c", "d"}
    hit = index.search('"bank america"', phrases=True)[0]
    assert hit.matches == {"america": {"body": [(8, 7)]}, "bank": {"body": [(0, 4)]}}


def test_bigram_phrases_need_their_exact_run():
    index = small_index("ja", a=("", "東京都に住む"), b=("", "東京の都"))
    assert [h.ref for h in index.search('"東京都"', phrases=True)] == ["a"]
    assert {h.ref for h in index.search("東京都")} == {"a", "b"}


def test_shard_statistics_add_up_for_phrases():
    texts = {f"d{i}": ("", " ".join(["apple pear", "pear apple", "apple x pear"][i % 3]
                                    for _ in range(i % 4 + 1)))
             for i in range(12)}
    whole = small_index(**texts)
    shards = [small_index(**{k: v for k, v in texts.items() if int(k[1:]) % 2 == r})
              for r in (0, 1)]
    for query in ['"apple pear"', '"apple pear"~1 -"pear apple"', 'body:"pear apple"^3']:
        total = sum(s.query_stats(query, phrases=True) for s in shards)
        merged = sorted(((h.ref, h.score) for s in shards
                         for h in s.search(query, stats=total, phrases=True)),
                        key=lambda x: (-x[1], x[0]))
        assert merged == [(h.ref, h.score) for h in whole.search(query, phrases=True)]


def test_phrases_need_positions():
    index = small_index(positions=False, a=("", "apple pear"))
    with pytest.raises(vrim.QueryError, match="phrase queries need positions"):
        index.search('pie "apple pear"', phrases=True)
    with pytest.raises(vrim.QueryError, match="phrase queries need positions"):
        index.query_stats('"apple pear"', phrases=True)
    assert [h.ref for h in index.search('"apple"', phrases=True)] == ["a"]
    assert [h.ref for h in index.search('"apple pear"')] == ["a"]


@pytest.mark.parametrize("query, message, start, end", [
    ('"apple pear', "expecting '\"' to close the phrase, found nothing", 0, 11),
    ('x "a\\" b', "expecting '\"' to close the phrase, found nothing", 2, 8),
    ('"app* pear"', "a phrase cannot hold a wildcard term", 1, 5),
    ('"apple pear~1"', "a phrase cannot hold a fuzzy term", 7, 13),
    ('"a b"~33', "phrase slop must be at most 32", 6, 8),
    ('"a b"~x', "phrase slop must be numeric", 6, 7),
    ('"a b"~', "phrase slop must be numeric", 5, 6),
    ('title:', "expecting term, found nothing", 0, 5),
])
def test_phrase_syntax_errors(query, message, start, end):
    index = small_index(a=("", "apple pear"))
    with pytest.raises(vrim.QueryError) as info:
        index.search(query, phrases=True)
    assert (str(info.value).split(" in query ")[0], info.value.start,
            info.value.end) == (message, start, end)


@pytest.mark.parametrize("query", ['"app* pear', '"a b"~33', '"a b'])
def test_without_phrases_quotes_never_fail(query):
    small_index(a=("", "apple pear")).search(query)


def test_escaped_quotes_inside_and_outside_a_phrase():
    index = small_index(a=("", 'red "apple pear" now'), b=("", "pear apple"))
    assert [h.ref for h in index.search('"red \\"apple"', phrases=True)] == ["a"]
    assert {h.ref for h in index.search('\\"apple pear\\"', phrases=True)} == {"a", "b"}


def test_phrases_argument_is_a_flag():
    index = small_index(a=("", "apple"))
    with pytest.raises(TypeError, match="phrases"):
        index.search("apple", phrases=1)
    with pytest.raises(TypeError):
        index.search("apple", None, None, True)  # keyword-only


def test_first_phrase_queries_on_several_threads_agree():
    from concurrent.futures import ThreadPoolExecutor
    texts = {f"d{i}": ("", " ".join(["apple pear stone"[j % 11:] for j in range(i)]))
             for i in range(300)}
    for _ in range(3):  # each a fresh index: the word positions derived anew
        index = small_index(**texts)
        with ThreadPoolExecutor(4) as pool:
            results = list(pool.map(
                lambda q: [hit_tuple(h) for h in index.search(q, phrases=True)],
                ['"apple pear"', '"pear stone"~1'] * 4))
        assert results[0] and results[1]
        assert all(r == results[i % 2] for i, r in enumerate(results))


@pytest.mark.parametrize("language", ["en", "en,tr", "ja"])
def test_phrases_among_other_clauses_keep_limits_exact(language):
    rng = random.Random(language)
    words = WORDS[language]
    for _ in range(60):
        docs = [{"id": f"d{n:03}", "title": random_text(rng, words),
                 "body": random_text(rng, words), "boost": rng.choice([1.0, 2.0, 0.0])}
                for n in range(rng.randint(0, 120))]
        index = build(docs, language, rng.choice([1.0, 2.0]))
        for _ in range(6):
            terms = random_query(rng, words, FIELDS)
            phrase = " ".join(rng.choice(words) for _ in range(rng.randint(2, 3)))
            query = f'{terms} {rng.choice(["", "+", "-"])}"{phrase}"~{rng.randint(0, 2)}'
            assert [hit_tuple(h) for h in index.search(terms, phrases=True)] == \
                [hit_tuple(h) for h in index.search(terms)]
            full = [hit_tuple(h) for h in index.search(query, phrases=True)]
            for limit in (1, 5, len(full)):
                got = [hit_tuple(h) for h in index.search(query, limit, phrases=True)]
                assert got == full[:limit], (query, limit)
