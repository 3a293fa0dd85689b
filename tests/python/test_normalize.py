"""vrim.normalize: the fold pass, default and Turkish lowercasing.

The default lowercasing is checked against CPython's own str.lower() for
every code point. The two may be built from different Unicode versions; a
code point counts as a version difference only when it is unassigned in one
of the two versions.
"""

import re
import sys
import unicodedata
from pathlib import Path

import pytest

vrim = pytest.importorskip("vrim")
if not hasattr(vrim, "normalize"):
    pytest.skip("vrim.normalize is not available", allow_module_level=True)

REPO = Path(__file__).resolve().parents[2]
TABLES = REPO / "src" / "analysis" / "unicode_tables.cc"
UCD = Path("/usr/share/unicode")


def version_tuple(v):
    return tuple(int(x) for x in v.split("."))


def table_unicode_version():
    """The Unicode version the generated tables name in their header."""
    head = TABLES.read_text(encoding="utf-8")[:400]
    m = re.search(r"Unicode (\d+\.\d+\.\d+)", head)
    assert m, f"{TABLES} does not name its Unicode version"
    return m.group(1)


PY_VERSION = unicodedata.unidata_version
TABLE_VERSION = table_unicode_version()


def ucd_assigned(version):
    """Assigned code points of `version`, read from the UCD files the
    generator reads, or None when they are not installed in that version."""
    derived = UCD / "DerivedCoreProperties.txt"
    data = UCD / "UnicodeData.txt"
    if not derived.exists() or not data.exists():
        return None
    with derived.open(encoding="utf-8") as f:
        if f"-{version}.txt" not in f.readline():
            return None
    assigned = set()
    first = None
    with data.open(encoding="utf-8") as f:
        for line in f:
            fields = line.split(";")
            cp = int(fields[0], 16)
            if fields[1].endswith(", First>"):
                first = cp
            elif fields[1].endswith(", Last>"):
                assigned.update(range(first, cp + 1))
            else:
                assigned.add(cp)
    return assigned


def unassigned_in_one_version():
    """Predicate: is the code point unassigned in CPython's Unicode version
    or in the tables' version?"""
    def py_unassigned(cp):
        return unicodedata.category(chr(cp)) == "Cn"

    if version_tuple(TABLE_VERSION) >= version_tuple(PY_VERSION):
        # Assignments are permanent: whatever the newer tables leave
        # unassigned is unassigned in CPython's older data as well.
        return py_unassigned
    assigned = ucd_assigned(TABLE_VERSION)
    if assigned is None:
        pytest.skip(f"tables ({TABLE_VERSION}) are older than CPython's "
                    f"Unicode ({PY_VERSION}) and the UCD {TABLE_VERSION} "
                    f"files are not installed to tell which code points "
                    f"they lack")
    return lambda cp: py_unassigned(cp) or cp not in assigned


# --- The fold pass tables, written out in full. ---------------------------

HALF_WIDTH_KATAKANA = [
    0x3002, 0x300C, 0x300D, 0x3001, 0x30FB, 0x30F2, 0x30A1, 0x30A3,
    0x30A5, 0x30A7, 0x30A9, 0x30E3, 0x30E5, 0x30E7, 0x30C3, 0x30FC,
    0x30A2, 0x30A4, 0x30A6, 0x30A8, 0x30AA, 0x30AB, 0x30AD, 0x30AF,
    0x30B1, 0x30B3, 0x30B5, 0x30B7, 0x30B9, 0x30BB, 0x30BD, 0x30BF,
    0x30C1, 0x30C4, 0x30C6, 0x30C8, 0x30CA, 0x30CB, 0x30CC, 0x30CD,
    0x30CE, 0x30CF, 0x30D2, 0x30D5, 0x30D8, 0x30DB, 0x30DE, 0x30DF,
    0x30E0, 0x30E1, 0x30E2, 0x30E4, 0x30E6, 0x30E8, 0x30E9, 0x30EA,
    0x30EB, 0x30EC, 0x30ED, 0x30EF, 0x30F3,
]
assert len(HALF_WIDTH_KATAKANA) == 0xFF9D - 0xFF61 + 1

