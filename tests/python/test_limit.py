"""search(query, limit=n) is the first n hits of search(query), exactly."""

import random

import pytest

import vrim
from random_queries import WORDS, hit_tuple, random_query, random_text


@pytest.mark.parametrize("language", ["de", "en", "en,tr", "ja"])
def test_limit_is_a_prefix_of_the_full_ranking(language):
    rng = random.Random(language)
    words = WORDS[language]
    for _ in range(500):
        builder = vrim.IndexBuilder(language, ref_field="id")
        builder.field("title", rng.choice([1.0, 2.0, 0.0]))
        builder.field("body")
        for n in range(rng.randint(0, 150)):
            doc = {"id": f"d{rng.randrange(1000)}-{n}",
                   "title": random_text(rng, words),
                   "body": random_text(rng, words)}
            builder.add(doc, boost=rng.choice([1.0, 1.0, 2.0, 0.0]))
        index = builder.build()
        for _ in range(8):
            query = random_query(rng, words, ["title", "body"])
            full = [hit_tuple(h) for h in index.search(query)]
            for limit in {0, 1, 3, 10, len(full), rng.randrange(len(full) + 2)}:
                got = [hit_tuple(h) for h in index.search(query, limit=limit)]
                assert got == full[:limit], (query, limit)


@pytest.mark.parametrize(
    "limit, error, message",
    [(True, TypeError, "bool"), (False, TypeError, "bool"),
     (1.5, TypeError, "float"), ("3", TypeError, "str"),
     (-1, ValueError, "limit must not be negative"),
     (-(2**70), ValueError, "limit must not be negative")],
)
def test_limit_argument_errors(limit, error, message):
    builder = vrim.IndexBuilder("en")
    builder.field("body")
    builder.add({"id": "a", "body": "apple"})
    index = builder.build()
    with pytest.raises(error, match=message) as info:
        index.search("apple", limit=limit)
    assert "while processing 'limit'" in "".join(getattr(info.value, "__notes__", []))


def test_limit_accepts_huge_values_and_index_types():
    builder = vrim.IndexBuilder("en")
    builder.field("body")
    builder.add_many({"id": str(i), "body": "apple pie"} for i in range(3))
    index = builder.build()
    assert len(index.search("apple", limit=2**80)) == 3
    assert [h.ref for h in index.search("apple", 2)] == ["0", "1"]
