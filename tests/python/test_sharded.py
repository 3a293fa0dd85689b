"""Shards searched with summed query statistics rank exactly like one
index over all their documents; QueryStats and ShardedIndex surfaces."""

import pickle
import random

import pytest

import vrim
from vrim._sharding.sharded_index import check_complete
from random_queries import WORDS, hit_tuple, random_query, random_text


def build(language, docs, k1, b, title_boost):
    builder = vrim.IndexBuilder(language, ref_field="id", k1=k1, b=b)
    builder.field("title", title_boost)
    builder.field("body")
    for doc, boost in docs:
        builder.add(doc, boost=boost)
    return builder.build()


def random_collection(rng, words, language):
    """One index over random documents, and the same documents split at
    random into 2 to 7 shards (some possibly empty)."""
    settings = (rng.choice([1.2, 0.0, 2.0]), rng.choice([0.75, 0.0, 1.0]),
                rng.choice([1.0, 2.0, 0.0]))
    docs = [({"id": f"d{rng.randrange(1000)}-{n}",
              "title": random_text(rng, words),
              "body": random_text(rng, words)},
             rng.choice([1.0, 1.0, 2.0, 0.0]))
            for n in range(rng.randint(0, 300))]
    parts = [[] for _ in range(rng.randint(2, 7))]
    for doc in docs:
        rng.choice(parts).append(doc)
    whole = build(language, docs, *settings)
    return whole, [build(language, part, *settings) for part in parts]


@pytest.mark.parametrize("language", ["en", "en,tr", "ja", "zh"])
def test_shards_rank_like_one_index(language):
    rng = random.Random(f"shards {language}")
    words = WORDS[language]
    for _ in range(40):
        whole, shards = random_collection(rng, words, language)
        sharded = vrim.ShardedIndex(shards)
        assert len(sharded) == len(whole)
        for _ in range(12):
            query = random_query(rng, words, ["title", "body"])
            for limit in (None, 1, 5, 40):
                want = [hit_tuple(h) for h in whole.search(query, limit=limit)]
                got = [hit_tuple(h) for h in sharded.search(query, limit=limit)]
                assert got == want, (query, limit)


@pytest.fixture(scope="module")
def shards():
    docs = [({"id": "a", "title": "river stones", "body": "sea"}, 1.0),
            ({"id": "b", "title": "river", "body": "walking"}, 1.0),
            ({"id": "c", "title": "light", "body": "the sea of rivers"}, 1.0)]
    return [build("en", docs[:2], 1.2, 0.75, 1.0),
            build("en", docs[2:], 1.2, 0.75, 1.0)]


def test_query_stats_sum_pickle_and_repr(shards):
    first, second = (shard.query_stats("river* -sea") for shard in shards)
    total = first + second
    assert sum([first, second]) == total
    assert total.document_count == 3
    assert total.fields == {"title": (4, 3), "body": (4, 3)}
    assert total.terms == {"river": 3}
    assert pickle.loads(pickle.dumps(total)) == total
    assert vrim.QueryStats(3, total.fields, {"river": 3},
                           total.sources) == total
    assert vrim.QueryStats(3, total.fields, {"river": 3}) != total
    assert repr(total) == ('QueryStats(document_count=3, fields={"title": '
                           '(4, 3), "body": (4, 3)}, terms={"river": 3})')


def test_stats_that_do_not_fit_are_rejected(shards):
    stats = shards[0].query_stats("river")
    with pytest.raises(ValueError, match='lack the term "sea"'):
        shards[0].search("sea", stats=stats)
    other = vrim.QueryStats(3, {"name": (1, 1)}, {"river": 1})
    with pytest.raises(ValueError, match="fields"):
        shards[0].search("river", stats=other)
    with pytest.raises(ValueError, match="different fields"):
        stats + other
    with pytest.raises(TypeError, match="QueryStats or None"):
        shards[0].search("river", stats={"river": 1})
    with pytest.raises(TypeError):
        stats + 1
    with pytest.raises(TypeError):
        vrim.QueryStats(1, {"title": 5}, {})
    with pytest.raises(ValueError, match="negative"):
        vrim.QueryStats(1, {}, {"x": -1})


