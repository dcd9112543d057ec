#!/usr/bin/python3
"""The host's page in headless Chromium through Selenium (chromedriver), against a running host.

Checks, on the desktop (1280 px) and on a phone (390 px): the plots of the whole range hold at most
the points they asked for and end at the newest round; later rounds are appended through
since_ms requests without reading the range again; the page does not scroll sideways; every plot
has a visible legend naming each of its series; points of several rounds are min-max bands;
outages are breaks in the lines; alarms are shaded spans with their description on hover;
dragging across a plot reads the finer points of that stretch, as do times typed for a range,
drawn from the minutes where retention removed the rounds and from the rounds after, in one line;
the range, a zoom and typed times are in the address and come back on a reload; the meter's state
is text in colours; times are on one 24-hour clock with the UTC offset once, controls are labelled;
the alarm description is shown as stored; the live table of every meter fits the desk without a
sideways scroll; on the phone each plot has at least three time labels and three values on its
axes; without the chart library the page says so and keeps its table.
Prints one line per failed check and exits 1 when any failed.

usage: page_check.py URL METER --meters N --outage FROM_MS TO_MS [--outage ...] --oldest MS
       --raw-from MS [--screenshots DIR]
(--raw-from: the rounds before it are gone, their minutes kept; the typed range spans it)
"""
import argparse
import json
import re
import sys
import time
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.support.ui import Select

failures = []

# The page's requests, recorded before any of its scripts runs.
RECORD_REQUESTS = """
window.__requests = [];
const original = window.fetch;
window.fetch = function (target) { window.__requests.push(String(target)); return original.apply(this, arguments); };
"""

# What one plot shows: its points (x, and the first series' [min, mean, max] or null), its legend,
# the labels on its axes. A plot is drawn (and redrawn) once it comes near the window: it is
# scrolled to.
PLOT_STATE = """
const div = document.querySelector('[data-meter="' + arguments[0] + '"] [data-plot="' + arguments[1] + '"]');
const sight = div.getBoundingClientRect();
if (sight.top < 0 || sight.bottom > innerHeight) div.scrollIntoView({ block: "center" });
const legend = div.parentElement.querySelector('.legend');
const labels = (axis) => [...div.querySelectorAll('.dygraph-axis-label-' + axis)].map((e) => e.textContent);
const g = div.dygraph, rows = [];
if (g) for (let i = 0; i < g.numRows(); ++i) rows.push([g.getValue(i, 0), g.getValue(i, 1)]);
const box = legend.getBoundingClientRect();
return { rows: rows, labels: g ? g.getLabels().slice(1) : [], bars: g ? g.getOption("customBars") : false, requested: Number(div.dataset.requested || 0),
         points: Number(div.dataset.points), newest: Number(div.dataset.newestMs || 0),
         step: Number(div.dataset.stepMs || 0), legend: legend.innerText,
         legend_box: [box.left, box.right, box.width, box.height], x_labels: labels('x'), y_labels: labels('y'),
         window: g ? g.xAxisRange() : null };
"""

# Where an instant is drawn on a plot (x from the plot's left edge), and the colour of the plot
# area just below its top there: shaded or not.
SPAN_STATE = """
const div = document.querySelector('[data-meter="' + arguments[0] + '"] [data-plot="' + arguments[1] + '"]');
const g = div.dygraph, area = g.getArea(), ratio = g.hidden_.width / g.width_;
const colour = (t) => Array.from(g.hidden_ctx_.getImageData(
    Math.round(g.toDomXCoord(t) * ratio), Math.round((area.y + 2) * ratio), 1, 1).data);
return { x: g.toDomXCoord(arguments[2]), width: div.clientWidth, inside: colour(arguments[2]),
         outside: colour(arguments[3]) };
"""

PLOTS = ["phase_voltages", "line_voltages", "currents", "frequency", "power_factors"]


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED: " + what, flush=True)
    return condition


def eventually(condition, timeout_s=30):
    """The condition's first true value; an element the page replaced meanwhile (the table is
    redrawn after every round) is read again."""
    end = time.monotonic() + timeout_s
    while time.monotonic() < end:
        try:
            value = condition()
        except StaleElementReferenceException:
            value = None
        if value:
            return value
        time.sleep(0.1)
    return condition()


