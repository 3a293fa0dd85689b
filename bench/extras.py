"""Measures that stand apart from the per-corpus suite.

Each has its own data and its own section of the page, and is named in
--measures like the per-corpus ones. A module listed in EXTRAS provides:

    measure(options) -> dict       the figures, JSON-serializable; options is
                                   the parsed command line (queries, rounds,
                                   min_seconds, clock, quick)
    section(result) -> list[str]   its lines of the page, opening with "## "
    targets(result) -> list        rows for the page's target table, each made
                                   with page.target_row(...)

and may provide

    charts(result, directory)      draws its charts into `directory` (the page's
                                   chart directory, linked as benchmarks/NAME)

Results live under results["extras"][name].
"""

from __future__ import annotations

import importlib

EXTRAS: dict[str, str] = {
    "scale": "bench.extra_scale",
    "collections": "bench.extra_collections",
    "filters": "bench.extra_filters",
}


def names() -> tuple[str, ...]:
    return tuple(EXTRAS)


def module(name: str):
    return importlib.import_module(EXTRAS[name])


def run(chosen: set, options, log) -> dict:
    out = {}
    for name in EXTRAS:
        if name in chosen:
            log(f"{name}: measuring")
            out[name] = module(name).measure(options)
    return out


def sections(results: dict) -> list:
    lines = []
    for name, result in results.get("extras", {}).items():
        if name in EXTRAS:
            lines += module(name).section(result)
    return lines


def charts(results: dict, directory) -> None:
    for name, result in results.get("extras", {}).items():
        if name in EXTRAS and hasattr(module(name), "charts"):
            module(name).charts(result, directory)


def targets(results: dict) -> list:
    rows = []
    for name, result in results.get("extras", {}).items():
        if name in EXTRAS:
            rows += module(name).targets(result)
    return rows
