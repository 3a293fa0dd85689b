"""`vrim serve`: the JSON endpoint over HTTP, and the page in a real browser."""

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
    process = subprocess.Popen([*run, "serve", root / "docs.vrim", "--port", "0"],
                               stderr=subprocess.PIPE, text=True)
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
    assert browser.find_elements(By.CSS_SELECTOR, "li.hit") == []
