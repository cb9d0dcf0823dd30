"""`make html-check`: hotpsim's HTML page opened in a real browser.

Each run of the table below writes its page with --html; headless Chromium renders it to a
screenshot and dumps the DOM it built. The check holds the page to what it promises:
  - every device of the run (as --json lists them) is in the tree;
  - every rectangle of an address map that names a parent lies inside it, in addresses (data-start,
    data-end) and, within one drawing, on the screen (x, width, y, height);
  - the screenshot is not blank: the maps' colours are on it;
  - nothing is fetched: no script, link, picture or remote address in the page.

Usage: html_check.py HOTPSIM WORKDIR [--picture PNG] [--measure]
  --picture  also copy the replug run's screenshot there (the README's picture)
  --measure  also write the page of the largest generated machine and say its size and how long
             the browser takes to open it (beside the time it takes for an empty page)
"""
import argparse
import html.parser
import json
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
NESTED = 'name = "the nested bridge card into slot 2"\n' \
         '[[event]]\nat = "100ms"\ninsert = "nested bridge card"\nslot = "slot 2"\n'
# The published dump replugged: the AGP bridge of a dual Pentium III board with the two functions
# of its graphics card behind it, whose windows firmware made larger than the driver asks for.
DUMP = os.path.join(ROOT, "tests", "data", "lspci", "asus-cuv266-dls.txt")
REPLUG = "00:01.0"
EXPLORE = ["--machine", os.path.join(ROOT, "docs", "concurrency", "machine.toml"),
           "--scenario", os.path.join(ROOT, "docs", "concurrency", "r3-bus-scanning-driver.toml"),
           "--explore", "pct", "--preemptions", "1", "--schedules", "20"]
# The map's fills (style of views/html.cpp), as the screenshot shows them.
FILLS = {(0x99, 0xcc, 0xdd), (0x99, 0xdd, 0x99), (0xee, 0xbb, 0x88)}
LARGEST = "width=8,depth=8,buses=255"
# The largest machine's page must stay a page one can attach to a bug report.
LARGEST_PAGE_BYTES = 6 << 20


class Page(html.parser.HTMLParser):
    """What the check reads of a DOM dump: tree entries, rectangles by drawing, fetching tags."""

    def __init__(self):
        super().__init__()
        self.devices = set()
        self.rects = {}       # id -> attributes
        self.all_rects = []   # (svg index, attributes)
        self.svg = -1
        self.fetching = []
        self.findings = []

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "svg":
            self.svg += 1
        if tag in ("script", "link", "img", "iframe", "object", "embed", "image", "use"):
            self.fetching.append(tag)
        if tag == "li" and "data-device" in a:
            self.devices.add(a["data-device"])
        if tag == "section" and "data-token" in a:
            self.findings.append(a["data-token"])
        if tag == "rect" and "data-kind" in a:
            self.all_rects.append((self.svg, a))
            if "id" in a:
                self.rects[a["id"]] = (self.svg, a)


def hotpsim(binary, *arguments, expect=(0, 1)):
    # From the top of the tree, so that an imported machine is named by its path there.
    result = subprocess.run([os.path.abspath(binary), *arguments], capture_output=True, text=True,
                            timeout=900, cwd=ROOT)
    if result.returncode not in expect:
        raise SystemExit(f"html-check: hotpsim {' '.join(arguments)} exited {result.returncode}:\n"
                         f"{result.stderr}")
    return result.stdout


def devices_of(binary, arguments):
    """Every device of a run, as its --json device records name them."""
    out = hotpsim(binary, "--json", *arguments)
    records = [json.loads(line) for line in out.splitlines()]
    return {r["bdf"] or r["name"] for r in records if r.get("kind") == "device"}


def chromium(page, *arguments, timeout=300):
    profile = page + ".profile"
    shutil.rmtree(profile, ignore_errors=True)
    command = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
               "--no-first-run", "--no-default-browser-check", "--disable-extensions",
               "--disable-background-networking", "--disable-component-update",
               "--user-data-dir=" + profile, *arguments]
    result = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    shutil.rmtree(profile, ignore_errors=True)
    if result.returncode != 0:
        raise SystemExit(f"html-check: chromium {' '.join(arguments)} exited {result.returncode}:\n"
                         f"{result.stderr[-2000:]}")
    return result.stdout


def inside(child, parent):
    """A rectangle's addresses inside its parent's."""
    start, end = int(child["data-start"], 16), int(child["data-end"], 16)
    outer = int(parent["data-start"], 16), int(parent["data-end"], 16)
    return outer[0] <= start <= end <= outer[1]


def on_screen_inside(child, parent):
    x, w, y, h = (float(child[k]) for k in ("x", "width", "y", "height"))
    px, pw, py, ph = (float(parent[k]) for k in ("x", "width", "y", "height"))
    slack = 0.11  # the page writes positions to a tenth of a pixel
    return (px - slack <= x and x + w <= px + pw + slack and py - slack <= y and
            y + h <= py + ph + slack)


