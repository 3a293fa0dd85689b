"""Random corpora and queries of every query feature, shared by the
property tests that compare two ways of searching."""

WORDS = {
    "de": "haus häuser baum bäume laufen läuft stein steine licht meer".split(),
    "en": "apple apples pear river rivers running runner stone stones light "
    "lighter sea seas walk walking walked the of".split(),
    "en,tr": "istanbul İstanbul ılık ilik kitap kitaplar river Irmak".split(),
    "ja": "東京 京都 大阪 東京都 日本 日本語 語学 学校 大学".split(),
    "zh": "北京 北京市 中国 中国人 人民 大学 学生 学习 习惯".split(),
}


def random_text(rng, words):
    return " ".join(rng.choice(words) for _ in range(rng.randint(0, 12)))


def random_query(rng, words, fields):
    clauses = []
    for _ in range(rng.randint(1, 4)):
        word = rng.choice(words + ["zz"])
        prefix = rng.choice(["", "", "", "+", "-"])
        if rng.random() < 0.2:
            prefix += rng.choice(fields) + ":"
        suffix = rng.choice(["", "", "", "*", "*", "~1", "~2", "^2", "^0"])
        if suffix == "*":
            word = rng.choice(["", "*"]) + word[: rng.randint(1, len(word))]
        clauses.append(prefix + word + suffix)
    return " ".join(clauses)


def hit_tuple(hit):
    return hit.ref, hit.score, hit.terms, hit.matches
