"""The `vrim` command line, run as a subprocess as a user would."""

import json
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

MKDOCS_INDEX = "/usr/share/doc/python3-djangorestframework/html/search/search_index.json"


def vrim(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "vrim", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, encoding="utf-8",
                          timeout=120)


def ok(*args, **kwargs):
    result = vrim(*args, **kwargs)
    assert result.returncode == 0, result.stderr
    return result


def hits(index, query, *options):
    out = ok("search", index, query, "--json", *options).stdout
    return [json.loads(line) for line in out.splitlines()]


@pytest.mark.parametrize("command", [[], ["build"], ["search"], ["info"], ["serve"]])
def test_help(command):
    result = ok(*command, "--help")
    assert result.stdout.startswith("usage: vrim")


def test_console_script_installed():
    script = shutil.which("vrim", path=sysconfig.get_path("scripts"))
    if script is None:
        pytest.skip("package not installed with its console script")
    assert "build" in subprocess.run([script, "--help"], capture_output=True,
                                     text=True, check=True).stdout


@pytest.mark.skipif(not os.path.exists(MKDOCS_INDEX),
                    reason="needs Debian's python-djangorestframework-doc")
def test_mkdocs_search_index(tmp_path):
    with open(MKDOCS_INDEX, encoding="utf-8") as f:
        count = len(json.load(f)["docs"])
    index = tmp_path / "drf.vrim"
    built = ok("build", MKDOCS_INDEX, "-o", index)
    assert built.stderr.count("\n") == 1 and f"indexed {count:,} documents" in built.stderr
    info = ok("info", index).stdout
    for line in ["language:  en", "pipeline:  trimmer, stopWordFilter, stemmer",
                 "fields:    title (boost 2), text (boost 1)", "positions: stored",
                 f"documents: {count:,}", "index SHA-256 matches"]:
        assert line in info
    first = hits(index, "serializer validation")[0]
    assert first["ref"].startswith("api-guide/") and "alidat" in first["ref"]
    snippet = first["snippet"]
    marked = [snippet["text"][s:s + n].lower() for s, n in snippet["spans"]]
    assert marked and all(m.startswith(("valid", "serial")) for m in marked)
    text = ok("search", index, "throttling", "-n", "2").stdout.splitlines()
    assert text[0].startswith("1. api-guide/throttling/")
    assert "[throttl" in text[1].lower() or "[throttl" in text[2].lower()


def make_tree(root):
    (root / "guide" / "deep").mkdir(parents=True)
    (root / ".git").mkdir()
    (root / ".git" / "notes.txt").write_text("hidden folder, never indexed\n")
    (root / "index.md").write_text("---\nlayout: x\n---\n# Getting started\n\n"
                                   "Install with pip. Caf\u0065\u0301 au lait.\n")
    (root / "guide" / "setup.rst").write_text("Setup\n=====\n\nConfigure the hammock.\n")
    (root / "guide" / "deep" / "page.html").write_text(
        "<html><head><title>Site</title><style>.hammock{}</style></head><body>"
        "<script>var zebra = 1;</script><h1>Deep <em>page</em></h1>"
        "<p>Tea &amp; biscuits</p></body></html>")
    (root / "guide" / "latin1.txt").write_bytes("Menu\n\ncrème brûlée\n".encode("latin-1"))
    (root / "skip.py").write_text("print('not a document')\n")


def test_directory_source(tmp_path):
    make_tree(tmp_path / "docs")
    index = tmp_path / "docs.vrim"
    built = ok("build", tmp_path / "docs", "-o", index)
    assert "latin1.txt: not valid UTF-8 (byte 0xe8 at offset 8), read as cp1252" in built.stderr
    assert "indexed 4 documents" in built.stderr
    assert hits(index, "zebra") == [] and hits(index, "hammock")[0]["ref"] == "guide/setup.rst"
    page = hits(index, "biscuits")[0]
    assert page["ref"] == "guide/deep/page.html" and page["title"]["text"] == "Deep page"
    assert hits(index, "brûlée")[0]["title"]["text"] == "Menu"
    # The file holds "café" decomposed; composed query and stored text meet.
    cafe = hits(index, "café")[0]
    assert cafe["ref"] == "index.md" and cafe["title"]["text"] == "Getting started"
    assert any(cafe["snippet"]["text"][s:s + n] == "Caf\u00e9" for s, n in cafe["snippet"]["spans"])
    lone = tmp_path / "docs" / "guide" / "setup.rst"
    ok("build", lone, "-o", index)
    assert [h["ref"] for h in hits(index, "hammock")] == [str(lone)]


