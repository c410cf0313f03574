#!/usr/bin/env python3
"""The commissioning report in a real browser.

The bench polls its simulated meter for 20 rounds, one a second (each round
its own snapshot), with phase A out from round 10 and the first request of
round 4 unanswered, writing --csv and --report. Headless Chromium opens the
report with every host name unresolvable and must show it with no console
error and no request but the file itself: every chart drawn, the verdict
text, the Chinese keys in a font that has them, the failure on the failure
timeline at round 4 and the alarm's mark on the voltage chart at round 10,
the wiring and supply quality section with its findings and the charts of
voltage deviation and unbalance with their standards' limit lines.
Given the page's own words in another language in its data ("texts"), the
charts' titles, axes, marks and failure kinds show them, colours unchanged.

Exit 0 when it holds, 1 when not, 77 (skipped) only when Chromium is not
installed or does not start.
"""

import argparse
import csv
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from headless_chromium import Browser, BrowserError, ChromiumUnavailable  # noqa: E402

SKIPPED = 77
FAILED_ROUND = 4  # its first request (the run's 7th) goes unanswered
OUTAGE_ROUND = 10

# Script run in the page: what each canvas shows, where the marks are drawn.
PROBE = r"""
(() => {
  const rgb = (hex) => [1, 3, 5].map((i) => parseInt(hex.substr(i, 2), 16));
  const near = (d, i, c) => Math.abs(d[i] - c[0]) < 40 && Math.abs(d[i + 1] - c[1]) < 40 &&
                            Math.abs(d[i + 2] - c[2]) < 40 && d[i + 3] > 128;
  const pixels = (canvas) => canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
  const canvases = [...document.querySelectorAll('canvas')].map((c) => {
    const d = pixels(c).data;
    let drawn = 0;
    for (let i = 3; i < d.length; i += 4) if (d[i] > 0) ++drawn;
    return { id: c.id, drawn, total: d.length / 4 };
  });
  // Rows of the plot area with the colour in columns px-2..px+2.
  const columnHits = (chart, px, colour) => {
    const img = pixels(chart.canvas), area = chart.chartArea, c = rgb(colour);
    let hits = 0;
    for (let y = Math.ceil(area.top); y < Math.floor(area.bottom); ++y) {
      for (let x = Math.round(px) - 2; x <= Math.round(px) + 2; ++x) {
        if (near(img.data, (y * img.width + x) * 4, c)) { ++hits; break; }
      }
    }
    return { hits, rows: Math.floor(area.bottom) - Math.ceil(area.top) };
  };
  // Columns of the plot area with the colour in rows py-2..py+2.
  const rowHits = (chart, py, colour) => {
    const img = pixels(chart.canvas), area = chart.chartArea, c = rgb(colour);
    let hits = 0;
    for (let x = Math.ceil(area.left); x < Math.floor(area.right); ++x) {
      for (let y = Math.round(py) - 2; y <= Math.round(py) + 2; ++y) {
        if (near(img.data, (y * img.width + x) * 4, c)) { ++hits; break; }
      }
    }
    return { hits, columns: Math.floor(area.right) - Math.ceil(area.left) };
  };
  const limits = ['m0-voltage_deviation', 'm0-unbalance', 'm0-frequency'].map((id) => {
    const chart = Chart.getChart(id);
    const lines = chart ? (chart.options.plugins.qxLimits || {}).limits || [] : [];
    const y = lines.length ? chart.scales.y.getPixelForValue(lines[0].y) : 0;
    return { id, ys: lines.map((l) => l.y), drawn: lines.length ? rowHits(chart, y, '#c62828') : null };
  });
  const voltage = Chart.getChart('m0-phase_voltage');
  const vx = voltage.scales.x;
  const marks = voltage.options.plugins.qxMarks.marks;
  const failures = Chart.getChart('m0-failures');
  const points = [];
  failures.data.datasets.forEach((set, i) => {
    const meta = failures.getDatasetMeta(i);
    set.data.forEach((p, j) => {
      const el = meta.data[j], img = pixels(failures.canvas);
      const at = (Math.round(el.y) * img.width + Math.round(el.x)) * 4;
      points.push({ label: set.label, round: p.x, coloured: near(img.data, at, rgb(set.backgroundColor)) });
    });
  });
  // A font without CJK glyphs draws every character as the same empty box.
  const glyph = (ch) => {
    const c = document.createElement('canvas');
    c.width = 40; c.height = 40;
    const ctx = c.getContext('2d');
    ctx.font = '28px ' + Chart.defaults.font.family;
    ctx.fillText(ch, 4, 32);
    return c.toDataURL();
  };
  return {
    text: document.body.innerText,
    canvases,
    legend: voltage.legend.legendItems.map((i) => i.text),
    marks: marks.map((m) => ({ x: m.x, color: m.color })),
    markAt: marks.length ? columnHits(voltage, vx.getPixelForValue(marks[0].x), marks[0].color) : null,
    markAtRound5: marks.length ? columnHits(voltage, vx.getPixelForValue(5), marks[0].color) : null,
    points,
    limits,
    cjkGlyphsDiffer: glyph('相') !== glyph('电'),
  };
})()
"""


