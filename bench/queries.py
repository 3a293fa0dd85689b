"""Query classes, drawn from a corpus's own vocabulary, in each engine's form.

Words are the tokens Vrim's ``tokenize`` cuts from the corpus (alphabetic,
not English stop words), sampled by document frequency with a fixed seed,
so every run asks the same queries. Each class and what each engine runs:

    class      vrim      tantivy-py                  FTS5                   bm25s
    rare       w         parse_query("w")            "w"                    w
    common     w         parse_query("w")            "w"                    w
    two        a b       parse_query("a b")          "a" OR "b"             a b
    three      a b c     parse_query("a b c")        "a" OR "b" OR "c"      a b c
    required   +a b      parse_query("+a b")         "a"  (b cannot score)  -
    prohibited a -b      parse_query("a -b")         "a" NOT "b"            -
    field      title:w   parse_query("title:w")      title : "w"            -
    prefix     pre*      regex_query(f, "pre.*")     "pre" *                -
                         per field, OR-ed
    fuzzy      w~1       fuzzy_term_query(f, w, 1)   "w" OR every indexed   -
                         per field, OR-ed            term one edit away

tantivy's regex query scores every match with a constant; FTS5 has no fuzzy
search, so its expansion is looked up in its vocabulary before timing.
"""

from __future__ import annotations

import random
from collections import Counter
from dataclasses import dataclass, field

CLASSES = ("rare", "common", "two", "three", "required", "prohibited", "field", "prefix", "fuzzy")
LABELS = {"rare": "rare term", "common": "common term", "two": "two terms",
          "three": "three terms", "required": "`+a b`", "prohibited": "`a -b`",
          "field": "`title:w`", "prefix": "`pre*`", "fuzzy": "`w~1`"}

# The English stop words of the "en" pipeline: they never reach its index.
STOP_WORDS = set(
    """a able about across after all almost also am among an and any are as at
    be because been but by can cannot could dear did do does either else ever
    every for from get got had has have he her hers him his how however i if
    in into is it its just least let like likely may me might most must my
    neither no nor not of off often on only or other our own rather said say
    says she should since so some than that the their them then there these
    they this tis to too twas us wants was we were what when where which
    while who whom why will with would yet you your""".split()
)


@dataclass
class Query:
    kind: str
    terms: list
    expansion: list = field(default_factory=list)  # FTS5's fuzzy terms

    @property
    def plain(self) -> str:
        return " ".join(self.terms)

    @property
    def vrim(self) -> str:
        t = self.terms
        return {"required": lambda: f"+{t[0]} {t[1]}",
                "prohibited": lambda: f"{t[0]} -{t[1]}",
                "field": lambda: f"title:{t[0]}",
                "prefix": lambda: f"{t[0]}*",
                "fuzzy": lambda: f"{t[0]}~1"}.get(self.kind, lambda: self.plain)()

    @property
    def tantivy(self) -> str:
        return self.vrim  # same syntax for the classes its parser reads alike

    @property
    def fts5(self) -> str:
        t = self.terms
        q = [f'"{w}"' for w in t]
        return {"required": lambda: q[0],
                "prohibited": lambda: f"{q[0]} NOT {q[1]}",
                "field": lambda: f"title : {q[0]}",
                "prefix": lambda: f"{q[0]} *",
                "fuzzy": lambda: " OR ".join(f'"{w}"' for w in self.expansion or t)}.get(
                    self.kind, lambda: " OR ".join(q))()


# Whether every character of a word is in the script its language is written
# in, so that stray foreign words (Chinese in English docs) are not drawn.
_SCRIPTS = {
    "en": lambda c: c.isascii(),
    "ru": lambda c: "\u0400" <= c <= "\u04ff",
    "ja": lambda c: c >= "\u3040",
    "zh": lambda c: c >= "\u3400",
}


def _is_word(token: str, language: str) -> bool:
    if not token.isalpha():
        return False
    if language == "en" and token in STOP_WORDS:
        return False
    in_script = _SCRIPTS.get(language, lambda c: c < "\u0250")  # Latin
    if not all(in_script(c) for c in token):
        return False
    return len(token) >= (2 if language in ("ja", "zh") else 3)


def vocabulary(docs, language):
    """Document frequencies over all text, and over titles alone."""
    import vrim

    df, title_df = Counter(), Counter()
    for d in docs:
        title = {t for t in vrim.tokenize(d["title"], language) if _is_word(t, language)}
        body = {t for t in vrim.tokenize(d["body"], language) if _is_word(t, language)}
        df.update(title | body)
        title_df.update(title)
    return df, title_df


def edits1(word: str, alphabet: set) -> set:
    """Every string one insertion, deletion, substitution or swap from `word`."""
    splits = [(word[:i], word[i:]) for i in range(len(word) + 1)]
    out = set()
    for left, right in splits:
        if right:
            out.add(left + right[1:])
            out.update(left + c + right[1:] for c in alphabet)
        if len(right) > 1:
            out.add(left + right[1] + right[0] + right[2:])
        out.update(left + c + right for c in alphabet)
    out.discard(word)
    return out


def make(docs, language, per_class, seed=7) -> dict:
    """{class: [Query]} with `per_class` queries each; classes without
    candidate words are left out."""
    df, title_df = vocabulary(docs, language)
    n = len(docs)
    by_df = sorted(df, key=lambda w: (-df[w], w))
    rare = sorted(w for w in df if df[w] <= max(1, n // 2000))
    common = by_df[:max(30, len(by_df) // 100)]
    mid = sorted(w for w in df if max(2, n // 500) <= df[w] <= max(3, n // 20))
    titled = sorted(w for w in title_df if title_df[w] >= 2)
    long_mid = [w for w in mid if len(w) >= 5]
    rng = random.Random(seed)

    def draw(kind, *pools):
        if not all(pools):
            return []
        return [Query(kind, [rng.choice(pool) for pool in pools]) for _ in range(per_class)]

    out = {
        "rare": draw("rare", rare),
        "common": draw("common", common),
        "two": draw("two", mid, common),
        "three": draw("three", mid, mid, common),
        "required": draw("required", common, mid),
        "prohibited": draw("prohibited", common, mid),
        "field": draw("field", titled),
        "prefix": [Query("prefix", [q.terms[0][:4]]) for q in draw("prefix", long_mid)],
        "fuzzy": draw("fuzzy", long_mid),
    }
    return {k: v for k, v in out.items() if v}


def expand_fuzzy(queries: dict, fts_vocabulary: set) -> None:
    """Gives each fuzzy query FTS5's form: its word or any FTS5 term one edit away."""
    alphabet = {c for term in fts_vocabulary for c in term}
    for q in queries.get("fuzzy", []):
        q.expansion = sorted({q.terms[0]} | (edits1(q.terms[0], alphabet) & fts_vocabulary))