@pytest.mark.parametrize("lines, message", [
    (['{"id": "1", "body": "one"}', '{"id": "2", "body": "two"}', '{"id": 3, "body":'],
     "docs.jsonl:3: invalid JSON: Expecting value (column 18)"),
    (['{"id": "1", "body": "one"}', '{"id": "2", "body": ["two"]}'],
     "docs.jsonl:2: field 'body' must be a string, got list ['two']"),
    (['{"id": "1", "body": "one"}', '', '{"body": "no id"}'],
     "docs.jsonl:3: document has no reference field 'id'"),
    (['["not", "an object"]'], "docs.jsonl:1: expected a JSON object, got an array"),
])
def test_bad_json_lines(tmp_path, lines, message):
    source = tmp_path / "docs.jsonl"
    source.write_text("\n".join(lines) + "\n")
    result = vrim("build", source, "-o", tmp_path / "out.vrim", "--strict")
    assert result.returncode == 1
    assert result.stderr == f"vrim: error: {source.parent}/{message}" + (
        " (choose the reference field with --ref)\n" if "reference" in message else "\n")
    assert sorted(os.listdir(tmp_path)) == ["docs.jsonl"]


def test_failed_build_keeps_the_old_index(tmp_path):
    (tmp_path / "docs.json").write_text('[{"id": "a", "body": "apple"}]')
    ok("build", tmp_path / "docs.json", "-o", tmp_path / "x.vrim", "--field", "body:1.5")
    before = (tmp_path / "x.vrim").read_bytes()
    missing = vrim("build", tmp_path / "nope.json", "-o", tmp_path / "x.vrim")
    assert missing.returncode == 1 and "nope.json: cannot read" in missing.stderr
    assert (tmp_path / "x.vrim").read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["docs.json", "x.vrim", "x.vrim.db"]
    assert "body (boost 1.5)" in ok("info", tmp_path / "x.vrim").stdout


@pytest.mark.parametrize("options", [[], ["--no-store"]])
def test_output_folder_missing(tmp_path, options):
    (tmp_path / "docs.json").write_text('[{"id": "a", "body": "apple"}]')
    result = vrim("build", tmp_path / "docs.json", "-o", tmp_path / "no" / "x.vrim", *options)
    assert result.returncode == 1
    assert result.stderr.startswith(f"vrim: error: {tmp_path / 'no'}/x.vrim")
    assert "cannot write" in result.stderr and "Traceback" not in result.stderr
    assert sorted(os.listdir(tmp_path)) == ["docs.json"]


@pytest.fixture(scope="module")
def small_index(tmp_path_factory):
    root = tmp_path_factory.mktemp("small")
    source = root / "docs.jsonl"
    source.write_text("\n".join(json.dumps(d) for d in [
        {"id": "apple", "title": "Apples", "body": "Crisp red apples, sweet and tart."},
        {"id": "pear", "title": "Pears", "body": "A pear is softer than an apple."},
        {"id": "kana", "title": "検索", "body": "全文検索エンジンを作る"},
    ]))
    ok("build", source, "-o", root / "fruit.vrim", "--language", "en,ja")
    return root / "fruit.vrim"


@pytest.mark.parametrize("query, lines", [
    ("title:^2", ["  title:^2", "         ^",
                  "vrim: query error: expecting term, found Boost"]),
    ("検索:x", ["  検索:x", "  ^^^^", "vrim: query error: unrecognised field '検索', "
              "possible fields: 'title', 'body'", "vrim: hint: a colon means "
              "field:word; to search the text as written, pass --literal"]),
    ("error: file", ["  error: file", "  ^^^^^", "vrim: query error: unrecognised field "
                     "'error', possible fields: 'title', 'body'", "vrim: hint: a colon "
                     "means field:word; to search the text as written, pass --literal"]),
    ("apple +", ["  apple +", "        ^",
                 "vrim: query error: expecting term or field, found nothing"]),
])
def test_query_error_caret(small_index, query, lines):
    result = vrim("search", small_index, query)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.splitlines() == lines


