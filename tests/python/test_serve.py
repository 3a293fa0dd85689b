"""`vrim serve`: the JSON endpoint over HTTP, and the page in a real browser."""

import contextlib
import http.client
import json
import re
import shutil
import subprocess
import sys

import pytest

DOCS = [
    {"id": "guide/install", "title": "Installing", "body": "Install the package with pip, then import it."},
    {"id": "guide/search", "title": "Searching", "body": "Queries find documents; a wildcard like sea* widens them."},
    {"id": "guide/kana", "title": "検索エンジン", "body": "全文検索エンジンの使い方"},
]


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    root = tmp_path_factory.mktemp("serve")
    (root / "docs.jsonl").write_text("\n".join(json.dumps(d) for d in DOCS))
    run = [sys.executable, "-m", "vrim"]
    subprocess.run([*run, "build", root / "docs.jsonl", "-o", root / "docs.vrim",
                    "--language", "en,ja"], check=True, capture_output=True)
    with serving(root / "docs.vrim") as port:
        yield port


@contextlib.contextmanager
def serving(path, *options):
    """A `vrim serve` process on a free port, yielding the port."""
    process = subprocess.Popen([sys.executable, "-m", "vrim", "serve", path, "--port", "0",
                                *options], stderr=subprocess.PIPE, text=True)
    try:
        line = process.stderr.readline()
        match = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
        assert match, line
        yield int(match.group(1))
    finally:
        process.terminate()
        process.wait(timeout=10)
        process.stderr.close()


def get(port, path, host=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.request("GET", path, headers={"Host": host} if host else {})
    response = connection.getresponse()
    body = response.read()
    connection.close()
    return response.status, response.getheader("Content-Type"), body


def test_json_endpoint(server):
    status, kind, body = get(server, "/search?q=install&limit=5")
    assert (status, kind) == (200, "application/json")
    first = json.loads(body)["hits"][0]
    assert first["ref"] == "guide/install" and first["title"] == {"text": "Installing", "spans": [[0, 10]]}
    status, _, body = get(server, "/search?q=title%3A")
    assert status == 400 and json.loads(body)["error"] == {
        "message": "expecting term, found nothing", "query": "title:", "start": 0, "end": 5}
    assert len(json.loads(get(server, "/search?q=guide*&limit=1")[2])["hits"]) <= 1


@pytest.mark.parametrize("path, host, status", [
    ("/search?q=x&limit=0", None, 400),
    ("/search?q=x&limit=many", None, 400),
    ("/../../etc/passwd", None, 404),
    ("/docs.vrim", None, 404),
    ("/favicon.ico", None, 404),
    ("/", "attacker.example", 403),
    ("/", "localhost:1234", 200),
])
def test_serves_nothing_else(server, path, host, status):
    assert get(server, path, host)[0] == status


@pytest.fixture(scope="module")
def browser():
    pytest.importorskip("selenium")
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service

    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if not chromium or not driver_path:
        pytest.skip("needs Debian's chromium and chromium-driver")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"]:
        options.add_argument(flag)
    try:
        driver = webdriver.Chrome(service=Service(driver_path), options=options)
    except WebDriverException as e:
        pytest.skip(f"chromium does not start here: {e.msg}")
    yield driver
    driver.quit()


def type_query(browser, text):
    from selenium.webdriver.common.by import By
    box = browser.find_element(By.ID, "q")
    box.clear()
    box.send_keys(text)


def wait_for(browser, predicate):
    from selenium.webdriver.support.ui import WebDriverWait
    return WebDriverWait(browser, 10).until(lambda _: predicate())


def test_search_page_in_a_browser(server, browser):
    from selenium.webdriver.common.by import By
    browser.get(f"http://127.0.0.1:{server}/")
    type_query(browser, "wildcard")
    first = wait_for(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "li.hit"))[0]
    assert first.find_element(By.CLASS_NAME, "ref").text == "guide/search"
    marks = first.find_elements(By.CSS_SELECTOR, ".snippet mark")
    assert [m.text for m in marks] == ["wildcard"]

    type_query(browser, "検索エンジン")
    wait_for(browser, lambda: browser.find_element(By.CSS_SELECTOR, "li.hit .ref").text == "guide/kana")
    assert [m.text for m in browser.find_elements(By.CSS_SELECTOR, "li.hit .snippet mark")] == ["検索エンジン"]

    type_query(browser, "install title:^2")
    error = wait_for(browser, lambda: browser.find_element(By.ID, "error").is_displayed()
                     and browser.find_element(By.ID, "error"))
    assert error.find_element(By.TAG_NAME, "mark").text == "2"
    assert "expecting term, found Boost" in error.text
    assert "searched as plain text" in error.text
    wait_for(browser, lambda: [e.text for e in browser.find_elements(
        By.CSS_SELECTOR, "li.hit .ref")] == ["guide/install"])

    type_query(browser, "*")
    wait_for(browser, lambda: "only wildcards" in browser.find_element(By.ID, "error").text)


