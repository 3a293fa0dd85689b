"""The oracle for collection tests: the live documents kept in a dict, one
fresh `Index` built from them, and the page a collection search must give.
Also the deterministic batches the crash and concurrency tests' writer
processes commit, so a reader can rebuild the state of any batch number."""

import random
from collections import Counter

import vrim

WORDS = ("apple apples pear river rivers running runner stone stones light "
         "lighter sea seas walk walking walked the of").split()
FIELDS = {"title": 2.0, "body": 1.0}
COLUMNS = {"lang": str, "year": int, "weight": float}
QUERIES = ["apple", "+river -sea", "title:ston*", "aple~1", "pear^2 light",
           "walk* zz", "-apple river", "the", '"river stone" pear',
           '+"apple pear"~2']


def fresh_index(docs):
    builder = vrim.IndexBuilder("en", ref_field="id")
    for name, boost in FIELDS.items():
        builder.field(name, boost)
    builder.add_many(docs.values())
    return builder.build(threads=1)


def passes(doc, where):
    for name, condition in (where or {}).items():
        value = doc.get(name)
        if value is None:
            return False
        if isinstance(condition, tuple):
            lo, hi = condition
            if (lo is not None and value < lo) or (hi is not None and value > hi):
                return False
        elif isinstance(condition, (list, set)):
            if value not in condition:
                return False
        elif value != condition:
            return False
    return True


def expected_page(index, docs, query, limit, offset, where, facets):
    """(hits as tuples, total, facets) cut from the fresh index's full
    ranking, as the collection must return them."""
    kept = [h for h in index.search(query, phrases=True)
            if passes(docs[h.ref], where)]
    cut = kept[offset:] if limit is None else kept[offset:offset + limit]
    counted = {}
    for name in facets:
        counts = Counter(docs[h.ref][name] for h in kept
                         if docs[h.ref].get(name) is not None)
        counted[name] = sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))
    return [hit_tuple(h) for h in cut], len(kept), counted


def hit_tuple(hit):
    return hit.ref, hit.score, hit.terms, hit.matches


def got_page(page):
    return [hit_tuple(h) for h in page.hits], page.total, page.facets


def check_searches(collection, docs, queries=QUERIES, wheres=(None,),
                   cuts=((10, 0),), facets=("lang", "year")):
    """Asserts every search equals the fresh index's; returns how many ran."""
    index = fresh_index(docs)
    runs = 0
    for query in queries:
        for where in wheres:
            for limit, offset in cuts:
                want = expected_page(index, docs, query, limit, offset, where, facets)
                page = collection.search(query, limit, offset=offset, where=where,
                                         facets=facets)
                assert got_page(page) == want, (query, where, limit, offset)
                assert all(h.doc == docs[h.ref] for h in page.hits)
                runs += 1
    return runs


# -- deterministic batches for the process tests ---------------------------

def random_doc(rng, ref):
    def text():
        return " ".join(rng.choice(WORDS) for _ in range(rng.randint(0, 8)))
    return {"id": ref, "title": text(), "body": text() if rng.random() < 0.9 else None,
            "lang": rng.choice(["en", "fr", None]),
            "year": rng.choice([None, *range(1990, 2000)]),
            "weight": rng.choice([None, 0.25, 0.5, 1.5])}


def batch(number):
    """(upserts, deletions) of batch `number`; the marker document carries
    the number, so a reader can tell which batch a state ends with."""
    rng = random.Random(f"batch {number}")
    upserts = [random_doc(rng, f"r{rng.randrange(80)}") for _ in range(rng.randint(1, 25))]
    upserts.append({"id": "marker", "title": "marker", "body": None,
                    "year": number, "lang": None, "weight": None})
    deletions = [f"r{rng.randrange(80)}" for _ in range(rng.randint(0, 6))]
    return upserts, deletions


def apply_batch(docs, number):
    upserts, deletions = batch(number)
    for doc in upserts:
        docs[doc["id"]] = doc
    for ref in deletions:
        docs.pop(ref, None)


class States:
    """The live documents after each batch, computed on demand."""

    def __init__(self):
        self._states = [{}]

    def __getitem__(self, number):
        while len(self._states) <= number:
            docs = dict(self._states[-1])
            apply_batch(docs, len(self._states))
            self._states.append(docs)
        return self._states[number]


def batch_of(collection):
    marker = collection.get("marker")
    return 0 if marker is None else marker["year"]
