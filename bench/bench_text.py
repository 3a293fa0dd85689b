#!/usr/bin/env python3
"""Throughput of vrim.normalize and vrim.tokenize on real text.

English: the reStructuredText sources of the Python 3.11 documentation
(Debian's python3.11-doc); Japanese: the roff sources of the Japanese manual
pages (Debian's manpages-ja). Both are installed with apt-get when missing
and assembled once under bench/data/ (git-ignored), one document per source
file. Every figure is MB/s of UTF-8 input, best of several runs, next to
CPython's own str.lower().split() over the same documents in the same run,
by wall clock and by CPU time of the process.

Usage: python3 bench/bench_text.py [--repeat N]
"""

import argparse
import gzip
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import vrim

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"
MIN_BYTES = 10_000_000
SEPARATOR = "\n\x1e\n"  # between documents in the assembled files

CORPORA = {
    "en": {
        "package": "python3.11-doc",
        "root": Path("/usr/share/doc/python3.11/html/_sources"),
        "pattern": "*.rst.txt",
    },
    "ja": {
        "package": "manpages-ja",
        "root": Path("/usr/share/man/ja"),
        "pattern": "*.gz",
    },
}


def ensure_package(package, root):
    if root.is_dir():
        return
    if shutil.which("apt-get") is None:
        sys.exit(f"{root} is missing and apt-get is not available to install "
                 f"{package}")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "install", "-y", "-qq", package], check=False,
                   env=env)
    if not root.is_dir():
        subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
        subprocess.run(["apt-get", "install", "-y", "-qq", package],
                       check=True, env=env)


def read_source(path):
    raw = path.read_bytes()
    if path.suffix == ".gz":
        raw = gzip.decompress(raw)
    return raw.decode("utf-8", errors="replace")


def corpus(language):
    """The documents of one corpus, assembled under bench/data on first use."""
    target = DATA / f"{language}.txt"
    if not target.exists():
        source = CORPORA[language]
        ensure_package(source["package"], source["root"])
        docs = [read_source(p)
                for p in sorted(source["root"].rglob(source["pattern"]))]
        DATA.mkdir(exist_ok=True)
        tmp = target.with_suffix(".tmp")
        tmp.write_text(SEPARATOR.join(docs), encoding="utf-8")
        tmp.replace(target)
    docs = target.read_text(encoding="utf-8").split(SEPARATOR)
    size = sum(len(d.encode("utf-8")) for d in docs)
    if size < MIN_BYTES:
        sys.exit(f"{target}: only {size} bytes of text, need {MIN_BYTES}")
    return docs, size


def best_times(fns, docs, repeat):
    """Best wall-clock and best CPU time of each function, the runs
    interleaved so that a change in machine load affects all of them alike.
    CPU time (of this process) is the steadier figure on a shared machine."""
    wall = [float("inf")] * len(fns)
    cpu = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            w = time.perf_counter()
            c = time.process_time()
            fn(docs)
            cpu[i] = min(cpu[i], time.process_time() - c)
            wall[i] = min(wall[i], time.perf_counter() - w)
    return wall, cpu


def run_normalize(language):
    def run(docs):
        for d in docs:
            vrim.normalize(d, language)
    return run


def run_tokenize(language):
    def run(docs):
        for d in docs:
            vrim.tokenize(d, language)
    return run


def run_lower_split(docs):
    for d in docs:
        d.lower().split()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()

    print(f"Python {sys.version.split()[0]}, vrim {vrim.__version__}")
    print(f"{'corpus':6} {'clock':5} {'MB':>5} {'docs':>5} {'normalize':>11} "
          f"{'tokenize':>11} {'lower+split':>12} {'tokenize/ref':>13}")
    ok = True
    for language in ("en", "ja"):
        docs, size = corpus(language)
        mb = size / 1e6
        wall, cpu = best_times(
            [run_normalize(language), run_tokenize(language), run_lower_split],
            docs, args.repeat)
        for clock, (t_norm, t_tok, t_ref) in (("wall", wall), ("cpu", cpu)):
            ratio = t_ref / t_tok
            print(f"{language:6} {clock:5} {mb:5.1f} {len(docs):5d} "
                  f"{mb / t_norm:6.1f} MB/s {mb / t_tok:6.1f} MB/s "
                  f"{mb / t_ref:7.1f} MB/s {ratio:12.2f}x")
            if language == "en" and clock == "cpu" and ratio < 1.0:
                ok = False
    print("tokenize includes normalization; ref is CPython str.lower().split()")
    if not ok:
        print("English tokenize is slower than str.lower().split()")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
