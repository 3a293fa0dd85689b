"""Concurrency stress: eight threads search one Index while other threads
build, serialise, load, rehydrate and mutate builders of their own, and
two threads fight over one shared builder. Fixed iteration counts; every
answer must equal the single-threaded one, and "Already borrowed" /
"Already mutably borrowed" must appear exactly where a claim conflicts."""

import itertools
import random
import threading

import vrim

WORDS = ["alpha", "beta", "gamma", "delta", "running", "runner", "runs",
         "straße", "İstanbul", "検索", "東京都", "ｶﾞｲﾄﾞ", "x-ray", "naïve"]
QUERIES = ["alpha", "run*", "*ta", "gama~1", "+beta -gamma", "t:delta^2",
           "runner~2 alpha", "-alpha", "straße", "検索", "東京", "x-ray",
           "b:naïve*", "+t:alpha +b:beta"]
SEARCHERS = 8
FIELD_NAMES = itertools.count()
ROUNDS = 6


def corpus(count, seed, prefix="d"):
    rng = random.Random(seed)
    return [{"id": f"{prefix}{i}", "t": " ".join(rng.choices(WORDS, k=4)),
             "b": " ".join(rng.choices(WORDS, k=12))} for i in range(count)]


def builder_for(docs, language="en"):
    b = vrim.IndexBuilder(language)
    b.field("t", 2.0)
    b.field("b")
    b.add_many(docs)
    return b


def answers(index):
    return {q: [(h.ref, h.score, h.matches) for h in index.search(q)]
            for q in QUERIES}


def run_threads(targets):
    failures = []

    def guard(target):
        try:
            target()
        except BaseException as e:  # reported, not lost with the thread
            failures.append(repr(e))

    threads = [threading.Thread(target=guard, args=(t,)) for t in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return failures


class HeldBuilder:
    """A builder whose add_many stops half-way, holding its exclusive
    claim, until released."""

    def __init__(self):
        self.builder = builder_for(corpus(20, 1, "h"))
        self.held = threading.Event()
        self.release = threading.Event()

    def docs(self):
        yield {"id": "first", "t": "alpha"}
        self.held.set()
        self.release.wait()
        yield {"id": "second", "t": "beta"}

    def hold(self):
        self.builder.add_many(self.docs())


def probe(builder):
    """Every kind of call on `builder`: the error text of each, or None."""
    name = f"f{next(FIELD_NAMES)}"
    calls = {
        "field": lambda: builder.field(name),
        "add": lambda: builder.add({"id": "p", "t": "gamma"}),
        "clear": builder.clear,
        "build": builder.build,
        "staged": lambda: builder.staged,
        "repr": lambda: repr(builder),
    }
    outcome = {}
    for kind, call in calls.items():
        try:
            call()
            outcome[kind] = None
        except RuntimeError as e:
            outcome[kind] = str(e)
    return outcome


def test_stress():
    index = builder_for(corpus(1500, 7)).build()
    expected = answers(index)
    assert sum(map(len, expected.values())) > 1000

    def searcher(seed):
        def run():
            order = QUERIES * ROUNDS
            random.Random(seed).shuffle(order)
            for query in order:
                got = [(h.ref, h.score, h.matches) for h in index.search(query)]
                assert got == expected[query], query
                top = [(h.ref, h.score, h.matches)
                       for h in index.search(query, limit=5)]
                assert top == expected[query][:5], query
        return run

    def churner(seed, language):
        def run():
            docs = corpus(150, seed, f"c{seed}-")
            want = answers(builder_for(docs, language).build())
            for _ in range(ROUNDS):
                built = builder_for(docs, language).build()
                loaded = vrim.Index.from_bytes(built.to_bytes(), language)
                assert answers(loaded) == want
                again = vrim.IndexBuilder.from_index(loaded)
                assert again.remove(docs[0]["id"])
                again.add(docs[0])
                assert answers(again.build()) == want
        return run

    held = HeldBuilder()
    conflicts = []

    def prober():
        for _ in range(ROUNDS):
            held.held.clear()
            held.release.clear()
            holder = threading.Thread(target=held.hold)
            holder.start()
            held.held.wait()
            conflicts.append(probe(held.builder))
            held.release.set()
            holder.join()
            conflicts.append(probe(held.builder))

    targets = [searcher(n) for n in range(SEARCHERS)]
    targets += [churner(1, "en"), churner(2, "ja"), churner(3, "tr,en"),
                prober]
    assert run_threads(targets) == []

    mutable = "Already mutably borrowed"
    during = {"field": "Already borrowed", "add": "Already borrowed",
              "clear": "Already borrowed", "build": mutable,
              "staged": mutable, "repr": mutable}
    after = dict.fromkeys(during)
    assert conflicts == [during, after] * ROUNDS


def test_mutations_racing_builds_are_refused_or_applied_whole():
    builder = builder_for(corpus(3000, 5, "r"))
    stop = threading.Event()
    applied = []
    refused = []

    def build():
        built = 0
        while built < ROUNDS:
            try:
                assert len(builder.build()) >= 3000
                built += 1
            except RuntimeError as e:  # an add held the builder
                assert str(e) == "Already mutably borrowed"
        stop.set()

    def mutate():
        n = 0
        while not stop.is_set():
            try:
                builder.add({"id": f"new{n}", "t": "alpha"})
                applied.append(n)
            except RuntimeError as e:
                assert str(e) == "Already borrowed"
                refused.append(n)
            n += 1
            builder.staged  # shared claims never conflict with a build

    assert run_threads([build, mutate]) == []
    assert builder.staged == 3000 + len(applied)
    assert len(builder.build()) == 3000 + len(applied)