def test_stats_name_their_shards_and_a_partial_sum_is_refused(shards):
    first, second = (shard.query_stats("river") for shard in shards)
    total = first + second
    assert sorted(f for f, _ in total.sources) == sorted(
        s.fingerprint for s in shards)
    assert total.sources == sorted(total.sources)
    assert all(exclusion is None for _, exclusion in total.sources)
    assert pickle.loads(pickle.dumps(total)).sources == total.sources
    assert vrim.Index.from_bytes(
        shards[0].to_bytes(positions=False)).fingerprint == first.sources[0][0]
    with pytest.raises(ValueError, match="own contribution"):
        shards[1].search("river", stats=first)
    with pytest.raises(ValueError, match="own contribution"):
        shards[0].search("river", stats=vrim.QueryStats(
            3, total.fields, total.terms))
    assert shards[1].search("river", stats=total)
    with pytest.raises(ValueError, match="lack shard 1"):
        check_complete(first, [s.fingerprint for s in shards])
    with pytest.raises(ValueError, match="not shards"):
        check_complete(total + first, [s.fingerprint for s in shards])
    check_complete(total, [s.fingerprint for s in shards])
    with pytest.raises(ValueError, match="16 lowercase hex"):
        vrim.QueryStats(1, {}, {}, [("XYZ", None)])
    with pytest.raises(TypeError, match="tuples"):
        vrim.QueryStats(1, {}, {}, ["0123456789abcdef"])


@pytest.mark.parametrize("change,message", [
    ({"language": "de"}, "in language"),
    ({"k1": 2.0}, "in k1"),
    ({"b": 0.5}, "in b"),
    ({"title_boost": 3.0}, "in field_boosts"),
])
def test_shards_must_share_settings(change, message):
    settings = {"language": "en", "k1": 1.2, "b": 0.75, "title_boost": 1.0}
    a = build(**settings, docs=[({"id": "a", "title": "x"}, 1.0)])
    b = build(**{**settings, **change}, docs=[({"id": "b", "title": "y"}, 1.0)])
    with pytest.raises(ValueError, match=message):
        vrim.ShardedIndex([a, b])


def test_a_reference_in_two_shards_is_reported(shards):
    with pytest.raises(ValueError, match="'a' is in shard 0 and in shard 2"):
        vrim.ShardedIndex([shards[0], shards[1], shards[0]])
    with pytest.raises(ValueError, match="at least one"):
        vrim.ShardedIndex([])
    with pytest.raises(TypeError, match="shard 1 must be a vrim.Index"):
        vrim.ShardedIndex([shards[0], "index"])


def test_vrim_dask_without_dask_says_what_to_install():
    import subprocess
    import sys
    code = ("import sys; sys.modules['dask'] = None\n"
            "try:\n    import vrim.dask\n"
            "except ImportError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                         text=True, check=True).stdout
    assert "pip install 'dask[distributed]'" in out


@pytest.mark.parametrize("language", ["en", "ja"])
def test_filter_offset_and_phrases_pass_through_the_shards(language):
    rng = random.Random(f"sharded options {language}")
    words = WORDS[language]
    for _ in range(15):
        whole, shards = random_collection(rng, words, language)
        sharded = vrim.ShardedIndex(shards)
        refs = whole.references
        allowed = set(rng.sample(refs, rng.randint(0, len(refs))))
        for _ in range(6):
            query = random_query(rng, words, ["title", "body"])
            phrased = f'"{rng.choice(words)} {rng.choice(words)}" {query}'
            for q, phrases in ((query, False), (phrased, True)):
                for limit, offset in ((None, 0), (3, 0), (4, 2), (None, 5)):
                    options = dict(filter=allowed, offset=offset,
                                   phrases=phrases)
                    want = [hit_tuple(h)
                            for h in whole.search(q, limit, **options)]
                    got = [hit_tuple(h)
                           for h in sharded.search(q, limit, **options)]
                    assert got == want, (q, limit, offset, phrases)


@pytest.mark.parametrize("options,error", [
    ({"offset": -1}, ValueError), ({"filter": "ref"}, TypeError),
    ({"filter": [1]}, TypeError), ({"phrases": 1}, TypeError)])
def test_sharded_search_options_are_checked(shards, options, error):
    with pytest.raises(error):
        vrim.ShardedIndex(shards).search("river", 2, **options)
