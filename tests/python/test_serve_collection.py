"""`vrim serve` on a collection: the JSON against `Collection.search`, where
filters, commits picked up while serving, and facets in a real browser."""

import json
import subprocess
import sys
import threading
from urllib.parse import urlencode

import pytest

import vrim
from test_serve import browser, get, serving, wait_for  # noqa: F401

DOCS = [
    {"id": "a", "title": "Red apples", "body": "crisp apples", "kind": "fruit", "year": 1999,
     "author": "Smith, John"},
    {"id": "b", "title": "Pear", "body": "a pear and an apple", "kind": "fruit", "year": 2001},
    {"id": "c", "title": "Apple peeler", "kind": "tool", "year": 2001, "author": "Smith, John"},
    {"id": "d", "title": "Apple tree", "kind": "plant <b>", "year": 1970, "author": "Ng\\"},
]
COLUMNS = ["kind", "year", "author"]


def vrim_cli(*args):
    return subprocess.run([sys.executable, "-m", "vrim", *map(str, args)],
                          capture_output=True, text=True, timeout=120)


def make_collection(root):
    (root / "docs.jsonl").write_text("".join(json.dumps(d) + "\n" for d in DOCS))
    out = vrim_cli("build", root / "docs.jsonl", "--collection", "-o", root / "coll",
                   *(f"--column={name}:{kind}" for name, kind in
                     [("kind", "str"), ("year", "int"), ("author", "str")]))
    assert out.returncode == 0, out.stderr
    return root / "coll"


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    coll = make_collection(tmp_path_factory.mktemp("served"))
    with serving(coll) as port:
        yield coll, port


def search(port, query, where=(), **params):
    status, _, body = get(port, "/search?" + urlencode(
        [("q", query), *(("where", w) for w in where), *params.items()]))
    return status, json.loads(body)


@pytest.mark.parametrize("query, where, condition", [
    ("apple", [], None),
    ("apple", ["kind=fruit"], {"kind": "fruit"}),
    ("apple", ["year=2000..", "kind=fruit,tool"], {"year": (2000, None), "kind": ["fruit", "tool"]}),
    ("apple", ["author=Smith\\, John"], {"author": "Smith, John"}),
    ("appl*", ["year=..2000"], {"year": (None, 2000)}),
])
def test_json_is_the_collection_search(served, query, where, condition):
    coll, port = served
    status, data = search(port, query, where, limit=2, offset=1)
    with vrim.Collection.open(coll, readonly=True) as opened:
        page = opened.search(query, 2, offset=1, where=condition, facets=COLUMNS)
    assert status == 200 and data["total"] == page.total
    assert data["facets"] == {k: [list(pair) for pair in v] for k, v in page.facets.items()}
    assert [(h["ref"], h["score"], h["doc"]) for h in data["hits"]] == [
        (h.ref, h.score, h.doc) for h in page.hits]
    assert data["more"] == (page.total > 3)
    # Each listed value's filter selects exactly its count, whatever it holds
    # (in place of its column's condition, which the value passes already).
    for name, counts in data["facets"].items():
        others = [w for w in where if not w.startswith(name + "=")]
        for (value, count), spec in zip(counts, data["facet_where"][name]):
            assert search(port, query, [*others, spec])[1]["total"] == count, spec


@pytest.mark.parametrize("where, message", [
    (["year=soon"], "not an int value"),
    (["year=99999999999999999999"], "does not fit in 64 bits"),
    (["year=1..x"], "not an int value"),
    (["nope=1"], "'nope' is not a column"),
    (["year"], "expected COLUMN=VALUE"),
    (["year=1", "year=2"], "given twice"),
])
def test_bad_where_is_a_400(served, where, message):
    status, data = search(served[1], "apple", where)
    assert status == 400 and data["error"]["kind"] == "where"
    assert message in data["error"]["message"]


def test_documents_and_what_is_served(served):
    coll, port = served
    status, _, page = get(port, "/doc?" + urlencode(
        {"ref": "d", "q": "tree", "where": "kind=plant <b>"}))
    assert status == 200 and "Apple <mark>tree</mark>" in page.decode()
    assert 'href="./?q=tree&amp;where=kind%3Dplant+%3Cb%3E"' in page.decode()
    assert get(port, "/doc?ref=zz&q=x")[0] == 404
    assert get(port, "/", "attacker.example")[0] == 403
    assert get(port, "/catalog.sqlite")[0] == 404


