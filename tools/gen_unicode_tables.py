#!/usr/bin/env python3
"""Generates src/analysis/unicode_tables.cc from the Unicode Character Database.

Reads UnicodeData.txt, SpecialCasing.txt, DerivedCoreProperties.txt and
PropList.txt (Debian's unicode-data package installs them under
/usr/share/unicode) and writes the property and lowercase tables behind
src/analysis/unicode.h.

Layout of the generated tables:
  * one flag byte per code point, stored as a two-stage table: kStage1
    maps the high bits of a code point to a block number, kStage2 holds the
    deduplicated blocks of flag bytes;
  * the lowercase mappings as a sorted array of (code point, mapping),
    searched only for code points whose kHasLower flag is set.

Usage: tools/gen_unicode_tables.py [--ucd DIR] [--out FILE]
"""

import argparse
import os
import re
import sys

MAX_CP = 0x110000

FLAG_CASED = 1 << 0
FLAG_CASE_IGNORABLE = 1 << 1
FLAG_ALPHABETIC = 1 << 2
FLAG_NUMERIC = 1 << 3
FLAG_WHITE_SPACE = 1 << 4
FLAG_PRINTABLE = 1 << 5
FLAG_HAS_LOWER = 1 << 6

NON_PRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
NUMERIC_CATEGORIES = {"Nd", "Nl", "No"}


def read_lines(path):
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield line


def file_version(path):
    """The Unicode version named in the first line of a UCD file."""
    with open(path, encoding="utf-8") as f:
        first = f.readline()
    m = re.search(r"-(\d+\.\d+\.\d+)\.txt", first)
    return m.group(1) if m else None


def parse_unicode_data(path):
    """Returns (category per code point, simple lowercase per code point)."""
    category = ["Cn"] * MAX_CP
    lower = {}
    range_start = None
    for line in read_lines(path):
        fields = line.split(";")
        cp = int(fields[0], 16)
        name, gc = fields[1], fields[2]
        if name.endswith(", First>"):
            range_start = cp
            continue
        if name.endswith(", Last>"):
            for c in range(range_start, cp + 1):
                category[c] = gc
            range_start = None
            continue
        category[cp] = gc
        if fields[13]:
            lower[cp] = [int(fields[13], 16)]
    return category, lower


def parse_special_lower(path):
    """Unconditional lowercase entries of SpecialCasing.txt."""
    special = {}
    for line in read_lines(path):
        fields = [f.strip() for f in line.split(";")]
        # code; lower; title; upper; [conditions;]
        if len(fields) > 4 and fields[4]:
            continue  # conditional (language or context dependent)
        cp = int(fields[0], 16)
        special[cp] = [int(x, 16) for x in fields[1].split()]
    return special


def parse_property(path, wanted):
    """Code points carrying property `wanted` in a UCD property file."""
    result = set()
    for line in read_lines(path):
        cps, prop = [f.strip() for f in line.split(";")[:2]]
        if prop != wanted:
            continue
        if ".." in cps:
            lo, hi = (int(x, 16) for x in cps.split(".."))
        else:
            lo = hi = int(cps, 16)
        result.update(range(lo, hi + 1))
    return result


def best_two_stage(flags):
    """Picks the block size that makes the two-stage table smallest."""
    best = None
    for shift in range(4, 10):
        size = 1 << shift
        blocks = {}
        stage1 = []
        stage2 = []
        for start in range(0, MAX_CP, size):
            block = bytes(flags[start:start + size])
            if block not in blocks:
                blocks[block] = len(blocks)
                stage2.extend(block)
            stage1.append(blocks[block])
        index_bytes = 1 if len(blocks) <= 256 else 2
        total = len(stage1) * index_bytes + len(stage2)
        if best is None or total < best[0]:
            best = (total, shift, stage1, stage2, index_bytes)
    return best


def format_array(values, per_line, width):
    lines = []
    for i in range(0, len(values), per_line):
        chunk = values[i:i + per_line]
        lines.append("    " + ", ".join(f"{v:#0{width}x}" for v in chunk) + ",")
    return "\n".join(lines)


