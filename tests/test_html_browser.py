"""The html report in a real browser: headless Chromium loads it and the test reads the DOM.

The page writes every script error, console error and blocked request into its
#kulvo-errors element, so a DOM dump shows whether it rendered cleanly.
"""

from __future__ import annotations

import re
import shutil
import subprocess
from pathlib import Path

import pytest

from kulvo import storage

pytestmark = pytest.mark.browser

BROWSERS = ("chromium", "chromium-browser", "google-chrome")


@pytest.fixture(scope="module")
def browser() -> str:
    for name in BROWSERS:
        found = shutil.which(name)
        if found:
            return found
    pytest.skip("no headless Chromium here: install Debian's chromium package (scripts/test-deps.txt lists it)")


def dump_dom(browser: str, page: Path, profile_dir: Path) -> str:
    command = [
        browser,
        "--headless",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--no-first-run",
        f"--user-data-dir={profile_dir}",
        "--virtual-time-budget=2000",
        "--dump-dom",
        page.as_uri(),
    ]
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        pytest.skip("Chromium did not finish loading the page within 120 s")
    if result.returncode != 0 or "<html" not in result.stdout:
        pytest.skip(f"Chromium could not run here (exit {result.returncode}): {result.stderr.strip()[-300:]}")
    return result.stdout


def errors_in(dom: str) -> tuple[int, str]:
    match = re.search(r'<pre id="kulvo-errors" data-count="(\d+)"[^>]*>(.*?)</pre>', dom, re.S)
    assert match, "the page lost its error box"
    return int(match.group(1)), match.group(2)


def with_script(page: str, script: str) -> str:
    """The page with an extra inline script run after everything else."""
    return page.replace("</body>", f"<script>{script}</script></body>")


@pytest.fixture(scope="module")
def report_html(saved_profile: Path) -> str:
    return storage.load(saved_profile).render("html")


class TestInChromium:
    def test_charts_and_flame_graph_render_without_errors(self, browser, report_html, tmp_path):
        page = tmp_path / "report.html"
        page.write_text(report_html, encoding="utf-8")
        dom = dump_dom(browser, page, tmp_path / "chrome")
        count, text = errors_in(dom)
        assert count == 0, text
        drawn = int(re.search(r'id="flame" data-drawn="(\d+)"', dom).group(1))
        assert drawn >= 3  # all samples, <module> and the program's functions
        assert dom.count('class="flame-node') == drawn
        assert re.search(r'class="flame-node[^"]*"[^>]*><span>spin +spiky\.py:1[12]</span>', dom)
        for chart in ("cpu-chart", "rss-chart"):
            svg = dom.split(f'id="{chart}"')[1].split("</svg>")[0]
            assert '<polyline class="line"' in svg

    def test_clicking_a_frame_zooms_to_it(self, browser, report_html, tmp_path):
        click = """
        var spin = Array.prototype.find.call(document.querySelectorAll(".flame-node span"),
                                             function (s) { return s.textContent.indexOf("spin") === 0; });
        spin.parentNode.click();
        var focus = document.querySelector(".flame-node.focus");
        document.body.setAttribute("data-focus", focus.textContent + "|" + focus.style.left + "|" + focus.style.width);
        document.body.setAttribute("data-ancestors", String(document.querySelectorAll(".flame-node.ancestor").length));
        document.getElementById("flame-reset").click();
        document.body.setAttribute("data-after-reset", document.querySelector(".flame-node.focus").textContent);
        """
        page = tmp_path / "zoom.html"
        page.write_text(with_script(report_html, click), encoding="utf-8")
        dom = dump_dom(browser, page, tmp_path / "chrome")
        count, text = errors_in(dom)
        assert count == 0, text
        label, left, width = re.search(r'data-focus="([^"]*)"', dom).group(1).split("|")
        assert label.startswith("spin") and left == "0%" and width == "calc(100% - 1px)"
        # Above the zoomed frame: the root and <module>, greyed.
        assert int(re.search(r'data-ancestors="(\d+)"', dom).group(1)) == 2
        assert re.search(r'data-after-reset="([^"]*)"', dom).group(1) == "all samples"

    def test_search_marks_the_matching_frames_and_their_share(self, browser, report_html, tmp_path):
        search = """
        var box = document.getElementById("flame-search");
        box.value = "SPIN";
        box.dispatchEvent(new Event("input"));
        var marked = Array.prototype.map.call(document.querySelectorAll(".flame-node.match"),
                                              function (n) { return n.textContent; });
        document.body.setAttribute("data-marked", marked.join("|"));
        document.body.setAttribute("data-found", document.getElementById("flame-found").textContent);
        """
        page = tmp_path / "search.html"
        page.write_text(with_script(report_html, search), encoding="utf-8")
        dom = dump_dom(browser, page, tmp_path / "chrome")
        assert errors_in(dom)[0] == 0
        marked = re.search(r'data-marked="([^"]*)"', dom).group(1).split("|")
        assert marked and all(label.startswith("spin") for label in marked)
        share = float(re.search(r'data-found="matches ([0-9.]+)% of the time"', dom).group(1))
        assert 0 < share < 100

    def test_a_script_error_would_be_caught(self, browser, report_html, tmp_path):
        # The check above is only worth something if an error does reach the error box.
        page = tmp_path / "broken.html"
        page.write_text(with_script(report_html, "console.error('planted'); undefinedFunction();"), encoding="utf-8")
        count, text = errors_in(dump_dom(browser, page, tmp_path / "chrome"))
        assert count == 2
        assert "planted" in text and "undefinedFunction" in text
