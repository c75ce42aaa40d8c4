"""The notebook report as a browser draws it: headless Chromium takes a screenshot, and the bars'
widths in pixels are measured against the counts; the page holds hostile names and cells as text,
never as markup; a wide file folds into pages.

Set QUORVEL_PICTURE=docs/report.png to keep the screenshot of examples/messy.csv that the README
shows, cut to the report.
"""
import csv
import dataclasses
import html.parser
import itertools
import os
import pathlib
import shutil
import subprocess

import pytest
from PIL import Image, ImageChops

import quorvel
from quorvel import notebook

REPO = pathlib.Path(__file__).resolve().parents[2]
WINDOW = (1400, 1000)
THEMES = {"light": "background:#ffffff;color:#111111", "dark": "background:#1e1e1e;color:#dddddd"}
BAR_COLOURS = {tuple(int(c[i:i + 2], 16) for i in (1, 3, 5))
               for c in notebook.PALETTE + tuple(notebook.FIXED_COLOURS.values())}
PROBE_NAME = "<img src=x onerror=alert(1)>"
# Cells the verdict leaves out, shown as examples: quotes, ampersands and a closing tag.
PROBE_CELLS = ["Tom & \"Jerry\"", "it's <b>bold</b>", "</td><script>alert(2)</script>"]


def chromium(*args):
    binary = shutil.which("chromium")
    assert binary, "chromium is missing: scripts/setup.sh installs it"
    return subprocess.run([binary, "--headless", "--no-sandbox", "--disable-gpu",
                           "--hide-scrollbars", "--force-device-scale-factor=1",
                           f"--window-size={WINDOW[0]},{WINDOW[1]}", *map(str, args)],
                          capture_output=True, text=True, timeout=120, check=True,
                          env=BROWSER_ENVIRONMENT)