@pytest.mark.parametrize("target, options, message", [
    ("coll", ["--facet", "nope"], "--facet nope: not a column"),
    ("coll", ["--no-store"], "are for an index file"),
    ("x.vrim", ["--facet", "kind"], "--facet needs a collection"),
])
def test_startup_errors(tmp_path, target, options, message):
    make_collection(tmp_path)
    assert vrim_cli("build", tmp_path / "docs.jsonl", "-o", tmp_path / "x.vrim").returncode == 0
    out = vrim_cli("serve", tmp_path / target, "--port", "0", *options)
    assert out.returncode == 1 and message in out.stderr


def test_commits_of_another_process_show_without_a_restart(tmp_path):
    coll = make_collection(tmp_path)
    (tmp_path / "more.jsonl").write_text(json.dumps(
        {"id": "e", "title": "Apple juice", "kind": "drink", "year": 2020}) + "\n")
    with serving(coll, "--facet", "kind") as port:
        assert search(port, "apple")[1]["total"] == 4
        answers, stop = [], threading.Event()

        def ask():  # requests all the while the commits land
            while not stop.is_set():
                answers.append(search(port, "apple", ["year=1990.."]))
        threads = [threading.Thread(target=ask) for _ in range(3)]
        for thread in threads:
            thread.start()
        assert vrim_cli("add", coll, tmp_path / "more.jsonl").returncode == 0
        status, data = search(port, "apple")
        assert data["total"] == 5 and ["drink", 1] in data["facets"]["kind"]
        assert get(port, "/doc?ref=e&q=juice")[0] == 200
        assert vrim_cli("delete", coll, "a", "e").returncode == 0
        stop.set()
        for thread in threads:
            thread.join()
        assert sorted(h["ref"] for h in search(port, "apple")[1]["hits"]) == ["b", "c", "d"]
    assert {(status, data["total"]) for status, data in answers} <= {(200, 3), (200, 4), (200, 2)}


def test_a_state_that_does_not_load_is_a_503_and_the_last_one_stays(tmp_path):
    from vrim._cli.serve_collection import CollectionServer
    coll = make_collection(tmp_path)
    with vrim.Collection.open(coll, readonly=True) as opened:
        server = CollectionServer(("127.0.0.1", 0), opened, COLUMNS)
        try:
            (tmp_path / "more.jsonl").write_text('{"id": "e", "title": "apple"}\n')
            assert vrim_cli("add", coll, tmp_path / "more.jsonl").returncode == 0
            newest = max((coll / "segments").iterdir(), key=lambda f: f.stat().st_mtime_ns)
            newest.write_bytes(b"damaged")
            status, data = server.search({"q": ["apple"]})
            assert status == 503 and "is damaged" in data["error"]["message"]
            assert server.document({"ref": ["a"]})[0] == 503
            assert opened.search("apple").total == 4
        finally:
            server.server_close()


def test_facets_filter_in_a_browser(served, browser):  # noqa: F811
    from selenium.webdriver.common.by import By
    _, port = served
    browser.get(f"http://127.0.0.1:{port}/?q=apple")  # one answer, no typing

    def texts(selector):  # read at once: the page replaces these as answers come
        return browser.execute_script(
            "return Array.from(document.querySelectorAll(arguments[0]), e => e.textContent)",
            selector)

    def refs():
        return texts("li.hit .ref")

    def chips():
        return texts("#filters .filter")

    def value(column, label):
        return browser.find_element(By.XPATH, f'//section[h2="{column}"]//button'
                                    f'[span[@class="label"]="{label}"]')

    wait_for(browser, lambda: len(refs()) == 4)
    assert "4 documents" in browser.find_element(By.ID, "status").text
    value("author", "Smith, John").click()
    wait_for(browser, lambda: sorted(refs()) == ["a", "c"])
    value("kind", "tool").click()
    wait_for(browser, lambda: refs() == ["c"])
    assert sorted(chips()) == ["author = Smith, John\u00d7", "kind = tool\u00d7"]
    assert "where=kind%3Dtool" in browser.current_url
    browser.find_element(By.CSS_SELECTOR, "#filters .filter button").click()  # author
    wait_for(browser, lambda: refs() == ["c"] and chips() == ["kind = tool\u00d7"])
    browser.find_element(By.CSS_SELECTOR, "#filters .filter button").click()
    wait_for(browser, lambda: len(refs()) == 4 and chips() == [])
    browser.back()  # the filter comes back with the page's address
    wait_for(browser, lambda: refs() == ["c"] and chips() == ["kind = tool\u00d7"])
