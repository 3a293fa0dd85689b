"""The command line on a collection: build --collection, add, delete, and
search with --where and --facet."""

import json
import subprocess
import sys

import pytest

import vrim


DOCS = [{"id": "a", "title": "Red apples", "body": "crisp apples", "kind": "fruit", "year": 1999},
        {"id": "b", "title": "Pear", "body": "a pear and an apple", "kind": "fruit", "year": 2001},
        {"id": 3, "title": "Apple peeler", "kind": "tool"}]


def run(*args):
    return subprocess.run([sys.executable, "-m", "vrim", *map(str, args)],
                          capture_output=True, text=True, timeout=120)


def page(coll, *args):
    out = run("search", coll, "apple", "--json", *args)
    assert out.returncode == 0, out.stderr
    *hits, summary = map(json.loads, out.stdout.splitlines())
    return [h["ref"] for h in hits], summary


@pytest.fixture
def coll(tmp_path):
    source = tmp_path / "docs.jsonl"
    source.write_text("".join(json.dumps(d) + "\n" for d in DOCS))
    out = run("build", source, "--collection", "--column", "kind:str",
              "--column", "year:int", "-o", tmp_path / "coll")
    assert out.returncode == 0, out.stderr
    return tmp_path / "coll"


def test_build_add_delete_and_search(coll, tmp_path):
    with vrim.Collection.open(coll) as opened:
        assert opened.fields == {"title": 2.0, "body": 1.0}  # columns are not fields
        assert opened.get("3")["kind"] == "tool"
    refs, summary = page(coll, "--facet", "kind", "--where", "year=1990..2000")
    assert (refs, summary) == (["a"], {"total": 1, "facets": {"kind": [["fruit", 1]]}})
    assert page(coll, "--where", "kind=tool,food")[1]["total"] == 1
    more = tmp_path / "more.jsonl"
    more.write_text(json.dumps({"id": "a", "title": "Apple pie", "kind": "food"}) + "\n")
    assert run("add", coll, more).returncode == 0
    assert run("delete", coll, "b", "zz").returncode == 0
    refs, summary = page(coll, "--facet", "kind")
    assert sorted(refs) == ["3", "a"]
    assert summary["facets"] == {"kind": [["food", 1], ["tool", 1]]}


@pytest.mark.parametrize("args,message", [
    (["search", "{coll}", "x", "--where", "nope=1"], "'nope' is not a column"),
    (["search", "{coll}", "x", "--where", "year=soon"], "not an int value"),
    (["search", "{coll}", "x", "--where", "year"], "expected COLUMN=VALUE"),
    (["search", "{coll}", "x", "--where", "year=1", "--where", "year=2"], "given twice"),
    (["build", "{coll}/../docs.jsonl", "--column", "k:list", "-o", "{coll}2"], "TYPE str"),
    (["build", "{coll}/../docs.jsonl", "--column", "kind:str", "-o", "x.vrim"],
     "--column needs --collection"),
])
def test_errors(coll, args, message):
    out = run(*(a.format(coll=coll) for a in args))
    assert out.returncode != 0 and message in out.stderr