def test_page_links_keeps_the_query_in_the_url_and_fits_a_phone(server, browser):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    browser.set_window_size(400, 800)
    browser.get(f"http://127.0.0.1:{server}/")
    type_query(browser, "packa")  # the word being typed is a prefix
    link = wait_for(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "li.hit a"))[0]
    assert browser.current_url.endswith("/?q=packa")
    assert "prefix" in browser.find_element(By.ID, "status").text
    browser.find_element(By.ID, "q").send_keys(Keys.ENTER)  # finished: no prefix
    wait_for(browser, lambda: browser.find_element(By.ID, "status").text == "No documents match.")
    type_query(browser, "install")
    browser.find_element(By.ID, "q").send_keys(Keys.ENTER)
    link = wait_for(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "li.hit a"))[0]
    assert link.get_attribute("href").endswith("/doc?ref=guide%2Finstall&q=install")
    link.click()
    wait_for(browser, lambda: browser.find_elements(By.TAG_NAME, "mark"))
    assert [m.text for m in browser.find_elements(By.TAG_NAME, "mark")] == ["Installing", "Install"]
    assert browser.execute_script(
        "return document.documentElement.scrollWidth <= window.innerWidth")
    browser.back()
    wait_for(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "li.hit"))
    assert browser.find_element(By.ID, "q").get_attribute("value") == "install"
    assert browser.execute_script(
        "return document.documentElement.scrollWidth <= window.innerWidth")
    browser.set_window_size(1200, 900)


def test_json_pages_prefix_literal_and_documents(server):
    def search(query):
        status, _, body = get(server, "/search?" + query)
        return status, json.loads(body)

    status, first = search("q=*e*&limit=1")
    assert status == 200 and first["more"] and len(first["hits"]) == 1
    _, rest = search("q=*e*&limit=2&offset=1")
    assert not rest["more"] and first["hits"][0]["ref"] not in [h["ref"] for h in rest["hits"]]
    assert search("q=packa")[1]["hits"] == []
    assert [h["ref"] for h in search("q=packa&prefix=1")[1]["hits"]] == ["guide/install"]
    assert [h["url"] for h in search("q=pip%3A%20install&literal=1")[1]["hits"]] == [
        "doc?ref=guide%2Finstall&q=pip%3A+install&literal=1"]
    assert search("q=*%20title:*")[1]["error"]["kind"] == "wildcard"
    assert search("q=x&limit=101")[0] == 400
    status, kind, page = get(server, "/doc?ref=guide%2Finstall&q=pip")
    assert (status, kind) == (200, "text/html; charset=utf-8")
    assert "with <mark>pip</mark>, then" in page.decode()
    assert get(server, "/doc?ref=guide%2Fnone")[0] == 404


def test_hits_link_to_the_published_page_with_a_base_url(tmp_path):
    from vrim._cli.opened import open_index
    from vrim._cli.serve import SearchServer, with_prefix
    (tmp_path / "d.json").write_text('[{"id": "a b/", "body": "x"}]')
    subprocess.run([sys.executable, "-m", "vrim", "build", tmp_path / "d.json", "-o",
                    tmp_path / "x.vrim", "--base-url", "https://example.org/docs/"],
                   check=True, capture_output=True)
    server = SearchServer(("127.0.0.1", 0), open_index(str(tmp_path / "x.vrim"), None))
    try:
        assert server.url("a b/", "x", False) == "https://example.org/docs/a%20b/"
    finally:
        server.server_close()
    assert [with_prefix(q) for q in ["conf", "a conf", "title:co", "x ", "a~1", "b*", "c\\d", "検索"]] == [
        "conf*", "a conf*", "title:co*", "x ", "a~1", "b*", "c\\d", "検索"]


def test_serve_errors_are_one_line(server, tmp_path):
    index = tmp_path / "x.vrim"
    (tmp_path / "d.json").write_text('[{"id": "a", "body": "x"}]')
    subprocess.run([sys.executable, "-m", "vrim", "build", tmp_path / "d.json", "-o", index],
                   check=True, capture_output=True)
    for options, message in [(["--port", str(server)], "Address already in use"),
                             (["--port", "70000"], "invalid port '70000'"),
                             (["--port", "eighty"], "invalid port 'eighty'"),
                             (["--host", "host.invalid", "--port", "0"], "unknown host"),
                             (["--host", "192.0.2.1", "--port", "0"], "cannot serve on")]:
        result = subprocess.run([sys.executable, "-m", "vrim", "serve", index, *options],
                                capture_output=True, text=True, timeout=30)
        assert result.returncode == 1 and result.stderr.count("\n") == 1, result.stderr
        assert result.stderr.startswith("vrim: error: ") and message in result.stderr