# None marks the empty slots, where the input is kept.
HALF_WIDTH_HANGUL = [
    0x1160, 0x1100, 0x1101, 0x11AA, 0x1102, 0x11AC, 0x11AD, 0x1103,
    0x1104, 0x1105, 0x11B0, 0x11B1, 0x11B2, 0x11B3, 0x11B4, 0x11B5,
    0x111A, 0x1106, 0x1107, 0x1108, 0x1121, 0x1109, 0x110A, 0x110B,
    0x110C, 0x110D, 0x110E, 0x110F, 0x1110, 0x1111, 0x1112, None,
    None, None, 0x1161, 0x1162, 0x1163, 0x1164, 0x1165, 0x1166,
    None, None, 0x1167, 0x1168, 0x1169, 0x116A, 0x116B, 0x116C,
    None, None, 0x116D, 0x116E, 0x116F, 0x1170, 0x1171, 0x1172,
    None, None, 0x1173, 0x1174, 0x1175,
]
assert len(HALF_WIDTH_HANGUL) == 0xFFDC - 0xFFA0 + 1

VOICED_KATAKANA = {0x30A6: 0x30F4, 0x30EF: 0x30F7, 0x30F2: 0x30FA}
for _b in (0x30AB, 0x30AD, 0x30AF, 0x30B1, 0x30B3, 0x30B5, 0x30B7, 0x30B9,
           0x30BB, 0x30BD, 0x30BF, 0x30C1, 0x30C4, 0x30C6, 0x30C8, 0x30CF,
           0x30D2, 0x30D5, 0x30D8, 0x30DB):
    VOICED_KATAKANA[_b] = _b + 1
VOICED_KANA = dict(VOICED_KATAKANA)
VOICED_KANA[0x3046] = 0x3094
for _b in (0x304B, 0x304D, 0x304F, 0x3051, 0x3053, 0x3055, 0x3057, 0x3059,
           0x305B, 0x305D, 0x305F, 0x3061, 0x3064, 0x3066, 0x3068, 0x306F,
           0x3072, 0x3075, 0x3078, 0x307B):
    VOICED_KANA[_b] = _b + 1
HA_TO_HO = {0x306F, 0x3072, 0x3075, 0x3078, 0x307B,
            0x30CF, 0x30D2, 0x30D5, 0x30D8, 0x30DB}

SINGLE_FOLDS = {0xFFE0: 0xA2, 0xFFE1: 0xA3, 0xFFE2: 0xAC, 0xFFE3: 0xAF,
                0xFFE4: 0xA6, 0xFFE5: 0xA5, 0xFFE6: 0x20A9}
for _c in list(range(0x2000, 0x200B)) + [0x202F, 0x205F, 0x3000]:
    SINGLE_FOLDS[_c] = 0x20
for _c in range(0xFF01, 0xFF5F):
    SINGLE_FOLDS[_c] = _c - 0xFEE0
for _c in range(0xFF61, 0xFF9E):
    SINGLE_FOLDS[_c] = HALF_WIDTH_KATAKANA[_c - 0xFF61]
for _c in range(0xFFA0, 0xFFDD):
    if HALF_WIDTH_HANGUL[_c - 0xFFA0] is not None:
        SINGLE_FOLDS[_c] = HALF_WIDTH_HANGUL[_c - 0xFFA0]


def test_versions_are_named():
    assert re.fullmatch(r"\d+\.\d+\.\d+", PY_VERSION)
    assert re.fullmatch(r"\d+\.\d+\.\d+", TABLE_VERSION)
    print(f"CPython Unicode {PY_VERSION}, tables Unicode {TABLE_VERSION}")