# The page's own words in another language: what the bench puts under "texts"
# in the page's data for a Chinese run.
PAGE_TEXTS = {
    "round, local time": "轮次，本地时间",
    "round {0}": "第 {0} 轮",
    "Failures by kind": "按类型统计的失败",
    "Round time of the good rounds": "成功轮次的轮询耗时",
    "mean {0} ms": "平均 {0} ms",
    "alarm raised": "告警触发",
    "timeout": "超时",
}

# What the charts say, in the page.
CHART_TEXTS = """
Object.values(Chart.instances).map((c) => ({
  id: c.canvas.id,
  title: c.options.plugins.title.text,
  x: c.options.scales.x.title.text,
  labels: c.data.datasets.map((d) => d.label),
  marks: ((c.options.plugins.qxMarks || {}).marks || []).map((m) => m.label),
  colours: c.data.datasets.map((d) => d.backgroundColor),
}))
"""


def with_page_texts(html_path, out, name):
    """A copy of the report whose data carries PAGE_TEXTS."""
    with open(html_path, encoding="utf-8") as f:
        html = f.read()
    start = html.index('<script id="qx-data" type="application/json">') + len(
        '<script id="qx-data" type="application/json">')
    end = html.index("</script>", start)
    data = json.loads(html[start:end])
    data["texts"] = PAGE_TEXTS
    path = os.path.join(out, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(html[:start] + json.dumps(data, ensure_ascii=False).replace("<", "\\u003c") + html[end:])
    return path


def check_page_texts(browser, page, html_path, out, checks):
    """The page's own words come from the data's "texts" where it has them;
    the failure kinds keep their colours under their translated names."""
    english = {c["id"]: c for c in page.evaluate(CHART_TEXTS)}
    page = browser.new_page()
    page.open("file://" + os.path.abspath(with_page_texts(html_path, out, "report-texts.html")))
    page.wait_for("window.qxReportReady === true", timeout=30)
    checks.expect(not page.errors, "no console error with texts: %s" % page.errors)
    translated = {c["id"]: c for c in page.evaluate(CHART_TEXTS)}
    failures, times = translated.get("m0-failures", {}), translated.get("m0-round_time", {})
    voltage = translated.get("m0-phase_voltage", {})
    checks.expect(failures.get("title") == "按类型统计的失败", "failure chart title: %s" % failures)
    checks.expect(failures.get("x") == "轮次，本地时间", "round axis title: %s" % failures)
    checks.expect(failures.get("labels") == ["超时 (1)"], "failure kind translated: %s" % failures)
    checks.expect(failures.get("colours") == english["m0-failures"]["colours"], "failure colours kept")
    checks.expect(times.get("title") == "成功轮次的轮询耗时", "round time chart title: %s" % times)
    checks.expect(any(m.startswith("平均 ") and m.endswith(" ms") for m in times.get("marks", [])),
                  "mean mark translated: %s" % times)
    checks.expect(times.get("x") == "round time, ms", "a text the data lacks stays English: %s" % times)
    checks.expect(voltage.get("marks") == ["告警触发"], "alarm mark translated: %s" % voltage)
    checks.expect(english["m0-failures"]["title"] == "Failures by kind", "English without texts")
    page.screenshot(os.path.join(out, "report-texts.png"))


# The Chinese report's headings and what draws them: a font without CJK
# glyphs draws every character as the same box (or nothing).
HEADINGS = r"""
(() => {
  const h1 = document.querySelector('h1');
  const family = getComputedStyle(h1).fontFamily;
  const glyph = (ch) => {
    const c = document.createElement('canvas');
    c.width = 40; c.height = 40;
    const ctx = c.getContext('2d');
    ctx.font = '28px ' + family;
    ctx.fillText(ch, 4, 32);
    const d = ctx.getImageData(0, 0, 40, 40).data;
    let inked = 0;
    for (let i = 3; i < d.length; i += 4) if (d[i] > 0) ++inked;
    return { url: c.toDataURL(), inked };
  };
  const chars = [...new Set([...h1.textContent].filter((ch) => ch.charCodeAt(0) > 0x2e80))];
  const shapes = chars.map(glyph);
  return {
    lang: document.documentElement.lang,
    h1: h1.textContent,
    h2: [...document.querySelectorAll('h2, h3')].map((h) => h.textContent),
    text: document.body.innerText,
    inked: shapes.every((g) => g.inked > 20),
    distinct: new Set(shapes.map((g) => g.url)).size,
    chars: chars.length,
  };
})()
"""


def check_chinese_report(browser, args, out, checks):
    """`report FILE.csv` run in Chinese: the page says lang zh-CN, its
    headings and charts speak Chinese, and the headings are real glyphs."""
    csv_path, html_path = os.path.join(out, "run.csv"), os.path.join(out, "report-zh.html")
    env = {k: v for k, v in os.environ.items() if k not in ("LC_ALL", "LC_MESSAGES", "LANG")}
    env["LANGUAGE"] = "zh_CN"
    result = subprocess.run([args.bench, "report", csv_path, "-o", html_path], capture_output=True,
                            text=True, timeout=90, env=env)
    checks.expect(result.returncode == 0, "the Chinese report is written: %s" % result.stderr)
    page = browser.new_page()
    page.open("file://" + os.path.abspath(html_path))
    page.wait_for("window.qxReportReady === true", timeout=30)
    seen = page.evaluate(HEADINGS)
    charts = {c["id"]: c for c in page.evaluate(CHART_TEXTS)}
    page.screenshot(os.path.join(out, "report-zh.png"))
    checks.expect(not page.errors, "Chinese report: no console error: %s" % page.errors)
    checks.expect(seen["lang"] == "zh-CN", "Chinese report: lang %r" % seen["lang"])
    checks.expect(seen["h1"] == "调试报告：qx7540pm", "Chinese report: heading %r" % seen["h1"])
    checks.expect(seen["inked"] and seen["distinct"] == seen["chars"],
                  "Chinese report: the heading is drawn with real glyphs: %s" % seen)
    for expected in ("运行概况", "从站 1：需关注", "失败的轮次", "告警变化", "接线与电能质量"):
        checks.expect(expected in seen["h2"], "Chinese report: heading %r in %s" % (expected, seen["h2"]))
    for expected in ("结论：需关注", "20 轮中已发布 19 轮；超时 1 轮", "CSV 中未记录", "供电电压偏差",
                     "频率偏差", "三相电压不平衡度", "GB/T 12325-2008", "GB/T 15543-2008"):
        checks.expect(expected in seen["text"], "Chinese report says %r" % expected)
    for english in ("Commissioning report", "needs attention", "Failed rounds", "published", "is outside",
                    "Wiring and supply quality", "nothing found"):
        checks.expect(english not in seen["text"], "Chinese report: no %r left" % english)
    voltage, times = charts.get("m0-phase_voltage", {}), charts.get("m0-round_time", {})
    checks.expect(voltage.get("title") == "相电压", "Chinese report: chart title %s" % voltage)
    checks.expect(voltage.get("x") == "轮次，本地时间", "Chinese report: axis %s" % voltage)
    checks.expect(times.get("x") == "轮询耗时/ms", "Chinese report: round time axis %s" % times)


class Checks:
    def __init__(self):
        self.failed = 0
        self.passed = 0

    def expect(self, condition, what):
        if condition:
            self.passed += 1
        else:
            self.failed += 1
            print("FAILED: " + what)


def run_bench(args, out):
    # A timeout long enough that only the switched-off reply times out, even
    # on a loaded machine.
    csv_path = os.path.join(out, "run.csv")
    html_path = os.path.join(out, "report.html")
    command = [
        args.bench, "--plugin", args.plugin, "--rounds", "20", "--interval", "1000",
        "--timeout", "800", "--settings", os.path.join(args.examples, "monitor-all-phases.json"),
        "--sim-profile", os.path.join(args.examples, "profile-alarm-scale.json"),
        "--sim-outage-phase", "A", "--sim-outage-round", str(OUTAGE_ROUND),
        "--sim-fault", "ignore@%d" % (2 * FAILED_ROUND - 1),
        "--csv", csv_path, "--report", html_path,
    ]  # fmt: skip
    result = subprocess.run(command, capture_output=True, text=True, timeout=90)
    if result.returncode != 1:  # 1: the run ended and a round failed
        sys.exit("bench exited %d:\n%s" % (result.returncode, result.stderr))
    with open(csv_path, encoding="utf-8-sig", newline="") as f:
        rows = list(csv.DictReader(f))
    return html_path, rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bench", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("--out", help="keep the run, report and screenshot here")
    parser.add_argument("--screenshot", help="also save the screenshot here (for the docs)")
    args = parser.parse_args()
    out = args.out or tempfile.mkdtemp(prefix="qx-report-")
    os.makedirs(out, exist_ok=True)

    try:
        browser = Browser(width=1280, height=900)
    except ChromiumUnavailable as e:
        print("SKIPPED: Chromium cannot start, so the report is not checked in a browser: %s" % e)
        return SKIPPED

    with browser:
        html_path, rows = run_bench(args, out)
        checks = Checks()
        # The scenario itself, from the CSV: what the report must show where.
        failed = [int(r["round"]) for r in rows if r["status"] != "ok"]
        alarms = [int(r["round"]) for r in rows if r["alarm"] == "alarm"]
        checks.expect(failed == [FAILED_ROUND], "the CSV has round %d failed: %s" % (FAILED_ROUND, failed))
        checks.expect(alarms[:1] == [OUTAGE_ROUND], "the CSV has the alarm from round 10: %s" % alarms)

        page = browser.new_page()
        page.open("file://" + os.path.abspath(html_path))
        page.wait_for("window.qxReportReady === true", timeout=30)
        probe = page.evaluate(PROBE)
        shot = os.path.join(out, "report.png")
        page.screenshot(shot)
        if args.screenshot:
            page.screenshot(args.screenshot, scale=0.6)

        checks.expect(not page.errors, "no console error: %s" % page.errors)
        others = [u for u in page.requests if not u.startswith("file://")]
        checks.expect(not others, "no request beyond the file: %s" % others)

        text = probe["text"]
        for expected in (
            "Verdict: needs attention",
            "Slave 1: needs attention",
            "19 of 20 rounds published; timeout in 1 round",
            "输入电源中断 raised in 11 of 19 reports, first in round 10",
            "相电压Ua = 2300.000 V is outside 90 to 290 V",
            "wire minimum 125.0 ms",
            "build-id ",
            # The diagnosis: phase voltages at ten times the line voltages' scale, then A missing.
            "Wiring and supply quality",
            "consistency",
            "the meter's values disagree",
            "voltage-missing",
            "A 0.0 V (limit",
            "in round 10",
            "GB/T 12325-2008",
            "GB/T 15945-2008",
            "GB/T 15543-2008",
        ):
            checks.expect(expected in text, "the page says %r" % expected)

        checks.expect(len(probe["canvases"]) == 11, "eleven charts: %s" % [c["id"] for c in probe["canvases"]])
        expected_limits = {"m0-voltage_deviation": [7, -7], "m0-unbalance": [2, 4], "m0-frequency": [50.2, 49.8]}
        for limit in probe["limits"]:
            checks.expect(limit["ys"] == expected_limits[limit["id"]], "%s's limit lines: %s" % (limit["id"], limit))
            drawn = limit["drawn"] or {"hits": 0, "columns": 1}
            checks.expect(drawn["hits"] > 0.4 * drawn["columns"], "%s's limit line is drawn: %s" % (limit["id"], drawn))
        for canvas in probe["canvases"]:
            checks.expect(canvas["drawn"] > canvas["total"] // 100, "%s is drawn: %s" % (canvas["id"], canvas))
        checks.expect(probe["legend"] == ["相电压Ua", "相电压Ub", "相电压Uc"], "legend keys: %s" % probe["legend"])
        checks.expect(probe["cjkGlyphsDiffer"], "a font with Chinese glyphs renders the keys")
        check_page_texts(browser, page, html_path, out, checks)
        check_chinese_report(browser, args, out, checks)

        checks.expect([m["x"] for m in probe["marks"]] == [OUTAGE_ROUND], "one alarm mark at round 10: %s" % probe["marks"])
        mark = probe["markAt"] or {"hits": 0, "rows": 1}
        checks.expect(mark["hits"] > 0.8 * mark["rows"], "the mark is drawn across the plot at round 10: %s" % mark)
        away = probe["markAtRound5"] or {"hits": 0}
        checks.expect(away["hits"] < 0.2 * mark["rows"], "no mark at round 5: %s" % away)

        timeouts = [p for p in probe["points"] if p["label"].startswith("timeout")]
        checks.expect([p["round"] for p in timeouts] == [FAILED_ROUND], "timeout point at round 4: %s" % probe["points"])
        checks.expect(all(p["coloured"] for p in timeouts), "the timeout point is drawn where it is")

        # A CSV as a hostile hand could leave it: failure kinds named like the
        # page script's object members, markup in a kind, the largest
        # reading the report accepts. The page still draws, with no error.
        hostile_csv, hostile_html = os.path.join(out, "hostile.csv"), os.path.join(out, "hostile.html")
        kinds = ["constructor", "__proto__", "toString", "</script><script>window.qxOwned=1</script>"]
        with open(hostile_csv, "w", encoding="utf-8-sig", newline="") as f:
            writer = csv.DictWriter(f, fieldnames=list(rows[0].keys()), lineterminator="\r\n")
            writer.writeheader()
            for i, row in enumerate(rows):
                row = dict(row)
                if i < len(kinds):
                    row.update({"status": "failed", "failure": kinds[i]})
                elif i == len(kinds):
                    row["相电压Ub"] = "1e9"
                writer.writerow(row)
        result = subprocess.run([args.bench, "report", hostile_csv, "-o", hostile_html], capture_output=True, text=True, timeout=90)
        checks.expect(result.returncode == 0, "the hostile CSV makes a report: %s" % result.stderr)
        hostile = browser.new_page()
        hostile.open("file://" + os.path.abspath(hostile_html))
        hostile.wait_for("window.qxReportReady === true", timeout=30)
        seen = hostile.evaluate(
            "({owned: window.qxOwned === 1, text: document.body.innerText, "
            "canvases: document.querySelectorAll('canvas').length})"
        )
        checks.expect(not hostile.errors, "hostile CSV: no console error: %s" % hostile.errors)
        checks.expect(not seen["owned"], "hostile CSV: markup in a failure kind stays text")
        checks.expect("constructor" in seen["text"], "hostile CSV: the kind 'constructor' is named")
        checks.expect(seen["canvases"] == 11, "hostile CSV: eleven charts: %s" % seen["canvases"])

    print("screenshot: %s" % shot)
    print("%d passed, %d failed" % (checks.passed, checks.failed))
    return 0 if checks.failed == 0 else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrowserError as e:
        print("FAILED: %s" % e)
        sys.exit(1)