def test_search_output(small_index):
    text = ok("search", small_index, "apple").stdout.splitlines()
    assert text[0].startswith("1. apple  (score ")
    assert text[1:3] == ["   [Apples]", "   Crisp red [apples], sweet and tart."]
    assert [h["ref"] for h in hits(small_index, "apple", "--limit", "1")] == ["apple"]
    assert [h["ref"] for h in hits(small_index, "-crisp")] == ["kana", "pear"]
    assert [h["ref"] for h in hits(small_index, "-crisp", "--literal")] == ["apple"]
    cjk = hits(small_index, "検索エンジン", "--fields")[0]
    assert cjk["fields"]["body"] == {"text": "全文検索エンジンを作る", "spans": [[2, 6]]}


def test_store_mismatch_is_reported(small_index, tmp_path):
    other = tmp_path / "other.vrim"
    (tmp_path / "one.jsonl").write_text('{"id": "x", "body": "another text"}\n')
    ok("build", tmp_path / "one.jsonl", "-o", other, "--no-store")
    assert not os.path.exists(f"{other}.db")
    shutil.copy(small_index.with_suffix(".vrim.db"), f"{other}.db")
    info = vrim("info", other)
    assert info.returncode == 1 and "MISMATCH" in info.stdout
    search = vrim("search", other, "text")
    assert search.returncode == 1 and "SHA-256 differs" in search.stderr
    assert ok("search", other, "text", "--no-store").stdout.startswith("1. x ")
    (tmp_path / "other.vrim.db").write_text("not a database")
    info = vrim("info", other)
    assert info.returncode == 1 and "not a document store" in info.stdout
    assert "pass --no-store" in vrim("search", other, "text").stderr


def test_unknown_language_and_unindexable_keys(tmp_path):
    (tmp_path / "a.jsonl").write_text(
        '{"id": "a", "body": "hello", "created at": "2020", "tags": ["x"]}\n')
    result = ok("build", tmp_path / "a.jsonl", "-o", tmp_path / "a.vrim", "--language", "xx")
    lines = result.stderr.splitlines()
    assert lines[0].startswith('vrim: warning: unknown language code "xx"')
    assert lines[1].startswith("vrim: note: leaving out field 'created at': field")
    assert "fields:    body (boost 1)" in ok("info", tmp_path / "a.vrim").stdout


def make_unreadable_folder(root):
    """A folder with one readable page and each kind of entry a build must
    skip; returns the names expected in the warnings."""
    import socket
    root.mkdir()
    (root / "good.md").write_text("# Good page\n\nReadable words.\n")
    (root / "guide.rst.txt").write_text(".. include:: x.rst\n\nGuide\n=====\n\n"
                                        "See :mod:`zipfile`.\n")
    (root / "blob.txt").write_bytes(b"PK\x03\x04\x00\x00binary")
    (root / "image.html").write_bytes(b"\x89PNG\r\n\x1a\n\x00\x00\x00")
    os.symlink(root / "gone.md", root / "broken.md")
    os.mkfifo(root / "pipe.txt")
    with socket.socket(socket.AF_UNIX) as sock:
        sock.bind(str(root / "socket.html"))
    skipped = {"blob.txt": "not text (binary content)",
               "image.html": "not text (binary content)", "broken.md": "broken link",
               "pipe.txt": "not a regular file (a FIFO)",
               "socket.html": "not a regular file (a socket)"}
    if os.geteuid() != 0:  # root reads whatever the mode says
        (root / "locked").mkdir()
        (root / "locked" / "inside.md").write_text("# Inside\n")
        os.chmod(root / "locked", 0)
        skipped["locked"] = "cannot read directory: Permission denied"
        (root / "secret.txt").write_text("secret")
        os.chmod(root / "secret.txt", 0)
        skipped["secret.txt"] = "cannot read: Permission denied"
    return skipped


