"""The HTML report in a real headless browser (Debian's chromium through
selenium): it loads with no console error and no network request, and
shows one row and one logo per motif, sortable and filterable."""

import json
import os
import shutil

import numpy as np
import pytest

import vokscan

from synthetic import MOTIFS, consensus, planted_peaks, write_fasta

pytest.importorskip("vokscan._engine")
pytest.importorskip("jinja2", reason="the report needs the report extra (jinja2)")
pytest.importorskip("matplotlib", reason="the report needs the report extra (matplotlib)")
webdriver = pytest.importorskip("selenium.webdriver", reason="the browser test needs selenium")


def browser_paths():
    binary = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    if binary is None or driver is None:
        pytest.skip("the browser test needs Debian's chromium and chromium-driver "
                    "(apt-get install chromium chromium-driver; tools/run_tests.sh does it as root)")
    return binary, driver


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    folder = tmp_path_factory.mktemp("report")
    rng = np.random.default_rng(9)
    peaks = write_fasta(folder / "peaks.fa", planted_peaks(rng, 40, 200, {consensus("MA0148.5.FOXA1"): 0.5}))
    path = folder / "report.html"
    table = vokscan.enrich(MOTIFS, peaks, report=path)
    return path, table


@pytest.fixture(scope="module")
def browser():
    binary, driver_path = browser_paths()
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,1000"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    # The browser is not the code under test: no sanitizer runtime preloaded into it.
    environment = {key: value for key, value in os.environ.items()
                   if key not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
    service = Service(executable_path=driver_path, env=environment)
    driver = webdriver.Chrome(service=service, options=options)
    yield driver
    driver.quit()


def test_the_report_loads_cleanly_with_a_row_and_a_logo_per_motif(report, browser):
    from selenium.webdriver.common.by import By

    path, table = report
    url = path.as_uri()
    browser.get(url)
    errors = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
    assert errors == []
    requested = []
    for entry in browser.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            requested.append(message["params"]["request"]["url"])
    assert requested and all(address == url for address in requested), requested

    rows = browser.find_elements(By.CSS_SELECTOR, "#motifs tbody tr")
    assert [row.find_elements(By.TAG_NAME, "td")[2].text for row in rows] == table["motif_id"].tolist()
    logos = browser.find_elements(By.CSS_SELECTOR, "#motifs tbody tr svg.logo")
    assert len(logos) == len(table)
    for logo in logos:
        assert logo.size["width"] > 0 and logo.find_elements(By.TAG_NAME, "use")
    assert rows[0].find_elements(By.TAG_NAME, "td")[1].text == "FOXA1"
    figures = browser.find_elements(By.CSS_SELECTOR, "figure svg")
    assert len(figures) == 2 and all(f.size["height"] > 100 for f in figures)


def test_the_table_sorts_and_filters(report, browser):
    from selenium.webdriver.common.by import By

    path, table = report
    browser.get(path.as_uri())

    def shown_ids():
        return [row.find_elements(By.TAG_NAME, "td")[2].text
                for row in browser.find_elements(By.CSS_SELECTOR, "#motifs tbody tr") if row.is_displayed()]

    rank = browser.find_element(By.XPATH, "//th[text()='rank']")
    rank.click()
    rank.click()  # descending
    assert shown_ids() == table["motif_id"].tolist()[::-1]
    browser.find_element(By.XPATH, "//th[text()='motif']").click()
    assert shown_ids() == table.sort_values("motif_name", kind="stable")["motif_id"].tolist()
    browser.find_element(By.ID, "filter").send_keys("gata")
    assert shown_ids() == ["MA0035.5.GATA1"]