# The browser is a tool here, not under test: it runs without the sanitizer runtime that
# scripts/asan_pytest.sh preloads into the tests' processes.
BROWSER_ENVIRONMENT = {k: v for k, v in os.environ.items()
                       if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def page(report, theme="light"):
    return ('<!doctype html><html><head><meta charset="utf-8"></head>'
            f'<body style="margin:8px;{THEMES[theme]}">{report._repr_html_()}</body></html>')


def screenshot(report, tmp_path, theme="light"):
    source, shot = tmp_path / f"{theme}.html", tmp_path / f"{theme}.png"
    source.write_text(page(report, theme), encoding="utf-8")
    chromium(f"--screenshot={shot}", source.as_uri())
    return Image.open(shot).convert("RGB")


def bars_in(image):
    """Every bar drawn, top to bottom, as its parts' (colour, width in pixels): a run of bar
    colours exactly notebook.BAR_PX wide, the same on each pixel row of its height."""
    bars, previous = [], None
    for y in range(image.height):
        row = [image.getpixel((x, y)) for x in range(image.width)]
        bar = _bar_on_row(row)
        if bar and bar != previous:
            bars.append(bar)
        previous = bar
    return bars


def _bar_on_row(row):
    runs = [(colour, len(list(pixels))) for colour, pixels in itertools.groupby(row)]
    current = []
    for colour, width in runs + [(None, 0)]:
        if colour in BAR_COLOURS:
            current.append((colour, width))
            continue
        if sum(w for _, w in current) == notebook.BAR_PX:
            return tuple(current)
        current = []
    return None


def assert_bars_match_counts(report, bars):
    assert len(bars) == len(report.columns)
    colour_of = {}
    for column, bar in zip(report.columns, bars):
        # Every cell of the column: its types largest first, then missing, then absent.
        parts = [(kind, n) for kind, n in sorted(column.counts.items(), key=lambda kv: -kv[1])
                 + [("NA", column.missing), ("absent", column.absent)] if n]
        whole = sum(n for _, n in parts)
        assert whole == report.rows * column.shared, column.name
        assert len(bar) == len(parts), column.name
        for (kind, n), (colour, width) in zip(parts, bar):
            assert abs(width - n * notebook.BAR_PX / whole) <= 1, (column.name, kind, width)
            # One colour per type, the same in every column.
            assert colour_of.setdefault(kind, colour) == colour, (column.name, kind)
    assert len(set(colour_of.values())) == len(colour_of)
    return colour_of


@pytest.fixture
def probe(tmp_path):
    """A file whose column names and misfits would be markup if they were not escaped, and whose
    counts give parts of every kind: types, other, NA and absent."""
    rows = ([[i, i * 0.5, i % 7] for i in range(1, 151)] + [[i, "NA", i] for i in range(20)]
            + [[i] for i in range(10)] + [[f"x{i}", PROBE_CELLS[i % 3], i] for i in range(6)])
    name = tmp_path / "probe.csv"
    with open(name, "w", encoding="utf-8", newline="") as f:
        csv.writer(f).writerows([["count", "ratio", PROBE_NAME]] + rows)
    return quorvel.describe(name)


@pytest.mark.parametrize("theme", THEMES)
def test_bars_are_as_wide_as_their_counts_in_either_theme(probe, tmp_path, theme):
    parts = {kind for c in probe.columns for kind, _ in notebook.segments(c)}
    assert {"other", "NA", "absent", "integer", "decimal"} <= parts
    colour_of = assert_bars_match_counts(probe, bars_in(screenshot(probe, tmp_path, theme)))
    assert colour_of["NA"] == (0xb8, 0xb8, 0xb8)


def test_the_example_file_draws_as_its_counts_say(tmp_path, monkeypatch):
    monkeypatch.chdir(REPO)  # so that the page names the file as the README does
    report = quorvel.describe("examples/messy.csv")
    image = screenshot(report, tmp_path)
    widths = assert_bars_match_counts(report, bars_in(image))
    assert len(widths) >= 10
    picture = os.environ.get("QUORVEL_PICTURE")
    if picture:
        blank = Image.new("RGB", image.size, image.getpixel((0, 0)))
        _, _, right, bottom = ImageChops.difference(image, blank).getbbox()
        cut = image.crop((0, 0, right + 8, bottom + 8))
        cut.quantize(colors=256).save(REPO / picture, optimize=True)  # a small file to commit


class Markup(html.parser.HTMLParser):
    """The elements, attributes and text of a page as a browser's parser reads them."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.tags, self.attributes, self.texts = [], [], []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self.attributes += attrs

    def handle_data(self, data):
        self.texts.append(data)


def test_names_and_cells_show_as_text_never_as_markup(probe, tmp_path):
    raw = probe._repr_html_()
    assert "<img" not in raw and "<script" not in raw
    assert_text_not_markup(raw)
    # Then as the browser built the page: an unescaped script would also stall it.
    source = tmp_path / "probe.html"
    source.write_text(page(probe), encoding="utf-8")
    assert_text_not_markup(chromium("--dump-dom", source.as_uri()).stdout)


def assert_text_not_markup(text):
    markup = Markup(text)
    assert not {"img", "script", "b"} & set(markup.tags)
    assert not [name for name, _ in markup.attributes if name.startswith("on")]
    assert PROBE_NAME in markup.texts
    shown = "".join(markup.texts)
    hovers = "\n".join(v for name, v in markup.attributes if name == "title")
    for cell in PROBE_CELLS:
        assert repr(cell) in shown and repr(cell) in hovers, cell


def test_a_wide_file_opens_its_first_columns_and_folds_the_rest_into_pages(probe):
    template = probe.columns[0]
    columns = [dataclasses.replace(template, name=f"c{i}", position=i) for i in range(2000)]
    wide = Markup(dataclasses.replace(probe, columns=columns)._repr_html_())
    names = [t for t in wide.texts if t.startswith("c") and t[1:].isdigit()]
    assert names == [f"c{i}" for i in range(2000)]
    pages = [t for t in wide.texts if t.startswith("columns ")]
    assert pages == [f"columns {s + 1} to {min(s + 250, 2000)} of 2000"
                     for s in range(50, 2000, 250)]
    assert wide.tags.count("details") == len(pages) == 8
    assert wide.tags.count("table") == 1 + len(pages)


@pytest.mark.parametrize("counts", [
    [1], [1, 1, 1], [2, 1], [50, 30, 20], [1, 999_999], [3, 3, 3, 1], [7, 0, 5],
    [123, 456, 789, 1011, 12], [1] * 400, [0, 0],
])
def test_bar_widths_add_up_and_keep_every_part_visible(counts):
    widths = notebook.widths_px(counts)
    whole = sum(counts)
    assert sum(widths) == (notebook.BAR_PX if whole else 0)
    for n, width in zip(counts, widths):
        assert (width >= 1) == (n > 0)
        if n and n * notebook.BAR_PX >= whole:  # big enough for a pixel of its own
            assert abs(width - n * notebook.BAR_PX / whole) < 1
