#!/usr/bin/env python3
"""Generates src/analysis/stemmers/st_<language>.{h,cc} from Snowball algorithm files.

Usage: tools/gen_stemmers.py ALGORITHMS_DIR [OUT_DIR]

ALGORITHMS_DIR holds the published algorithm files of Snowball release
v3.1.1 (english.sbl, ...), as found under algorithms/ in that release of
the Snowball repository; they are inputs only and are not kept here.
OUT_DIR defaults to src/analysis/stemmers. Every algorithm is translated the same
way: there are no per-language adjustments. The output is deterministic,
so regenerating over the committed files must leave them unchanged.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from snowball.cppgen import Generator  # noqa: E402
from snowball.lexer import SnowballError  # noqa: E402
from snowball.parser import parse  # noqa: E402

# Algorithm file -> module name (without the st_ prefix).
ALGORITHMS = [
    "arabic", "armenian", "basque", "catalan", "czech", "danish", "dutch",
    "dutch_porter", "english", "esperanto", "estonian", "finnish", "french",
    "german", "greek", "hindi", "hungarian", "indonesian", "irish", "italian",
    "lithuanian", "lovins", "nepali", "norwegian", "persian", "polish",
    "porter", "portuguese", "romanian", "russian", "serbian", "sesotho",
    "spanish", "swedish", "tamil", "turkish", "yiddish",
]

RELEASE = "v3.1.1"


def entry_name(language):
    return "Stem" + "".join(part.capitalize() for part in language.split("_"))


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    src_dir = argv[1]
    out_dir = argv[2] if len(argv) > 2 else os.path.join(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src", "analysis", "stemmers")
    only = set(argv[3:])
    failed = False
    for language in ALGORITHMS:
        if only and language not in only:
            continue
        path = os.path.join(src_dir, language + ".sbl")
        with open(path, encoding="utf-8") as f:
            text = f.read()
        module = "st_" + language
        try:
            prog = parse(text, language + ".sbl")
            gen = Generator(prog, module, entry_name(language),
                            f"{language}.sbl (Snowball release {RELEASE})")
            header, source = gen.generate()
        except SnowballError as e:
            print(f"error: {e}", file=sys.stderr)
            failed = True
            continue
        with open(os.path.join(out_dir, module + ".h"), "w", encoding="utf-8") as f:
            f.write(header)
        with open(os.path.join(out_dir, module + ".cc"), "w", encoding="utf-8") as f:
            f.write(source)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