def test_default_lowercasing_agrees_with_cpython_for_every_code_point():
    """Each code point is normalized on its own line: a line feed is neither
    cased nor case-ignorable and composes with nothing, so it isolates every
    character from its neighbours."""
    unassigned = unassigned_in_one_version()
    mismatches = []
    version_differences = []
    chunk = 1 << 14
    for base in range(0, 0x110000, chunk):
        cps = [cp for cp in range(base, base + chunk)
               if not 0xD800 <= cp <= 0xDFFF and cp != 0x0A]
        got = vrim.normalize("\n".join(map(chr, cps))).split("\n")
        assert len(got) == len(cps)
        for cp, out in zip(cps, got):
            folded = chr(SINGLE_FOLDS.get(cp, cp))
            expected = folded.lower()
            if out == expected:
                continue
            if cp not in SINGLE_FOLDS and unassigned(cp):
                version_differences.append(cp)
            else:
                mismatches.append((hex(cp), out, expected))
    assert vrim.normalize("\n") == "\n"
    assert mismatches == [], (
        f"{len(mismatches)} code points lowercase differently from CPython "
        f"(Unicode {PY_VERSION}) with tables of Unicode {TABLE_VERSION}")
    if TABLE_VERSION == PY_VERSION:
        assert version_differences == []
    print(f"{len(version_differences)} version differences between "
          f"Unicode {PY_VERSION} and {TABLE_VERSION}")


@pytest.mark.parametrize("text, default, turkish", [
    ("I", "i", "\u0131"),
    ("\u0130", "i\u0307", "i"),
    ("\uFF29", "i", "\u0131"),          # full-width I folds first
    ("\uFF21", "a", "a"),
    ("ISTANBUL \u0130stanbul", "istanbul i\u0307stanbul",
     "\u0131stanbul istanbul"),
    ("i\u0131", "i\u0131", "i\u0131"),
    ("\u039F\u0394\u039F\u03A3", "\u03BF\u03B4\u03BF\u03C2",
     "\u03BF\u03B4\u03BF\u03C3"),
])
def test_turkish_and_default_rules(text, default, turkish):
    assert vrim.normalize(text) == default
    assert vrim.normalize(text, "en") == default
    assert vrim.normalize(text, "tr") == turkish
    assert vrim.normalize(text, " tr\u3000") == turkish
    # A multi-language code is never "tr", so it folds the default way.
    assert vrim.normalize(text, "tr,en") == default


@pytest.mark.parametrize("text, expected", [
    ("\u03A3", "\u03C3"),                       # nothing precedes it
    ("\u039F\u03A3", "\u03BF\u03C2"),
    ("\u039F\u03A3 \u039F", "\u03BF\u03C2 \u03BF"),
    ("\u039F\u03A3\u039F", "\u03BF\u03C3\u03BF"),
    ("\u039F'\u03A3'", "\u03BF'\u03C2'"),        # case-ignorable skipped
    ("\u039F\u03A3'\u039F", "\u03BF\u03C3'\u03BF"),
    ("1\u03A3", "1\u03C3"),
    ("\u03A3\u03A3", "\u03C3\u03C2"),
    ("A\u03A3.", "a\u03C2."),
])
def test_final_sigma(text, expected):
    assert vrim.normalize(text) == expected
    assert text.lower() == expected  # CPython applies the same rule


def test_half_width_katakana_table_in_full():
    for hw in range(0xFF61, 0xFF9E):
        full = HALF_WIDTH_KATAKANA[hw - 0xFF61]
        assert vrim.normalize(chr(hw)) == chr(full)
        voiced = VOICED_KATAKANA.get(full)
        expected = chr(voiced) if voiced else chr(full) + "\uFF9E"
        assert vrim.normalize(chr(hw) + "\uFF9E") == expected, hex(hw)
        expected = chr(full + 2) if full in HA_TO_HO else chr(full) + "\uFF9F"
        assert vrim.normalize(chr(hw) + "\uFF9F") == expected, hex(hw)
        # A combining mark after a half-width katakana is not composed.
        assert vrim.normalize(chr(hw) + "\u3099") == chr(full) + "\u3099"


def test_kana_voicing_table_in_full():
    for base in range(0x3040, 0x3100):
        c = chr(base)
        voiced = VOICED_KANA.get(base)
        expected = chr(voiced) if voiced else c + "\u3099"
        assert vrim.normalize(c + "\u3099") == expected, hex(base)
        expected = chr(base + 2) if base in HA_TO_HO else c + "\u309A"
        assert vrim.normalize(c + "\u309A") == expected, hex(base)