def api(url, path):
    with urllib.request.urlopen(url + path, timeout=10) as r:
        return json.loads(r.read().decode("utf-8"))


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for a in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--no-first-run", "--disable-background-networking", "--disable-component-update",
              "--disable-sync", "--window-size=1280,900"]:
        options.add_argument(a)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": RECORD_REQUESTS})
    return driver


def set_width(driver, width, phone, height=None):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": width, "height": height or (844 if phone else 900),
        "deviceScaleFactor": 2 if phone else 1, "mobile": phone})


def plot(driver, meter, name):
    return driver.execute_script(PLOT_STATE, meter, name)


def series_requests(driver):
    return [u for u in driver.execute_script("return window.__requests") if "/series?" in u]


def newest_round(url, meter):
    return api(url, "/api/meters/" + meter)["last_complete_ms"]


def check_whole_range(driver, args):
    """Everything stored: within the points asked for, from the oldest round to the newest."""
    Select(driver.find_element("id", "range")).select_by_value("0")
    drawn = eventually(lambda: all(
        (lambda s: s["rows"] and s["rows"][0][0] <= args.oldest)(plot(driver, args.meter, p))
        for p in PLOTS))
    if not check(drawn, "the plots of the whole range were drawn"):
        return
    for p in PLOTS:
        s = plot(driver, args.meter, p)
        check(0 < s["points"] <= s["requested"] <= 1000,
              "%s: %d points, %d asked for" % (p, s["points"], s["requested"]))
    ends = eventually(lambda: (lambda s, newest: s["rows"][-1][0] <= newest < s["rows"][-1][0] +
                               max(s["step"], 1))(plot(driver, args.meter, "phase_voltages"),
                                                  newest_round(args.url, args.meter)))
    check(ends, "the plot ends at the newest round")
    s = plot(driver, args.meter, "phase_voltages")
    bands = [v for _, v in s["rows"] if v]
    check(s["step"] > 0 and s["bars"] and bands and all(lo <= mean <= hi for lo, mean, hi in bands) and
          any(lo < hi for lo, _, hi in bands),
          "points of several rounds are a band from min to max around the mean: %s" % bands[:3])
    for outage in args.outage:
        rows, step = plot(driver, args.meter, "currents")["rows"], max(s["step"], 1000)
        inside = [r for r in rows if outage[0] + step <= r[0] < outage[1] - step]
        check(all(not has for _, has in inside),
              "no values drawn in the outage %d-%d: %s" % (outage[0], outage[1], inside[:5]))
        before = [x for x, has in rows if has and x < outage[0]]
        after = [x for x, has in rows if has and x >= outage[1]]
        breaks = before and after and [x for x, has in rows if not has and before[-1] < x < after[0]]
        check(breaks, "the outage %d-%d is a break in the line" % tuple(outage))


def plot_div(driver, meter, name):
    return driver.find_element("css selector", '[data-meter="%s"] [data-plot="%s"]' % (meter, name))


def check_alarm_spans(driver, args):
    """An alarm that was raised and cleared is a shaded span, its description shown on hover."""
    reply = api(args.url, "/api/meters/%s/series?points=100" % args.meter)
    cleared = [i for i in reply["alarm_intervals"] if i["cleared_ms"] is not None]
    if not check(cleared, "the history has a cleared alarm interval: %s" % reply["alarm_intervals"]):
        return
    alarm = cleared[0]
    middle = (alarm["raised_ms"] + alarm["cleared_ms"]) // 2
    before = alarm["raised_ms"] - 3 * 3600 * 1000
    # In the middle of the window, with room above it for the pointer to leave it.
    driver.execute_script("arguments[0].scrollIntoView({ block: 'center' })", plot_div(driver, args.meter, "phase_voltages"))
    s = driver.execute_script(SPAN_STATE, args.meter, "phase_voltages", middle, before)
    check(s["inside"][:3] != s["outside"][:3] and s["inside"][0] > s["inside"][2],
          "the alarm's time is shaded (%s inside, %s before it)" % (s["inside"], s["outside"]))
    div = plot_div(driver, args.meter, "phase_voltages")
    ActionChains(driver).move_to_element_with_offset(div, int(s["x"] - s["width"] / 2), 0).perform()
    hover = div.find_element("xpath", "following-sibling::div[@class='alarm-hover']")
    shown = eventually(lambda: alarm["description"] in hover.text, 10)
    check(shown, "hovering over the span shows %r: %r" % (alarm["description"], hover.text))
    ActionChains(driver).move_to_element_with_offset(div, 0, -div.size["height"]).perform()