def test_unreadable_entries_are_skipped_with_a_warning_each(tmp_path):
    skipped = make_unreadable_folder(tmp_path / "docs")
    index = tmp_path / "docs.vrim"
    built = ok("build", tmp_path / "docs", "-o", index)
    lines = built.stderr.splitlines()
    for name, reason in skipped.items():
        assert f"vrim: warning: {tmp_path / 'docs' / name}: skipped: {reason}" in lines
    assert f", {len(skipped)} skipped: " in lines[-1]
    assert [h["ref"] for h in hits(index, "readable")] == ["good.md"]
    [guide] = hits(index, "zipfile")
    assert guide["title"]["text"] == "Guide" and guide["snippet"]["text"] == "Guide See zipfile."
    strict = vrim("build", tmp_path / "docs", "-o", tmp_path / "strict.vrim", "--strict")
    assert strict.returncode == 1 and strict.stderr.count("\n") == 1
    assert not os.path.exists(tmp_path / "strict.vrim")


def test_warnings_past_the_first_few_are_counted(tmp_path):
    (tmp_path / "docs").mkdir()
    (tmp_path / "docs" / "ok.txt").write_text("fine")
    for i in range(25):
        (tmp_path / "docs" / f"b{i:02}.txt").write_bytes(b"\x00")
    lines = ok("build", tmp_path / "docs", "-o", tmp_path / "x.vrim").stderr.splitlines()
    assert sum("skipped: not text" in line for line in lines) == 10
    assert "vrim: warning: 15 more warnings not listed (25 entries skipped in all)" in lines


def test_bad_json_lines_are_skipped_and_numbers_coerced(tmp_path):
    source = tmp_path / "docs.jsonl"
    source.write_text('{"id": 1, "body": "one", "year": 1999}\n{"id": 2, "body":\n'
                      '[1]\n{"id": 3, "body": 2.0}\n')
    refused = vrim("build", source, "-o", tmp_path / "x.vrim")
    assert refused.returncode == 1 and refused.stderr.splitlines()[-1] == (
        f"vrim: error: {source}:4: field 'body' must be a string, got float 2.0 "
        "(pass --coerce to index numbers as text)")
    built = ok("build", source, "-o", tmp_path / "x.vrim", "--coerce").stderr.splitlines()
    assert built[:2] == [
        f"vrim: warning: {source}:2: skipped: invalid JSON: Expecting value (column 18)",
        f"vrim: warning: {source}:3: skipped: expected a JSON object, got an array"]
    assert [h["ref"] for h in hits(tmp_path / "x.vrim", "2")] == ["3"]
    assert [h["ref"] for h in hits(tmp_path / "x.vrim", "year:1999")] == ["1"]


def test_a_long_word_is_left_out_not_written_unreadable(tmp_path):
    (tmp_path / "docs").mkdir()
    (tmp_path / "docs" / "blob.txt").write_text(
        "attachment\n" + "QUJD" * 300_000 + "\nend of mail\n")
    index = tmp_path / "x.vrim"
    built = ok("build", tmp_path / "docs", "-o", index)
    assert ("vrim: note: left out 1 token longer than 1,000 characters "
            "(--max-token-length)") in built.stderr
    assert [h["ref"] for h in hits(index, "attachment")] == ["blob.txt"]
    unlimited = vrim("build", tmp_path / "docs", "-o", tmp_path / "y.vrim",
                     "--max-token-length", "0")
    assert unlimited.returncode == 1 and unlimited.stderr.startswith(
        'vrim: error: cannot serialize: document "blob.txt", field "body" holds a token '
        "of 1200000 characters")
    assert not os.path.exists(tmp_path / "y.vrim")


@pytest.mark.parametrize("output, message", [
    ("missing/x.vrim", "cannot write: no such directory"),
    ("folder", "cannot write: it is a directory"),
])
def test_output_is_checked_before_reading(tmp_path, output, message):
    (tmp_path / "folder").mkdir()
    # The source does not exist: the output's fault must be found first.
    result = vrim("build", tmp_path / "nope.jsonl", "-o", tmp_path / output)
    assert result.returncode == 1 and message in result.stderr


@pytest.mark.parametrize("args, status, expected", [
    ([], 2, "vrim search: give a query after INDEX"),
    (["* +*"], 2, "vrim: query error: a query of only wildcards would list every "
                  "document"),
    (["title:*"], 2, "a query of only wildcards"),
])
def test_search_messages(small_index, args, status, expected):
    result = vrim("search", small_index, *args)
    assert result.returncode == status and expected in result.stderr
    assert "Traceback" not in result.stderr


