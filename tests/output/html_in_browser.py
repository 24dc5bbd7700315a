#!/usr/bin/python3
"""The --html page in a real browser: Debian's chromium, headless, driven by
chromedriver through python3-selenium.

    html_in_browser.py STILLSIFT

Makes a small talk (three slides with big words, a moving stretch between
the second and the third) in a folder whose name has spaces, quotes, '#',
'%' and non-ASCII letters, runs stillsift with --ocr eng --html, opens the
page and checks that every image loads, that clicking a slide plays the
video from the slide's start, that the arrow keys move between slides, that
the filter box keeps only the slides holding the words typed, and that the
browser logs no error. A browser that cannot start fails the test.
"""
import subprocess
import sys
import tempfile
import urllib.parse
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
# Each slide's words, shown for 6 s; a moving test pattern for 8 s after
# the second.
SLIDES = ["APPLE BANANA", "CHERRY MELON", "GRAPE LEMON"]


def make_talk(path):
    inputs = []
    filters = []
    for i, words in enumerate(SLIDES):
        inputs += ["-f", "lavfi", "-i", "color=c=white:s=640x360:r=10:d=6"]
        filters.append(f"[{len(inputs) // 4 - 1}:v]drawtext=fontfile={FONT}:text='{words}':"
                       f"fontsize=56:fontcolor=black:x=(w-tw)/2:y=(h-th)/2[s{i}]")
    inputs += ["-f", "lavfi", "-i", "testsrc2=s=640x360:r=10:d=8"]
    moving = len(inputs) // 4 - 1
    filters.append(f"[s0][s1][{moving}:v][s2]concat=n=4:v=1:a=0[out]")
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", *inputs,
                    "-filter_complex", ";".join(filters), "-map", "[out]",
                    "-c:v", "libvpx", "-b:v", "1M", str(path)], check=True)


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    # Without the networking switches the browser reaches out to the network
    # on start; as root it needs --no-sandbox.
    for switch in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                   "--no-first-run", "--disable-background-networking",
                   "--disable-component-update", "--disable-sync",
                   f"--user-data-dir={profile}", "--window-size=1200,900"]:
        options.add_argument(switch)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def check_page(browser, page):
    browser.get(Path(page).as_uri())
    browser.execute_async_script(
        "var done = arguments[0];"
        "if (document.readyState === 'complete') done(); "
        "else window.addEventListener('load', function () { done(); });")

    images = browser.find_elements(By.CSS_SELECTOR, ".tile img")
    check(len(images) == len(SLIDES), f"{len(images)} slide images for {len(SLIDES)} slides")
    for image in images:
        check(browser.execute_script("return arguments[0].naturalWidth", image) > 0,
              f"image does not load: {image.get_attribute('src')}")
    check(len(browser.find_elements(By.CSS_SELECTOR, ".tile.video")) == 1,
          "the moving stretch is not shown as a video")

    browser.execute_script(
        "window.metadataLoaded = new Promise(function (done) {"
        "  var v = document.getElementById('player');"
        "  if (v.readyState >= 1) done(); else v.addEventListener('loadedmetadata', done); });")
    browser.execute_async_script("window.metadataLoaded.then(arguments[0]);")

    tiles = browser.find_elements(By.CSS_SELECTOR, ".tile")
    for tile in [tiles[1], tiles[3], tiles[0]]:
        start = float(tile.get_attribute("data-start"))
        tile.click()
        time = browser.execute_script("return document.getElementById('player').currentTime")
        check(abs(time - start) <= 0.5, f"clicked at {start} s, the video is at {time} s")

    # From the first tile the right arrow goes to the second, the left back.
    body = browser.find_element(By.TAG_NAME, "body")
    body.send_keys(Keys.ARROW_RIGHT)
    check(browser.switch_to.active_element == tiles[1], "the right arrow does not move on")
    time = browser.execute_script("return document.getElementById('player').currentTime")
    check(abs(time - float(tiles[1].get_attribute("data-start"))) <= 0.5,
          "the right arrow does not take the video along")
    browser.switch_to.active_element.send_keys(Keys.ARROW_LEFT)
    check(browser.switch_to.active_element == tiles[0], "the left arrow does not move back")

    search = browser.find_element(By.ID, "filter")
    for typed, shown in [("cherry", ["CHERRY"]), ("lemon GRAPE", ["GRAPE"]),
                         ("apple melon", []), ("", SLIDES)]:
        search.clear()
        search.send_keys(typed or " ")
        visible = [t.find_element(By.TAG_NAME, "figcaption").text for t in tiles if t.is_displayed()]
        texts = [t.get_attribute("data-text") or "" for t in tiles if t.is_displayed()]
        check(len(visible) == len(shown) + (1 if typed == "" else 0),
              f"typed {typed!r}, shown {visible}")
        for word in shown:
            check(any(word.split()[0] in text.upper() for text in texts),
                  f"typed {typed!r}, {word} not among {texts}")

    errors = [e for e in browser.get_log("browser") if e["level"] in ("SEVERE", "WARNING")]
    check(not errors, f"the browser logged: {errors}")


def main():
    stillsift = sys.argv[1]
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch) / "Vortr\u00e4ge 'n\u00e4chste' \"Woche\" #2 100%"
        folder.mkdir()
        video = folder / "talk #1 \u00e9t\u00e9 50%.webm"
        make_talk(video)
        out = folder / "slides of \u00fc 'a' \"b\" #3 %20"
        page = folder / "pages" / "read 'me' #1 %41 \u00e4.html"
        page.parent.mkdir()
        run = subprocess.run([stillsift, "--input", str(video), "--out", str(out), "--ocr", "eng",
                              "--html", str(page), "--video-changes", "1", "--video-window", "2"],
                             capture_output=True, text=True)
        check(run.returncode == 0, f"stillsift failed: {run.stderr}")
        browser = start_browser(Path(scratch) / "profile")
        try:
            check_page(browser, page)
        finally:
            browser.quit()
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
