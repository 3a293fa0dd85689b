"""Vrim benchmark suite: build, search, load and quality against its peers.

    python -m bench                      every corpus and measure (long)
    python -m bench --quick              fewer queries and rounds
    python -m bench --corpora english,fortunes --measures build,search

Prepares its corpora from Debian packages (apt-get; cached in
$VRIM_BENCH_CACHE, by default ~/.cache/vrim-bench), installs the peers from
PyPI into the running environment (tantivy, bm25s, PyStemmer, matplotlib),
measures every engine in one interleaved run and writes docs/benchmarks.md,
its charts in docs/benchmarks/ and the raw figures in
docs/benchmarks/results.json. Run it from the checkout, with Vrim installed
(pip install .).
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

from . import corpora, engines, extras, page, suite, timing

PEERS = {"tantivy": "tantivy", "bm25s": "bm25s", "Stemmer": "PyStemmer", "matplotlib": "matplotlib"}


def install_peers() -> None:
    """pip-installs the peers and matplotlib that the environment lacks."""
    missing = []
    for module, dist in PEERS.items():
        try:
            importlib.import_module(module)
        except ImportError:
            missing.append(dist)
    if missing:
        suite.log(f"installing {' '.join(missing)} from PyPI")
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", *missing], check=True)
        importlib.invalidate_caches()


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def machine() -> dict:
    return {"cpu": cpu_model(), "cpus": engines.cpu_count(), "system": platform.platform(),
            "python": platform.python_version()}


def parse_args(argv):
    p = argparse.ArgumentParser(prog="python -m bench", description=__doc__.splitlines()[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog="\n".join(__doc__.splitlines()[2:]))
    p.add_argument("--corpora", default=",".join(corpora.names()),
                   help="comma-separated corpora (default all: %(default)s)")
    p.add_argument("--measures", default=",".join(suite.MEASURES + extras.names()),
                   help="comma-separated measures (default all: %(default)s)")
    p.add_argument("--quick", action="store_true",
                   help="30 queries per class, 3 search rounds, 2 build rounds, 0.1 s per timing")
    p.add_argument("--queries", type=int, help="queries per class (default 100)")
    p.add_argument("--rounds", type=int, help="search and load rounds (default 5)")
    p.add_argument("--build-rounds", type=int, help="builds per configuration (default 3)")
    p.add_argument("--min-seconds", type=float, help="least time per timed query list (default 0.3)")
    p.add_argument("--profile-seconds", type=float, default=5.0,
                   help="how long perf samples Vrim's slowest query classes (default 5)")
    p.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                   help="clock for query and load rates: this process's CPU time (default; "
                        "steady on a shared machine) or wall time. Builds always use wall time")
    p.add_argument("--output", type=Path, default=Path("docs/benchmarks.md"))
    p.add_argument("--update", action="store_true",
                   help="keep the results.json beside the output and replace only what this run "
                        "measures (its corpora's chosen measures and its extra measures)")
    p.add_argument("--render-only", action="store_true",
                   help="rewrite the page from the results.json beside it, measuring nothing")
    p.add_argument("--child-build", nargs=2, metavar=("ENGINE", "CORPUS"), help=argparse.SUPPRESS)
    p.add_argument("--child-search-loop", nargs=3, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    quick = dict(queries=30, rounds=3, build_rounds=2, min_seconds=0.1)
    full = dict(queries=100, rounds=5, build_rounds=3, min_seconds=0.3)
    for key, value in (quick if args.quick else full).items():
        if getattr(args, key) is None:
            setattr(args, key, value)
    if args.queries < 1 or args.rounds < 1 or args.build_rounds < 1 or args.min_seconds < 0:
        p.error("--queries, --rounds and --build-rounds must be positive, --min-seconds not negative")
    for name in args.corpora.split(","):
        if name not in corpora.names():
            p.error(f"unknown corpus {name!r}; choose from {', '.join(corpora.names())}")
    for name in args.measures.split(","):
        if name not in suite.MEASURES + extras.names():
            p.error(f"unknown measure {name!r}; "
                    f"choose from {', '.join(suite.MEASURES + extras.names())}")
    return args


def command_line(args) -> str:
    parts = ["python -m bench"]
    if args.corpora != ",".join(corpora.names()):
        parts.append(f"--corpora {args.corpora}")
    if args.measures != ",".join(suite.MEASURES + extras.names()):
        parts.append(f"--measures {args.measures}")
    parts += [f"--queries {args.queries}", f"--rounds {args.rounds}",
              f"--build-rounds {args.build_rounds}", f"--min-seconds {args.min_seconds}",
              f"--clock {args.clock}"]
    return " ".join(parts)


def merged(before: dict, now: dict) -> dict:
    """`before` with what `now` measured put in place of its figures."""
    for name, figures in now["corpora"].items():
        before["corpora"].setdefault(name, {}).update(figures)
        before.setdefault("skipped", {}).pop(name, None)
    before.setdefault("skipped", {}).update(now["skipped"])
    before.setdefault("extras", {}).update(now["extras"])
    meta = now["meta"]
    before["meta"].setdefault("updates", []).append(
        {key: meta[key] for key in ("date", "command", "minutes", "load_before", "load_after")})
    before["meta"]["versions"] = meta["versions"]
    return before


def main(argv=None) -> None:
    args = parse_args(argv)
    if args.child_build:
        timing.child_build(*args.child_build)
        return
    if args.child_search_loop:
        timing.child_search_loop(*args.child_search_loop)
        return
    results_path = args.output.with_suffix("") / "results.json"
    if args.render_only:
        page.write(json.loads(results_path.read_text()), args.output)
        return
    install_peers()
    if not engines.fts5_available():
        sys.exit("this Python's sqlite3 lacks FTS5; use a Python whose SQLite has it compiled in")
    import vrim

    measures = set(args.measures.split(","))
    results = {"meta": {"date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
                        "machine": machine(), "versions": engines.versions(),
                        "features": engines.vrim_features(), "command": command_line(args),
                        "clock": args.clock,
                        "vrim_module": str(Path(vrim.__file__).parent)},
               "corpora": {}, "skipped": {}}
    results["meta"]["load_before"] = os.getloadavg()[0]
    started = time.perf_counter()
    if measures & set(suite.MEASURES):
        for name in args.corpora.split(","):
            try:
                results["corpora"][name] = suite.run_corpus(name, measures, args)
            except corpora.PackageUnavailable as e:
                suite.log(f"skipping {name}: {e}")
                results["skipped"][name] = str(e)
    results["extras"] = extras.run(measures, args, suite.log)
    results["meta"]["minutes"] = (time.perf_counter() - started) / 60
    results["meta"]["load_after"] = os.getloadavg()[0]
    if args.update and results_path.exists():
        results = merged(json.loads(results_path.read_text()), results)
    results_path.parent.mkdir(parents=True, exist_ok=True)
    results_path.write_text(json.dumps(results, indent=1, ensure_ascii=False) + "\n")
    page.write(results, args.output)
    suite.log(f"wrote {args.output} and {results_path.parent}/")


if __name__ == "__main__":
    main()