def test_half_width_hangul_table_in_full():
    for cp in range(0xFFA0, 0xFFDD):
        to = HALF_WIDTH_HANGUL[cp - 0xFFA0]
        assert vrim.normalize(chr(cp)) == chr(to if to else cp), hex(cp)


@pytest.mark.parametrize("text, expected", [
    ("", ""),
    ("\uFF76\uFF9E", "\u30AC"),
    ("\uFF8A\uFF9F", "\u30D1"),
    ("\uFF73\uFF9E", "\u30F4"),
    ("\uFF71\uFF9E", "\u30A2\uFF9E"),
    ("\u304B\u3099", "\u304C"),
    ("\u306F\u309A", "\u3071"),
    ("\u3042\u3099", "\u3042\u3099"),
    ("\uFF21\uFF22\uFF23\uFF11\uFF12\uFF13\uFF01", "abc123!"),
    ("a\u3000\u3000b", "a  b"),
    ("\u00A0\u1680\u200B\u2028\u2029\uFEFF\uFF5F\uFF60\uFFE8\uFFEE",
     "\u00A0\u1680\u200B\u2028\u2029\uFEFF\uFF5F\uFF60\uFFE8\uFFEE"),
    ("\u304C\u3099", "\u304C\u3099"),            # no chaining
])
def test_fold_pass_examples(text, expected):
    assert vrim.normalize(text) == expected


def reference_fold(text):
    """The fold pass, written from the tables above."""
    s = [ord(c) for c in text]
    out = []
    i = 0
    while i < len(s):
        x = s[i]
        nxt = s[i + 1] if i + 1 < len(s) else None
        if 0xFF61 <= x <= 0xFF9D:
            y = HALF_WIDTH_KATAKANA[x - 0xFF61]
            if nxt == 0xFF9E and y in VOICED_KATAKANA:
                out.append(VOICED_KATAKANA[y])
                i += 2
            elif nxt == 0xFF9F and y in HA_TO_HO:
                out.append(y + 2)
                i += 2
            else:
                out.append(y)
                i += 1
        elif x in (0x3099, 0x309A):
            out.append(x)
            i += 1
        elif nxt == 0x3099 and x in VOICED_KANA:
            out.append(VOICED_KANA[x])
            i += 2
        elif nxt == 0x309A and x in HA_TO_HO:
            out.append(x + 2)
            i += 2
        else:
            out.append(SINGLE_FOLDS.get(x, x))
            i += 1
    return "".join(map(chr, out))


def test_random_text_matches_reference():
    """Random strings over the characters whose handling depends on their
    neighbours: kana and voicing marks, half-width forms, sigma and the
    characters around it, Turkish capitals."""
    import random
    rng = random.Random(20261207)
    alphabet = ("aAzZ Iİıi'.-\u00A0\u3000\u2003\u0301\u03A3\u039F\u03C3"
                "\u304B\u3046\u306F\u3042\u30AB\u30A6\u30CF\u30FC"
                "\u3099\u309A\uFF76\uFF8A\uFF73\uFF71\uFF9E\uFF9F"
                "\uFF21\uFF29\uFFA1\uFFE6\U0001F600")
    for _ in range(3000):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(12)))
        folded = reference_fold(text)
        assert vrim.normalize(text) == folded.lower(), ascii(text)
        turkish = folded.replace("I", "\u0131").replace("\u0130", "i")
        turkish = turkish.lower().replace("\u03C2", "\u03C3")
        assert vrim.normalize(text, "tr") == turkish, ascii(text)


def test_long_mixed_text_matches_cpython():
    # Long enough for the sixteen-byte ASCII path, with non-ASCII inside.
    text = ("The QUICK brown Fox \u00C9T\u00C9 " * 50 + "\u0395\u039B\u039B\u0391\u03A3 ") * 3
    assert vrim.normalize(text) == text.lower()


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-v"]))
