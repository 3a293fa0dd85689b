"""Which segments to merge after a commit: a tiered policy.

Segments are sorted into tiers by their live document count: tier 0 holds
those under `floor` documents, tier t those under floor·factor^t. When a tier
gathers `factor` segments they merge into one of the next tier, so a
collection of N documents keeps at most (factor - 1) segments per tier over
about log_factor(N / floor) tiers. A segment whose documents are mostly no
longer live is rewritten on its own, and one with no live document is
dropped, so deleted documents do not linger.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass


@dataclass(frozen=True)
class SegmentSize:
    id: int
    documents: int  # in the file
    live: int       # not deleted


class TieredMergePolicy:
    """`factor` segments of one tier merge into one; `floor` is the size
    below which every segment counts as the smallest tier; a segment whose
    live share falls below `min_live` is rewritten."""

    def __init__(self, factor: int = 10, floor: int = 1000,
                 min_live: float = 0.5) -> None:
        if not isinstance(factor, int) or factor < 2:
            raise ValueError(f"factor must be an int >= 2, got {factor!r}")
        if not isinstance(floor, int) or floor < 1:
            raise ValueError(f"floor must be an int >= 1, got {floor!r}")
        if not 0.0 <= min_live <= 1.0:
            raise ValueError(f"min_live must be within [0, 1], got {min_live!r}")
        self.factor = factor
        self.floor = floor
        self.min_live = min_live

    def __repr__(self) -> str:
        return (f"TieredMergePolicy(factor={self.factor}, floor={self.floor}, "
                f"min_live={self.min_live})")

    def tier(self, live: int) -> int:
        tier, bound = 0, self.floor
        while live >= bound:
            tier, bound = tier + 1, bound * self.factor
        return tier

    def pick(self, segments: Sequence[SegmentSize]) -> list[int] | None:
        """The ids of the segments to merge next, or None when none need it."""
        for segment in segments:
            if segment.live == 0 or segment.live < segment.documents * self.min_live:
                return [segment.id]
        tiers: dict[int, list[SegmentSize]] = {}
        for segment in segments:
            tiers.setdefault(self.tier(segment.live), []).append(segment)
        for tier in sorted(tiers):
            members = tiers[tier]
            if len(members) >= self.factor:
                members.sort(key=lambda s: (s.live, s.id))
                return sorted(s.id for s in members[:self.factor])
        return None