def generate(ucd):
    paths = {name: os.path.join(ucd, name) for name in (
        "UnicodeData.txt", "SpecialCasing.txt",
        "DerivedCoreProperties.txt", "PropList.txt")}
    for p in paths.values():
        if not os.path.exists(p):
            sys.exit(f"missing {p}: install Debian's unicode-data package")
    versions = {file_version(p) for p in (
        paths["SpecialCasing.txt"], paths["DerivedCoreProperties.txt"],
        paths["PropList.txt"])}
    versions.discard(None)
    if len(versions) != 1:
        sys.exit(f"inconsistent Unicode versions in {ucd}: {sorted(versions)}")
    version = versions.pop()

    category, lower = parse_unicode_data(paths["UnicodeData.txt"])
    lower.update(parse_special_lower(paths["SpecialCasing.txt"]))
    lower = {cp: m for cp, m in lower.items() if m != [cp]}
    # normalize.cc copies U+3000..U+9FFF through lowercasing untouched.
    assert not any(0x3000 <= cp <= 0x9FFF for cp in lower), \
        "a lowercase mapping in U+3000..U+9FFF: update normalize.cc"
    cased = parse_property(paths["DerivedCoreProperties.txt"], "Cased")
    ignorable = parse_property(paths["DerivedCoreProperties.txt"],
                               "Case_Ignorable")
    alphabetic = parse_property(paths["DerivedCoreProperties.txt"],
                                "Alphabetic")
    white = parse_property(paths["PropList.txt"], "White_Space")

    flags = bytearray(MAX_CP)
    for cp in range(MAX_CP):
        gc = category[cp]
        f = 0
        if cp in cased:
            f |= FLAG_CASED
        if cp in ignorable:
            f |= FLAG_CASE_IGNORABLE
        if cp in alphabetic:
            f |= FLAG_ALPHABETIC
        if gc in NUMERIC_CATEGORIES:
            f |= FLAG_NUMERIC
        if cp in white:
            f |= FLAG_WHITE_SPACE
        if gc not in NON_PRINTABLE_CATEGORIES or cp == 0x20:
            f |= FLAG_PRINTABLE
        if cp in lower:
            f |= FLAG_HAS_LOWER
        flags[cp] = f

    total, shift, stage1, stage2, index_bytes = best_two_stage(flags)
    index_type = "uint8_t" if index_bytes == 1 else "uint16_t"
    mappings = sorted(lower.items())
    max_len = max(len(m) for _, m in mappings)
    assert max_len <= 3

    out = []
    out.append(f"""\
// Generated by tools/gen_unicode_tables.py from the Unicode Character
// Database, Unicode {version}. Do not edit; rerun the generator instead.
//
// Layout: one flag byte per code point in a two-stage table (kStage1 maps
// cp >> {shift} to a block of {1 << shift} flag bytes in kStage2; identical
// blocks are stored once, {total} bytes in all), and the full lowercase
// mappings (UnicodeData simple mappings overridden by the unconditional
// SpecialCasing entries) as a sorted array searched for flagged code points.

#include <algorithm>
#include <cstdint>

#include "analysis/unicode.h"

namespace vrim {{

namespace {{

enum : uint8_t {{
  kCased = {FLAG_CASED:#04x},
  kCaseIgnorable = {FLAG_CASE_IGNORABLE:#04x},
  kAlphabetic = {FLAG_ALPHABETIC:#04x},
  kNumeric = {FLAG_NUMERIC:#04x},
  kWhiteSpace = {FLAG_WHITE_SPACE:#04x},
  kPrintable = {FLAG_PRINTABLE:#04x},
  kHasLower = {FLAG_HAS_LOWER:#04x},
}};

constexpr int kShift = {shift};

const {index_type} kStage1[{len(stage1)}] = {{
{format_array(stage1, 16, 6 if index_bytes == 2 else 4)}
}};

const uint8_t kStage2[{len(stage2)}] = {{
{format_array(stage2, 16, 4)}
}};

struct LowerMapping {{
  char32_t cp;
  uint8_t length;
  char32_t to[3];
}};

const LowerMapping kLower[{len(mappings)}] = {{""")
    for cp, m in mappings:
        to = ", ".join(f"{c:#06x}" for c in m + [0] * (3 - len(m)))
        out.append(f"    {{{cp:#06x}, {len(m)}, {{{to}}}}},")
    out.append(f"""\
}};

inline uint8_t Flags(char32_t cp) {{
  if (cp >= 0x110000) return 0;
  return kStage2[(size_t(kStage1[cp >> kShift]) << kShift) |
                 (cp & ((1u << kShift) - 1))];
}}

}}  // namespace

size_t LowercaseMapping(char32_t cp, char32_t out[3]) {{
  if (cp < 0x80) {{
    out[0] = (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
    return 1;
  }}
  if (!(Flags(cp) & kHasLower)) {{
    out[0] = cp;
    return 1;
  }}
  const LowerMapping* end = kLower + sizeof(kLower) / sizeof(kLower[0]);
  const LowerMapping* it = std::lower_bound(
      kLower, end, cp,
      [](const LowerMapping& m, char32_t c) {{ return m.cp < c; }});
  for (size_t i = 0; i < it->length; ++i) out[i] = it->to[i];
  return it->length;
}}

bool IsCased(char32_t cp) {{ return Flags(cp) & kCased; }}
bool IsCaseIgnorable(char32_t cp) {{ return Flags(cp) & kCaseIgnorable; }}
bool IsAlphabetic(char32_t cp) {{ return Flags(cp) & kAlphabetic; }}
bool IsNumeric(char32_t cp) {{ return Flags(cp) & kNumeric; }}
bool IsWhiteSpace(char32_t cp) {{ return Flags(cp) & kWhiteSpace; }}
bool IsPrintable(char32_t cp) {{ return Flags(cp) & kPrintable; }}

}}  // namespace vrim
""")
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--ucd", default="/usr/share/unicode")
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--out", default=os.path.join(here, "..", "src", "analysis",
                                                  "unicode_tables.cc"))
    args = ap.parse_args()
    text = generate(args.ucd)
    with open(args.out, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