def check_dom(name, dom, devices):
    page = Page()
    page.feed(dom)
    problems = []
    missing = sorted(devices - page.devices)
    if missing:
        problems.append(f"devices not on the page: {', '.join(missing)}")
    if page.fetching:
        problems.append(f"tags that fetch: {sorted(set(page.fetching))}")
    windows = 0
    for svg, rect in page.all_rects:
        parent_id = rect.get("data-parent")
        if parent_id is None:
            continue
        windows += 1
        if parent_id not in page.rects:
            problems.append(f"{rect.get('id', rect['data-kind'])}: parent {parent_id} is not on the page")
            continue
        parent_svg, parent = page.rects[parent_id]
        what = f"{rect['data-kind']} {rect.get('data-device', '')} {rect['data-start']}-{rect['data-end']}"
        if not inside(rect, parent):
            problems.append(f"{what} lies outside {parent_id} ({parent['data-start']}-{parent['data-end']})")
        elif parent_svg == svg and not on_screen_inside(rect, parent):
            problems.append(f"{what} is drawn outside {parent_id}")
    if windows == 0:
        problems.append("no rectangle names its parent: the maps are missing")
    return page, problems


def not_blank(png):
    from PIL import Image
    with Image.open(png) as image:
        colours = image.convert("RGB").getcolors(maxcolors=1 << 20) or []
    present = {c for _, c in colours}
    return len(colours) > 8 and bool(FILLS & present)


def run_table(binary, work, picture):
    os.makedirs(work, exist_ok=True)
    nested = os.path.join(work, "nested.toml")
    with open(nested, "w") as file:
        file.write(NESTED)
    imported = os.path.join(work, "replugged.toml")
    hotpsim(binary, "import", os.path.relpath(DUMP, ROOT), "-o", imported, expect=(0,))
    runs = [
        ("built-in", []),
        ("nested", ["--scenario", nested]),
        ("replug", ["--machine", imported, "--replug", REPLUG]),
        ("explore", EXPLORE),
    ]
    failures = 0
    for name, arguments in runs:
        page_file = os.path.join(work, name + ".html")
        hotpsim(binary, *arguments, "--html", page_file)
        with open(page_file) as file:
            text = file.read()
        if name == "explore":
            # The devices of the schedule the page draws: its first finding's, played again.
            token = Page()
            token.feed(text)
            if not token.findings:
                print(f"html-check: {name}: no finding to draw")
                failures += 1
                continue
            devices = devices_of(binary, EXPLORE[:4] + ["--replay", token.findings[0]])
        else:
            devices = devices_of(binary, arguments)
        url = "file://" + os.path.abspath(page_file)
        dom = chromium(page_file, "--dump-dom", url)
        # Tall enough for the first maps of every run (a headless screenshot does not scroll to
        # an anchor); a replug's table and its card's maps come first on its page.
        png = os.path.join(work, name + ".png")
        chromium(page_file, "--screenshot=" + png, "--window-size=1000,2400", url)
        page, problems = check_dom(name, dom, devices)
        remote = [w for w in ("<script", "url(", "https://", "@import") if w in text]
        if remote:
            problems.append(f"the page would fetch: {remote}")
        if not not_blank(png):
            problems.append(f"the screenshot {png} is blank")
        print(f"html-check: {name}: {len(devices)} devices, {len(page.all_rects)} rectangles, "
              f"{len(text)} bytes: " + ("ok" if not problems else "FAILED"))
        for p in problems:
            print("    " + p)
        failures += bool(problems)
        if name == "replug" and picture and not problems:
            from PIL import Image
            with Image.open(png) as image:
                image.crop((0, 0, 1000, 900)).save(picture, optimize=True)
    return len(runs), failures


def measure(binary, work):
    page_file = os.path.join(work, "largest.html")
    began = time.monotonic()
    hotpsim(binary, "--generate", LARGEST, "--html", page_file)
    written = time.monotonic() - began
    size = os.path.getsize(page_file)
    empty = os.path.join(work, "empty.html")
    with open(empty, "w") as file:
        file.write("<!DOCTYPE html><title>empty</title>")
    # Opening is the time to a screenshot of the first screen, the best of three (the machine may
    # be busy); the empty page's time is the browser's own start.
    times = {}
    for label, path in (("empty page", empty), ("largest page", page_file)):
        best = None
        for _ in range(3):
            began = time.monotonic()
            chromium(path, "--screenshot=" + path + ".png", "--window-size=1000,1000",
                     "file://" + os.path.abspath(path))
            best = min(best or 1e9, time.monotonic() - began)
        times[label] = best
    print(f"html-check: --generate {LARGEST}: page {size} bytes ({size / 1024:.0f} KiB), "
          f"written by hotpsim in {written:.1f} s; the browser opens it in {times['largest page']:.2f} s "
          f"(an empty page: {times['empty page']:.2f} s)")
    if size > LARGEST_PAGE_BYTES:
        print(f"html-check: the largest machine's page is over {LARGEST_PAGE_BYTES} bytes")
        return 1
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("hotpsim")
    parser.add_argument("work", type=os.path.abspath)
    parser.add_argument("--picture")
    parser.add_argument("--measure", action="store_true")
    args = parser.parse_args()
    runs, failures = run_table(args.hotpsim, args.work, args.picture)
    if args.measure:
        runs += 1
        failures += measure(args.hotpsim, args.work)
    print(f"{runs - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
