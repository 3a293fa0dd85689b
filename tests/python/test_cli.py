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
    result = vrim("build", source, "-o", tmp_path / "out.vrim")
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
              "possible fields: 'title', 'body'"]),
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