def check_live_appends(driver, args):
    """Later rounds come through since_ms requests; the range is not read again."""
    whole = [u for u in series_requests(driver) if "since_ms=" not in u]
    start = newest_round(args.url, args.meter)
    later = eventually(lambda: (lambda n: n if n and n > start + 2000 else None)(
        newest_round(args.url, args.meter)))
    if not check(later, "the host stored more rounds"):
        return
    appended = eventually(lambda: plot(driver, args.meter, "phase_voltages")["newest"] >= later)
    check(appended, "the newer rounds reached the plot")
    requests = series_requests(driver)
    again = [u for u in requests if "since_ms=" not in u]
    check(again == whole, "no series was read whole again: %s" % again[len(whole):])
    check([u for u in requests if "since_ms=" in u], "newer points came through since_ms requests")


def check_zoom(driver, args):
    """Dragging across a plot reads the finer points of that stretch; a double-click goes back."""
    div = plot_div(driver, args.meter, "phase_voltages")
    whole = plot(driver, args.meter, "phase_voltages")
    read = len(series_requests(driver))
    width = div.size["width"]
    ActionChains(driver).move_to_element_with_offset(div, int(-0.1 * width), 0).click_and_hold() \
        .move_by_offset(int(0.05 * width), 0).move_by_offset(int(0.05 * width), 0).release().perform()
    zoomed = eventually(lambda: (lambda z: z if z["rows"] and 0 <= z["step"] < whole["step"] else None)(
        plot(driver, args.meter, "phase_voltages")))
    if not check(zoomed, "zooming in draws finer points (step %d ms before)" % whole["step"]):
        return
    asked = [u for u in series_requests(driver)[read:] if "since_ms=" not in u]
    window = asked and re.search(r"from=(\d+)&to=(\d+)", asked[-1])
    if check(window, "the zoom read the stretch shown: %s" % asked):
        start, end = int(window.group(1)) * 1000, int(window.group(2)) * 1000
        check(start > whole["rows"][0][0] and end < whole["rows"][-1][0] and
              all(start - zoomed["step"] <= x <= end for x, _ in zoomed["rows"]),
              "the zoomed plot holds points of %d-%d only" % (start, end))
        check(0 < zoomed["points"] <= zoomed["requested"],
              "zoomed: %d points, %d asked for" % (zoomed["points"], zoomed["requested"]))
        reload_shows(driver, args, "the zoom", "from=%d&to=%d" % (start // 1000, end // 1000))
        div = plot_div(driver, args.meter, "phase_voltages")
    check_clock(driver)
    ActionChains(driver).double_click(div).perform()
    back = eventually(lambda: plot(driver, args.meter, "phase_voltages")["step"] == whole["step"])
    check(back, "a double-click shows the whole range again")
    # The zoom of the address was every meter's: all of them back to the whole range.
    driver.find_element("id", "unzoom").click()
    check(eventually(lambda: driver.execute_script("return location.hash") == "#range=all", 10),
          "the address drops the zoom: %r" % driver.execute_script("return location.hash"))


def reload_shows(driver, args, what, query):
    """After a reload from the address, the plots read what the address names (`query`)."""
    address = driver.execute_script("return location.href")
    driver.refresh()
    asked = eventually(lambda: [u for u in series_requests(driver) if query in u])
    check(asked, "the address %s brings %s back: %s" % (address, what, series_requests(driver)))
    eventually(lambda: plot(driver, args.meter, "phase_voltages")["rows"])


def check_typed_range(driver, args):
    """Times typed on the 24-hour clock show that stretch only; a wrong one is named."""
    start = (args.oldest + 36 * 3600 * 1000) // 60000 * 60000
    end = start + 6 * 3600 * 1000
    local = lambda ms: time.strftime("%Y-%m-%d %H:%M", time.gmtime(
        ms / 1000 - 60 * driver.execute_script("return new Date(arguments[0]).getTimezoneOffset()", ms)))
    read = len(series_requests(driver))
    for field, ms in [("from", start), ("to", end)]:
        driver.find_element("id", field).clear()
        driver.find_element("id", field).send_keys(local(ms))
    driver.find_element("id", "show").click()
    shown = eventually(lambda: (lambda s: s["rows"] and start - s["step"] <= s["rows"][0][0] and
                                s["rows"][-1][0] <= end)(plot(driver, args.meter, "frequency")))
    check(shown, "the typed range %s to %s is shown" % (local(start), local(end)))
    asked = [u for u in series_requests(driver)[read:] if "since_ms=" not in u]
    check(asked and all("from=%d&to=%d" % (start // 1000, end // 1000) in u for u in asked),
          "the typed range was read as it was typed: %s" % asked)
    if start < args.raw_from < end:
        rows = plot(driver, args.meter, "frequency")["rows"]
        minutes = [has for x, has in rows if x < args.raw_from]
        rounds = [x for x, has in rows if has and x >= args.raw_from]
        check(minutes and all(minutes) and rounds,
              "the minutes before the rounds' retention are one line, the rounds after it drawn: "
              "%d rows before, %d breaks, %d rounds after" % (
                  len(minutes), minutes.count(None), len(rounds)))
        note = driver.find_element("css selector", '[data-meter="%s"] [data-field="history"]' % args.meter).text
        check("each point 1 min, then one round" in note, "the note names both steps: %r" % note)
    reload_shows(driver, args, "the typed range", "from=%d&to=%d" % (start // 1000, end // 1000))
    check(driver.find_element("id", "from").get_attribute("value").startswith(local(start)),
          "the typed times come back with the address: %r" % driver.find_element("id", "from").get_attribute("value"))
    driver.find_element("id", "from").send_keys("h")
    driver.find_element("id", "show").click()
    check(eventually(lambda: "is not a time" in driver.find_element("id", "notice").text, 10),
          "a time that is not one is named: %r" % driver.find_element("id", "notice").text)
    for field in ["from", "to"]:
        driver.find_element("id", field).clear()
    Select(driver.find_element("id", "range")).select_by_value("0")
    eventually(lambda: (lambda rows: rows and rows[0][0] <= args.oldest)(
        plot(driver, args.meter, "frequency")["rows"]))
    check(not driver.find_element("id", "notice").text, "another range clears the notice")


def check_address(driver, args):
    """A range chosen is in the address: a reload (or a bookmark) shows it again."""
    Select(driver.find_element("id", "range")).select_by_value("604800000")
    check(eventually(lambda: driver.execute_script("return location.hash") == "#range=7d", 10),
          "the address names the range: %r" % driver.execute_script("return location.hash"))
    now = int(time.time())
    reload_shows(driver, args, "the last 7 days", "points=")
    check(driver.execute_script("return document.getElementById('range').value") == "604800000",
          "the range comes back with the address")
    whole = [re.search(r"from=(\d+)", u) for u in series_requests(driver) if "since_ms=" not in u]
    check(whole and all(w and abs(int(w.group(1)) - (now - 7 * 86400)) < 120 for w in whole),
          "the series of the last 7 days are read after a reload: %s" % series_requests(driver))


def check_clock(driver):
    """One 24-hour clock, its UTC offset written once; every control with a label."""
    text = driver.execute_script("return document.body.innerText")
    check(len(re.findall(r"UTC[+−-]\d\d:\d\d", text)) == 1, "the UTC offset is written once")
    check(not re.search(r"\d\s?[AP]M\b", text), "no 12-hour clock times: %r" % re.findall(r".{9}[AP]M", text))
    check(re.search(r"\b\d\d:\d\d\b", text), "clock times are shown")
    unlabelled = driver.execute_script(
        "return [...document.querySelectorAll('select, input, button')].filter((e) => e.getClientRects().length &&"
        " !(e.tagName == 'BUTTON' ? e.innerText : e.labels.length && e.labels[0].innerText).trim())"
        ".map((e) => e.outerHTML.slice(0, 120))")
    check(not unlabelled, "every control shown has a label: %s" % unlabelled)


def check_layout(driver, args, width, phone):
    set_width(driver, width, phone)
    fits = eventually(lambda: driver.execute_script(
        "return [document.documentElement.scrollWidth, innerWidth]") if driver.execute_script(
        "return document.documentElement.scrollWidth <= innerWidth && innerWidth == arguments[0]",
        width) else None, 10)
    check(fits, "%d px: the page does not scroll sideways (%s)" % (width, driver.execute_script(
        "return [document.documentElement.scrollWidth, innerWidth]")))
    for p in PLOTS:
        s = plot(driver, args.meter, p)
        left, right, w, h = s["legend_box"]
        check(w > 0 and h > 0 and left >= 0 and right <= width,
              "%d px: the legend of %s is visible (%s)" % (width, p, s["legend_box"]))
        check(s["labels"] and all(label in s["legend"] for label in s["labels"]),
              "%d px: the legend of %s names %s: %r" % (width, p, s["labels"], s["legend"]))
    meter = api(args.url, "/api/meters/" + args.meter)
    shown = eventually(lambda: driver.find_element(
        "css selector", 'tr[data-meter="%s"] [data-field="UA"]' % args.meter).text ==
        "%.2f" % api(args.url, "/api/meters/" + args.meter)["last_complete"]["values"]["UA"], 10)
    check(shown, "the table shows the last round's UA as the API has it (%s)" % meter["last_complete"]["values"])
    # Read in one script: the row may be redrawn between two reads of it.
    text, colours, alarms = driver.execute_script(
        "const state = document.querySelector('tr[data-meter=\"' + arguments[0] + '\"] td.state');"
        "return [state.querySelector('span').innerText,"
        " [...state.querySelectorAll('.badge')].map((b) => getComputedStyle(b).backgroundColor),"
        " [state.querySelector('[data-field=alarms]').title, state.innerText]]", args.meter)
    check(re.fullmatch(r"online\s*1 alarm", text) and len(set(colours)) == 2,
          "%d px: the state reads 'online, 1 alarm' in two colours: %r %s" % (width, text, colours))
    check("相电压" in alarms[0], "the active alarm's description is shown as stored on hover: %r" % alarms[0])
    if phone:
        check("相电压" in alarms[1], "on a card the alarm's description is written out: %r" % alarms[1])
    check_table_fits(driver, args, width, phone)


def check_table_fits(driver, args, width, phone):
    """Every meter's row in the table, all its columns in sight: side by side on a desk, a card per
    meter on a phone."""
    rows, scroll, box, cards = eventually(lambda: (lambda r: r if r[0] == args.meters else None)(
        driver.execute_script(
            "const box = document.querySelector('.table-box');"
            "return [document.querySelectorAll('#live tbody tr').length, box.scrollWidth, box.clientWidth,"
            " box.classList.contains('cards')]")), 20) or [0, 0, 0, None]
    check(rows == args.meters, "%d px: the table shows %d meters: %d" % (width, args.meters, rows))
    check(scroll <= box, "%d px: the table is not wider than its box (%d > %d)" % (width, scroll, box))
    check(cards == phone, "%d px: the table is %s" % (width, "cards" if phone else "one row per meter"))
    stats = driver.find_element("css selector", "details.links")
    stats.find_element("tag name", "summary").click()
    shown = eventually(lambda: driver.find_element(
        "css selector", 'tr[data-link-meter="%s"] [data-field="requests"]' % args.meter).text.isdigit(), 10)
    check(shown, "%d px: the link statistics open behind their toggle" % width)
    stats.find_element("tag name", "summary").click()


def check_axes(driver, args):
    """On a phone, each plot has three time labels or more and three values or more, whatever
    the range (the frequency varies by a few hundredths of a hertz)."""
    day = 86400000
    for value, spans in [("900000", lambda w: abs(w - 900000) < 120000),
                         ("0", lambda w: w > (args.history_days - 0.1) * day),
                         ("604800000", lambda w: abs(w - 7 * day) < 120000)]:
        Select(driver.find_element("id", "range")).select_by_value(value)
        for p in PLOTS:
            s = eventually(lambda: (lambda s: s if s["window"] and spans(s["window"][1] - s["window"][0]) else None)(
                plot(driver, args.meter, p)), 20)
            if not check(s, "390 px, range %s: %s is drawn" % (value, p)):
                continue
            xs, ys = s["x_labels"], s["y_labels"]
            check(len(set(xs)) >= 3 and len(xs) == len(set(xs)),
                  "390 px, range %s: %s has 3 distinct time labels or more: %s" % (value, p, xs))
            check(len(set(ys)) >= 3 and len(ys) == len(set(ys)),
                  "390 px, range %s: %s has 3 distinct values on its axis or more: %s" % (value, p, ys))
    Select(driver.find_element("id", "range")).select_by_value("0")


def screenshot(driver, args, path, width, phone, height):
    """The page at a height that shows its plots, once they are redrawn at that size."""
    set_width(driver, width, phone, height)
    driver.execute_script("scrollTo(0, 0)")
    # The plots that came into sight drawn, then two frames.
    eventually(lambda: driver.execute_script(
        "return [...document.querySelectorAll('[data-meter=\"' + arguments[0] + '\"] .plot')].every((p) => {"
        " const r = p.getBoundingClientRect(); return r.top > innerHeight || p.dygraph; })", args.meter), 10)
    driver.execute_script("return new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done)))")
    driver.save_screenshot(path)
    set_width(driver, width, phone)


def check_without_chart_library(driver, args):
    driver.execute_cdp_cmd("Network.enable", {})
    driver.execute_cdp_cmd("Network.setBlockedURLs", {"urls": ["*dygraph*.js"]})
    driver.get(args.url + "/")
    ready = eventually(lambda: driver.execute_script(
        "return document.body.dataset.ready === '1' && document.querySelectorAll('#live tbody tr').length"))
    check(ready, "without the chart library the table is shown")
    notice = driver.find_element("id", "notice").text
    check("chart library is not installed" in notice, "without the chart library the page says so: %r" % notice)
    driver.execute_cdp_cmd("Network.setBlockedURLs", {"urls": []})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("url")
    parser.add_argument("meter")
    parser.add_argument("--meters", type=int, required=True)
    parser.add_argument("--outage", nargs=2, type=int, action="append", default=[])
    parser.add_argument("--oldest", type=int, required=True)
    parser.add_argument("--raw-from", type=int, required=True)
    parser.add_argument("--screenshots")
    args = parser.parse_args()
    args.url = args.url.rstrip("/")
    args.history_days = (time.time() * 1000 - args.oldest) / 86400000
    driver = browser()
    try:
        driver.get(args.url + "/")
        check_whole_range(driver, args)
        check_alarm_spans(driver, args)
        check_live_appends(driver, args)
        check_zoom(driver, args)
        check_typed_range(driver, args)
        check_address(driver, args)
        with urllib.request.urlopen(args.url + "/favicon.ico", timeout=10) as icon:
            check(icon.headers["Content-Type"] == "image/svg+xml", "the icon is served")
        errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
        check(not errors, "no errors in the console: %s" % errors)
        check_layout(driver, args, 1280, False)
        if args.screenshots:
            screenshot(driver, args, args.screenshots + "/page.png", 1280, False, 1120)
        check_layout(driver, args, 390, True)
        check_axes(driver, args)
        if args.screenshots:
            screenshot(driver, args, args.screenshots + "/page-phone.png", 390, True, 1700)
        set_width(driver, 1280, False)
        check_without_chart_library(driver, args)
    finally:
        driver.quit()
    print("%d checks failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
