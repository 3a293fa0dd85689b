"""Inputs chosen to be expensive, each with a time and memory budget.

Every case runs in a fresh interpreter, so its peak resident memory is its
own; the report gives the wall time of the measured step, the peak RSS of
the whole process, and the budget. Exits 1 when a case crashes, hangs past
twice its time budget, or goes over a budget.

    python3 bench/bench_adversarial.py [--case NAME ...] [--scale F]

Cases:
    wildcard      `*a*b*c*d*e*` over a dictionary of a million terms
    fuzzy         a 30-character term with `~30` over the same dictionary
    big_document  one document of 50 MB in one field: build, search
    many_fields   a builder with 10,000 declared fields: build, search all
    huge_query    a query of 100,000 clauses (optional, required, prohibited,
                  wildcard and fuzzy mixed) over 20,000 documents
    truncations   from_bytes of every truncation of a small real index
    mutations     from_bytes of 3,000 random mutations of a large index

`--scale` shrinks or grows the inputs (a quick check: --scale 0.05).
"""

from __future__ import annotations

import argparse
import json
import random
import resource
import string
import subprocess
import sys
import time

import vrim

# name -> (seconds, peak RSS in MiB) budgets at scale 1.
BUDGETS = {
    "wildcard": (60, 4096),
    "fuzzy": (60, 4096),
    "big_document": (60, 4096),
    "many_fields": (10, 512),
    "huge_query": (60, 2048),
    "truncations": (60, 1024),
    "mutations": (120, 2048),
}


def words(rng, count, low=4, high=10):
    letters = string.ascii_lowercase
    return ["".join(rng.choices(letters, k=rng.randint(low, high)))
            for _ in range(count)]


def dictionary_index(scale):
    """About a million distinct terms (at scale 1) in 10,000 documents."""
    rng = random.Random(1)
    vocabulary = words(rng, int(1_000_000 * scale), 5, 12)
    per_doc = 100
    b = vrim.IndexBuilder("qq")  # generic: no stemming, terms as written
    b.field("t")
    for d in range(0, len(vocabulary), per_doc):
        b.add({"id": f"d{d}", "t": " ".join(vocabulary[d:d + per_doc])})
    return b.build()


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def case_wildcard(scale):
    index = dictionary_index(scale)
    seconds, hits = timed(lambda: index.search("*a*b*c*d*e*"))
    return seconds, f"{index.term_count} terms, {len(hits)} hits"


def case_fuzzy(scale):
    index = dictionary_index(scale)
    term = "abcdefghijklmnopqrstuvwxyzabcd"
    seconds, hits = timed(lambda: index.search(f"{term}~30"))
    return seconds, f"{index.term_count} terms, {len(hits)} hits"


def case_big_document(scale):
    rng = random.Random(2)
    vocabulary = words(rng, 50_000)
    text = []
    size = 0
    while size < 50_000_000 * scale:
        chunk = " ".join(rng.choices(vocabulary, k=10_000))
        text.append(chunk)
        size += len(chunk) + 1
    text = " ".join(text)
    b = vrim.IndexBuilder("en")
    b.field("body")
    b.add({"id": "big", "body": text})
    del text
    build_seconds, index = timed(b.build)
    search_seconds, hits = timed(lambda: index.search(vocabulary[0]))
    return build_seconds + search_seconds, (
        f"{size / 1e6:.0f} MB: build {build_seconds:.2f} s, "
        f"search {search_seconds:.3f} s, {len(hits[0].matches[vocabulary[0]]['body'])}"
        " positions")


def case_many_fields(scale):
    count = max(2, int(10_000 * scale))
    fields = [f"f{n}" for n in range(count)]
    b = vrim.IndexBuilder("en")
    for name in fields:
        b.field(name)
    rng = random.Random(3)
    vocabulary = words(rng, 1000)
    for d in range(200):
        doc = {"id": f"d{d}"}
        for name in rng.sample(fields, min(count, 50)):
            doc[name] = " ".join(rng.choices(vocabulary, k=5))
        b.add(doc)
    build_seconds, index = timed(b.build)
    query = " ".join(vocabulary[:20]) + " " + vocabulary[0][:3] + "*"
    search_seconds, hits = timed(lambda: index.search(query))
    # Every clause of a long query searches every field.
    clauses = max(1, int(5_000 * scale))
    wide = " ".join(rng.choices(vocabulary, k=clauses))
    wide_seconds, wide_hits = timed(lambda: index.search(wide))
    round_seconds, _ = timed(lambda: vrim.Index.from_bytes(index.to_bytes()))
    return build_seconds + search_seconds + wide_seconds + round_seconds, (
        f"{count} fields: build {build_seconds:.2f} s, 21-clause search over "
        f"all fields {search_seconds:.3f} s ({len(hits)} hits), "
        f"{clauses}-clause search {wide_seconds:.3f} s ({len(wide_hits)} "
        f"hits), to/from bytes {round_seconds:.2f} s")