def test_a_query_of_stop_words_says_which_were_ignored(tmp_path):
    (tmp_path / "d.json").write_text('[{"id": "a", "body": "the apple of my eye"}]')
    ok("build", tmp_path / "d.json", "-o", tmp_path / "x.vrim")
    result = ok("search", tmp_path / "x.vrim", "The OF")
    assert result.stderr.splitlines() == ["no documents match", "vrim: note: every word "
                                          "of the query is a stop word, which the index "
                                          "leaves out: the, of"]
    assert "stop word" not in ok("search", tmp_path / "x.vrim", "the pear").stderr


def test_literal_searches_the_text_of_a_colon_query(small_index):
    assert [h["ref"] for h in hits(small_index, "pear: softer", "--literal")] == ["pear"]


SPHINX_PAGE = """<html><head><title>os.path — Python 3 documentation</title>
<script>var nav = "Previous topic";</script><style>h1 {color: red}</style></head><body>
<div class="related" role="navigation"><h3>Navigation</h3><ul><li>index</li></ul></div>
<div class="sphinxsidebar"><h3>Previous topic</h3><p>os</p></div>
<div class="body"><h1>os.path — Pathname functions<a class="headerlink" href="#">¶</a></h1>
<p>Joins <code>paths</code> &amp; more.</p></div>
<footer>Copyright notice</footer></body></html>"""


@pytest.mark.parametrize("kind, text, title, body", [
    ("html", SPHINX_PAGE, "os.path — Pathname functions",
     "os.path — Pathname functions\nJoins paths & more."),
    ("html", "<title> Only  title </title><p>Text</p>", "Only title", "Text"),
    ("html", '<div class="wy-grid-for-nav"><nav class="wy-nav-side"><h2>Menu</h2></nav>'
     '<div role="main"><h2>Kept</h2><p>Words</p></div></div>', "Kept", "Kept\nWords"),
    ("markdown", "---\ntitle: Front\n---\n# Heading\n", "Front", "Heading"),
    ("markdown", "# Errors\n\n<!-- type=class -->\nClass: <b>Error</b>\n", "Errors",
     "Errors\nClass: Error"),
    ("markdown", "Intro\n\n```sh\n# not a heading\n```\n\n## Real *one*\n\n- item `code`\n",
     "Real one", "Intro\n# not a heading\nReal one\nitem code"),
    ("rst", "Guide\n=====\n\nUse :mod:`os.path` and :py:func:`~a.join <join>`.\n\n"
     ".. toctree::\n\n   intro\n\n.. a comment\n\nSub\n---\n\n``literal`` text\n",
     "Guide", "Guide\n\nUse os.path and a.join.\n\nSub\n\nliteral text"),
    ("text", "=====\nREADME for x\n=====\nbody\n", "README for x",
     "=====\nREADME for x\n=====\nbody\n"),
])
def test_markup_is_read_as_text_for_people(kind, text, title, body):
    from vrim._cli.markup import missing_parsers, read_markup
    if kind in missing_parsers():
        pytest.skip(f"the {kind} parser is not installed")
    assert read_markup(text, kind) == (title, body)


def test_missing_parser_degrades_to_plain_text_with_one_hint(tmp_path):
    (tmp_path / "docs").mkdir()
    for name in ("a.md", "b.md"):
        (tmp_path / "docs" / name).write_text("Title\n=====\n\nSome **bold** text\n")
    # A module named like the parser that fails to import stands for its absence.
    (tmp_path / "markdown_it.py").write_text("raise ImportError('absent')\n")
    result = subprocess.run(
        [sys.executable, "-m", "vrim", "build", tmp_path / "docs", "-o", tmp_path / "x.vrim"],
        capture_output=True, text=True, env={**os.environ, "PYTHONPATH": str(tmp_path)})
    assert result.returncode == 0, result.stderr
    assert result.stderr.count("vrim: hint: markdown-it-py is not installed") == 1
    assert hits(tmp_path / "x.vrim", "bold")[0]["title"]["text"] == "Title"
