"""build(threads=...): the same index and bytes for every thread count,
and the argument's checks."""

import random
import sys
import warnings

import pytest

import vrim

HAS_NOTES = sys.version_info >= (3, 11)
THREADS = (1, 2, 3, 8)

# Words of every script the languages treat differently, among many rare
# ones so that the threads' shares hold different vocabularies.
WORDS = ["the", "Running", "runs", "café", "naïve", "Işık", "İstanbul",
         "kız", "日本語", "こんにちは", "(quoted)", "don't", "U.S.A.", "2026",
         "DATA", "daté"]


def corpus(seed, docs, prefix="d"):
    rng = random.Random(seed)

    def text(words):
        return " ".join(rng.choice(WORDS) if rng.random() < 0.7
                        else f"w{rng.randrange(20000)}" for _ in range(words))
    # About 250 kB: enough for several threads' shares.
    return [{"id": f"{prefix}{rng.randrange(docs * 2)}", "title": text(6),
             "body": text(rng.randrange(200))} for _ in range(docs)]


def make_builder(language):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        b = vrim.IndexBuilder(language)
    b.field("title", 2.0)
    b.field("body")
    return b


def bytes_per_thread_count(b):
    return {threads: b.build(threads=threads).to_bytes()
            for threads in THREADS}


@pytest.mark.parametrize("language", ["en", "fr", "ja", "en,tr"])
def test_same_bytes_for_every_thread_count(language):
    b = make_builder(language)
    b.add_many(corpus(1, 1500))
    built = bytes_per_thread_count(b)
    assert len(set(built.values())) == 1
    assert b.build().to_bytes() == built[1]  # None: every core


def test_rehydrated_builder_with_upserts_and_removals():
    b = make_builder("en")
    b.add_many(corpus(2, 1200))
    rehydrated = vrim.IndexBuilder.from_index(b.build(threads=2))
    for i in range(0, 600, 3):
        rehydrated.remove(f"d{i}")
    rehydrated.field("extra")
    rehydrated.add_many(corpus(3, 800))  # upserts and new documents
    rehydrated.add({"id": "d5", "extra": "bonus words"})
    built = bytes_per_thread_count(rehydrated)
    assert len(set(built.values())) == 1
    assert [h.ref for h in vrim.Index.from_bytes(built[8], "en")
            .search("extra:bonus")] == ["d5"]


def test_empty_builders():
    assert len(set(bytes_per_thread_count(make_builder("en")).values())) == 1
    no_fields = vrim.IndexBuilder("en")
    assert no_fields.build(threads=4).to_bytes() == no_fields.build().to_bytes()


@pytest.mark.parametrize("threads,error,message", [
    (True, TypeError, "argument 'threads' must be int, not bool"),
    (False, TypeError, "argument 'threads' must be int, not bool"),
    (2.0, TypeError, "argument 'threads' must be int, not float"),
    ("2", TypeError, "argument 'threads' must be int, not str"),
    (0, ValueError, "threads must be at least 1"),
    (-3, ValueError, "threads must be at least 1"),
    (-10**30, ValueError, "threads must be at least 1"),
])
def test_threads_argument_errors(threads, error, message):
    b = make_builder("en")
    b.add({"id": "a", "body": "text"})
    with pytest.raises(error) as info:
        b.build(threads=threads)
    assert str(info.value) == message
    if HAS_NOTES:
        assert info.value.__notes__ == ["while processing 'threads'"]


def test_threads_accepts_integers_of_any_size_and_position():
    class Count:
        def __index__(self):
            return 2

    b = make_builder("en")
    b.add({"id": "a", "body": "some text"})
    expected = b.build().to_bytes()
    for threads in (None, 1, 10**30, Count()):
        assert b.build(threads=threads).to_bytes() == expected
    assert b.build(2).to_bytes() == expected
    with pytest.raises(TypeError):
        b.build(1, 2)
    with pytest.raises(TypeError):
        b.build(thread=1)


def test_docstring():
    doc = vrim.IndexBuilder.build.__doc__
    assert vrim.IndexBuilder.build.__text_signature__ == "($self, threads=None)"
    assert "`None` uses\nall of them" in doc and "same for every" in doc