def case_huge_query(scale):
    rng = random.Random(4)
    vocabulary = words(rng, 20_000)
    b = vrim.IndexBuilder("en")
    b.field("t")
    for d in range(20_000):
        b.add({"id": f"d{d}", "t": " ".join(rng.choices(vocabulary, k=20))})
    index = b.build()
    forms = ["{}", "+{}", "-{}", "t:{}^2", "{}~1", "{}*"]
    clauses = int(100_000 * scale)
    query = " ".join(rng.choice(forms).format(rng.choice(vocabulary)[:6])
                     for _ in range(clauses))
    seconds, hits = timed(lambda: index.search(query))
    plain = " ".join(rng.choices(vocabulary, k=clauses))
    plain_seconds, plain_hits = timed(lambda: index.search(plain))
    limited_seconds, _ = timed(lambda: index.search(plain, limit=10))
    return seconds + plain_seconds + limited_seconds, (
        f"{clauses} mixed clauses {seconds:.2f} s ({len(hits)} hits); "
        f"{clauses} plain terms {plain_seconds:.2f} s ({len(plain_hits)} hits), "
        f"limit=10 {limited_seconds:.2f} s")


def small_real_index():
    b = vrim.IndexBuilder("en,fr")
    b.field("title", 2.0)
    b.field("body")
    b.add_many([
        {"id": "a", "title": "Running dogs", "body": "Dogs run in the park."},
        {"id": "b", "title": "Les chevaux", "body": "mangeaient des pommes"},
        {"id": "c", "title": "Café", "body": "naïve coöperation, déjà vu"},
    ])
    return b.build().to_bytes()


def check_loads_or_rejects(data):
    try:
        index = vrim.Index.from_bytes(data)
    except vrim.FormatError:
        return False
    index.search("dog* run~1 -cheval")
    return True


def case_truncations(scale):
    data = small_real_index()
    start = time.perf_counter()
    loaded = sum(check_loads_or_rejects(data[:n]) for n in range(len(data)))
    seconds = time.perf_counter() - start
    assert loaded == 0, "a truncated index loaded"
    return seconds, f"{len(data)} truncations of a {len(data)}-byte index"


def case_mutations(scale):
    rng = random.Random(5)
    vocabulary = words(rng, 5000)
    b = vrim.IndexBuilder("en")
    b.field("t")
    b.field("u")
    for d in range(2000):
        b.add({"id": f"d{d}", "t": " ".join(rng.choices(vocabulary, k=30)),
               "u": " ".join(rng.choices(vocabulary, k=5))})
    data = b.build().to_bytes()
    count = int(3000 * scale)
    start = time.perf_counter()
    loaded = 0
    for _ in range(count):
        mutated = bytearray(data)
        for _ in range(rng.randint(1, 8)):
            at = rng.randrange(len(mutated))
            mutated[at] = rng.randrange(256)
        loaded += check_loads_or_rejects(bytes(mutated))
    seconds = time.perf_counter() - start
    return seconds, (f"{count} mutations of a {len(data) / 1e6:.1f} MB index, "
                     f"{loaded} still loaded, {seconds / count * 1e3:.1f} ms each")


CASES = {name[len("case_"):]: fn for name, fn in globals().items()
         if name.startswith("case_")}


def run_child(name, scale):
    seconds, note = CASES[name](scale)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"seconds": seconds, "peak_mib": peak, "note": note}))


def run_case(name, scale):
    limit_seconds, limit_mib = BUDGETS[name]
    start = time.perf_counter()
    try:
        done = subprocess.run(
            [sys.executable, __file__, "--child", name, "--scale", str(scale)],
            capture_output=True, text=True, timeout=2 * limit_seconds + 120)
    except subprocess.TimeoutExpired:
        return False, f"{name:13} HUNG (killed after {2 * limit_seconds + 120} s)"
    total = time.perf_counter() - start
    if done.returncode != 0:
        return False, f"{name:13} FAILED ({done.returncode}): {done.stderr[-2000:]}"
    r = json.loads(done.stdout.strip().splitlines()[-1])
    ok = r["seconds"] <= limit_seconds and r["peak_mib"] <= limit_mib
    return ok, (f"{name:13} {r['seconds']:8.2f} s {r['peak_mib']:7.0f} MiB peak"
                f"  (budget {limit_seconds} s, {limit_mib} MiB; process "
                f"{total:.0f} s){'' if ok else '  OVER BUDGET'}\n"
                f"{'':14}{r['note']}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--case", action="append", choices=sorted(CASES))
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        run_child(args.child, args.scale)
        return 0
    failures = 0
    for name in args.case or list(CASES):
        ok, line = run_case(name, args.scale)
        failures += not ok
        print(line, flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
