"""Retrieval quality on Cranfield: nDCG@10 and MAP with graded judgments.

Each engine answers the 225 natural-language queries as plain text (Vrim's
query syntax escaped by ``vrim.escape``, or ``engines.escape`` where the
package has none; the peers get the query's words). Gains are 5 - grade for grades 1 to 4 (grade -1 is not relevant).
nDCG@10 uses log2(rank + 1) discounts against the ideal order of the judged
gains; MAP averages, over the queries, the precision at each relevant
document retrieved (the whole ranking, up to 1,400 documents) divided by the
number of relevant documents.
"""

from __future__ import annotations

import math

from . import corpora


def ndcg(ranking, gains, k=10) -> float:
    dcg = sum(gains.get(ref, 0) / math.log2(i + 2) for i, ref in enumerate(ranking[:k]))
    ideal = sorted(gains.values(), reverse=True)[:k]
    best = sum(g / math.log2(i + 2) for i, g in enumerate(ideal))
    return dcg / best if best else 0.0


def average_precision(ranking, gains) -> float:
    found = 0
    total = 0.0
    for i, ref in enumerate(ranking):
        if ref in gains:
            found += 1
            total += found / (i + 1)
    return total / len(gains) if gains else 0.0


def evaluate(engine, depth=1400) -> dict:
    """{"ndcg10", "map"} of a built engine over the Cranfield queries."""
    queries, judgments = corpora.cranfield_judgments()
    ndcgs, aps = [], []
    for number, text in enumerate(queries, start=1):
        gains = judgments.get(number, {})
        if not gains:
            continue
        ranking = engine.ranked(text, depth)
        ndcgs.append(ndcg(ranking, gains))
        aps.append(average_precision(ranking, gains))
    return {"ndcg10": sum(ndcgs) / len(ndcgs), "map": sum(aps) / len(aps), "queries": len(ndcgs)}
