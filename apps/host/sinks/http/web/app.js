// The live table polls /api/meters and redraws when a round came. Each meter's plots read its
// series over the chosen range once, then only what is newer than their newest point.
"use strict";
const POLL_MS = 1000;
const MOST_POINTS = 1000;
// Each plot holds quantities of one unit and scale: phase and line voltages differ by √3.
const GROUPS = [
  { id: "phase_voltages", title: "Phase voltages (V)", digits: 2,
    series: [["UA", "UA"], ["UB", "UB"], ["UC", "UC"], ["UAverage_1", "U avg"]] },
  { id: "line_voltages", title: "Line voltages (V)", digits: 2,
    series: [["UAB", "UAB"], ["UBC", "UBC"], ["UCA", "UCA"], ["UAverage_2", "U avg"]] },
  { id: "currents", title: "Currents (A)", digits: 3,
    series: [["IA", "IA"], ["IB", "IB"], ["IC", "IC"], ["IAverage_1", "I avg"],
      ["ZeroCurrent", "I0 zero sequence"]] },
  { id: "frequency", title: "Frequency (Hz)", digits: 3, series: [["frequency", "f"]] },
  { id: "power_factors", title: "Power factors", digits: 3,
    series: [["power_factor_A", "PF A"], ["power_factor_B", "PF B"], ["power_factor_C", "PF C"],
      ["power_factor_total", "PF total"]] },
];
const COLORS = ["#1f5fbf", "#c0392b", "#1e8449", "#6c3483", "#9a6a00"];

let measurements = [], sequence = -1, intervalS = 5;
const meters = {};  // by name: its section, plots, data and view
const chartMissing = () => typeof Dygraph === "undefined";

const el = (tag, attrs, text) => {
  const e = document.createElement(tag);
  for (const k in attrs || {}) e.setAttribute(k, attrs[k]);
  if (text !== undefined) e.textContent = text;
  return e;
};
const fmt = (v, d) => (typeof v === "number" ? v.toFixed(d) : "–");
const two = (n) => String(n).padStart(2, "0");
const clock = (d) => two(d.getHours()) + ":" + two(d.getMinutes()) + ":" + two(d.getSeconds());
const dayText = (d) => d.getFullYear() + "-" + two(d.getMonth() + 1) + "-" + two(d.getDate());
const dateTime = (ms) => { const d = new Date(ms); return dayText(d) + " " + clock(d); };
// A time of today as its clock time, of another day with its date.
const shortTime = (ms) => {
  const d = new Date(ms);
  return dayText(d) === dayText(new Date()) ? clock(d) : dayText(d) + " " + clock(d);
};
const utcOffset = () => {
  const o = -new Date().getTimezoneOffset();
  return "UTC" + (o < 0 ? "−" : "+") + two(Math.floor(Math.abs(o) / 60)) + ":" + two(Math.abs(o) % 60);
};
const api = (path) => fetch(path, { cache: "no-store" }).then((r) => {
  if (!r.ok) throw new Error(path + ": " + r.status);
  return r.json();
});

// ---- the live table

// Its columns: a meter's name, state (its active alarms counted, described on hover) and last
// round, then its measurements a plot's group to a column, phases side by side, then f and PF.
// What a link did is in a table of its own, behind a toggle.
function columns() {
  const cols = [{ label: "meter", field: "name" }, { label: "state", field: "state" },
    { label: "last round", field: "time" }];
  const grouped = new Set();
  for (const g of GROUPS) {
    const parts = g.series.filter(([k]) => measurements.some((m) => m.name === k));
    parts.forEach(([k]) => grouped.add(k));
    if (parts.length) cols.push({ label: g.title, field: g.id, parts: parts, digits: g.digits });
  }
  for (const m of measurements)
    if (!grouped.has(m.name)) cols.push({ label: m.name + " (" + m.unit + ")", field: m.name, parts: [[m.name, m.name]], digits: 3 });
  return cols.concat([{ label: "f (Hz)", field: "frequency" }, { label: "PF total", field: "power_factor" }]);
}

let tableColumns = [];

function header() {
  tableColumns = columns();
  const row = el("tr");
  for (const c of tableColumns) {
    const th = el("th", { scope: "col" }, c.label);
    if (c.parts && c.parts.length > 1) th.appendChild(el("span", { class: "parts" }, c.parts.map((x) => x[1]).join(" · ")));
    row.appendChild(th);
  }
  document.querySelector("#live thead").replaceChildren(row);
  fitTable(true);
}

function stateCell(m) {
  const td = el("td", { class: "state", "data-field": "state" }), badges = el("span");
  td.appendChild(badges);
  const latest = m.latest;
  const [text, kind] = !latest ? ["no round yet", "waiting"] : !m.online ? ["offline", "offline"]
    : m.fresh ? ["online", "online"] : ["online, no fresh round", "stale"];
  badges.appendChild(el("span", { class: "badge " + kind }, text));
  const alarms = alarmsText(m);
  if (alarms.length) {
    const b = el("span", { class: "badge alarm", "data-field": "alarms", tabindex: "0", title: alarms.join("; ") },
      alarms.length + (alarms.length === 1 ? " alarm" : " alarms"));
    badges.appendChild(b);
    // Shown in full on a card, where nothing hovers.
    td.appendChild(el("span", { class: "alarm-text" }, alarms.join("; ")));
  }
  return td;
}

// When an active alarm was raised, on the page's clock: from the alarm intervals the plots hold,
// else the instant the host noted (ISO 8601 with its offset).
function raisedText(name, key, a) {
  const held = meters[name] && meters[name].data;
  const i = held && held.intervals.find((x) => x.key === key && x.cleared_ms === null);
  const noted = a.since ? Date.parse(a.since) : NaN;
  return i ? shortTime(i.raised_ms) : !isNaN(noted) ? shortTime(noted) : a.since || null;
}

function alarmsText(m) {
  return Object.keys(m.active_alarms).map((k) => {
    const a = m.active_alarms[k], since = raisedText(m.name, k, a);
    return a.description + (since ? " (since " + since + ")" : "");
  });
}

// A cell of a group: each phase's value in a span of its own, named by its field.
function groupCell(c, values) {
  const td = el("td", { class: "group" });
  for (const [k, label] of c.parts)
    td.appendChild(el("span", { "data-field": k, title: label }, fmt(values ? values[k] : undefined, c.digits)));
  return td;
}

function liveRow(m) {
  const r = el("tr", { "data-meter": m.name });
  const last = m.last_complete, rec = last && last.record, values = last && last.values;
  const text = { name: m.name, time: typeof m.last_complete_ms === "number" ? shortTime(m.last_complete_ms) : "–",
    frequency: fmt(rec && rec.frequency, 2), power_factor: fmt(rec && rec.power_factor[3], 3) };
  for (const c of tableColumns) {
    const td = c.field === "state" ? stateCell(m) : c.parts ? groupCell(c, values) : el("td", { "data-field": c.field }, text[c.field]);
    td.setAttribute("data-label", c.label);
    if (c.field === "name") td.className = "name";
    r.appendChild(td);
  }
  return r;
}

function linkRow(m) {
  const st = m.latest && m.latest.link_stats;
  let errors = 0;
  if (st) for (const k in st.errors) errors += st.errors[k];
  const r = el("tr", { "data-link-meter": m.name });
  const cells = [["meter", m.name], ["requests", st ? String(st.requests) : "–"], ["errors", st ? String(errors) : "–"],
    ["rounds ok / failed", st ? st.rounds_complete + " / " + st.rounds_failed : "–"], ["round ms", st ? fmt(st.last_round_ms, 1) : "–"]];
  for (const [label, v] of cells) r.appendChild(el("td", { "data-label": label, "data-field": label.split(" ")[0] }, v));
  r.firstChild.className = "name";
  if (st) r.children[2].title = JSON.stringify(st.errors);
  return r;
}

// The table as cards when its columns do not fit its box (a phone, long names): measured after
// the columns change or the window does, in a frame of its own, not at each round. A window as
// narrow as a phone's holds no table of them: cards at once, without a layout to measure.
const phone = matchMedia("(max-width: 700px)");
let fitPending = false;
function fitTable(again) {
  if (phone.matches) { document.querySelector(".table-box").classList.add("cards"); return; }
  if (fitPending && !again) return;
  fitPending = true;
  requestAnimationFrame(() => {
    fitPending = false;
    const box = document.querySelector(".table-box"), table = document.getElementById("live");
    box.classList.remove("cards");
    if (table.scrollWidth > box.clientWidth) box.classList.add("cards");
  });
}

// ---- the range and the series

// A local time typed as "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS" (24-hour), or
// null when empty; throws for anything else.
function typedTime(id) {
  const text = document.getElementById(id).value.trim();
  if (!text) return null;
  const m = /^(\d{4})-(\d\d)-(\d\d)(?:[ T](\d\d):(\d\d)(?::(\d\d))?)?$/.exec(text);
  const t = m && new Date(+m[1], m[2] - 1, +m[3], +(m[4] || 0), +(m[5] || 0), +(m[6] || 0)).getTime();
  if (!m || isNaN(t)) throw new Error(id + ": \"" + text + "\" is not a time like 2026-12-09 08:00");
  return t;
}

// The range the controls ask for: instants or null for an open end; live when it ends now.
function chosenRange() {
  const v = document.getElementById("range").value;
  if (v !== "custom") {
    const span = Number(v);
    return { from: span ? Date.now() - span : null, to: null, live: true };
  }
  let from = null, to = null;
  try {
    from = typedTime("from");
    to = typedTime("to");
  } catch (e) {
    notice(e.message);
  }
  return { from: from, to: to, live: to === null };
}

// A meter's range: the chosen one, or where its plots were zoomed to.
const rangeOf = (m) => m.view || chosenRange();

function seriesUrl(m, range, since) {
  let q = "points=" + m.points;
  if (range.from !== null) q += "&from=" + Math.floor(range.from / 1000);
  if (range.to !== null) q += "&to=" + Math.ceil(range.to / 1000);
  if (since !== null) q += "&since_ms=" + since;
  return "/api/meters/" + encodeURIComponent(m.name) + "/series?" + q;
}

const intervalKey = (i) => i.key + "@" + i.raised_ms;

// New points and alarm intervals after the ones held: a point of the same instant (a bucket that
// was still filling) replaces the held one; what fell out of a moving range goes.
function merged(data, reply, from) {
  const points = data.points;
  for (const p of reply.points) {
    const last = points.length ? points[points.length - 1].t_ms : -Infinity;
    if (p.t_ms === last) points[points.length - 1] = p;
    else if (p.t_ms > last) points.push(p);
  }
  let drop = 0;
  while (from !== null && drop < points.length && points[drop].t_ms + points[drop].step_ms < from) ++drop;
  if (drop) points.splice(0, drop);
  const intervals = new Map(data.intervals.map((i) => [intervalKey(i), i]));
  for (const i of reply.alarm_intervals) intervals.set(intervalKey(i), i);
  const kept = [...intervals.values()].filter((i) => from === null || i.cleared_ms === null || i.cleared_ms >= from);
  return { step_ms: data.step_ms, newest_ms: reply.newest_ms !== null ? reply.newest_ms : data.newest_ms,
    points: points, intervals: kept };
}

const fresh = (reply) => ({ step_ms: reply.step_ms, newest_ms: reply.newest_ms, points: reply.points,
  intervals: reply.alarm_intervals });

// Reads the meter's series: the whole range, or (live, with points held) only what is newer.
async function loadSeries(m, whole) {
  // Asked while a read is under way: read after it, whole if either asked so.
  if (m.busy) { m.pending = whole ? "whole" : m.pending || "newer"; return; }
  m.busy = true;
  try {
    const range = rangeOf(m);
    const since = !whole && m.data && range.live && m.data.newest_ms !== null ? m.data.newest_ms : null;
    if (whole || since !== null || !m.data) {
      const reply = await api(seriesUrl(m, range, since));
      // A range that grew into another step is read whole again.
      if (since !== null && reply.step_ms !== m.data.step_ms) m.pending = "whole";
      else m.data = since !== null ? merged(m.data, reply, range.from) : fresh(reply);
      // Never more points than asked for: a range that grew past them is read again, coarser.
      if (m.data.points.length > m.points) m.pending = "whole";
      else draw(m);
    }
  } catch (e) {
    notice("cannot read the history of " + m.name + ": " + e.message);
  } finally {
    m.busy = false;
    const next = m.pending;
    m.pending = null;
    if (next) loadSeries(m, next === "whole");
  }
}

// ---- the axes: at least three labelled ticks each, however long the range and however little
// a quantity varies, as many as fit without crowding

const SECOND = 1000, MINUTE = 60000, HOUR = 3600000, DAY = 86400000;
const TIME_STEPS = [SECOND, 2 * SECOND, 5 * SECOND, 10 * SECOND, 15 * SECOND, 30 * SECOND, MINUTE,
  2 * MINUTE, 5 * MINUTE, 10 * MINUTE, 15 * MINUTE, 30 * MINUTE, HOUR, 2 * HOUR, 3 * HOUR, 6 * HOUR,
  12 * HOUR, DAY, 2 * DAY, 4 * DAY, 7 * DAY, 14 * DAY];
const MONTH_STEPS = [1, 2, 3, 6, 12, 24, 60, 120];
const MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"];
const dayMonth = (d) => two(d.getDate()) + " " + MONTHS[d.getMonth()];

// Instants from `from` to `to` that are multiples of `step` on the local clock (days from
// local midnight, whole months from the first).
function alignedTimes(from, to, step, months) {
  const out = [];
  if (months) {
    const d = new Date(from);
    let m = Math.ceil((d.getFullYear() * 12 + d.getMonth()) / months) * months;
    for (let t; (t = new Date(Math.floor(m / 12), m % 12, 1).getTime()) <= to; m += months) if (t >= from) out.push(t);
    return out;
  }
  if (step < DAY) {
    const offset = -new Date(from).getTimezoneOffset() * MINUTE;
    for (let t = Math.ceil((from + offset) / step) * step - offset; t <= to; t += step) out.push(t);
    return out;
  }
  const days = step / DAY, d = new Date(from);
  d.setHours(0, 0, 0, 0);
  if (d.getTime() < from) d.setDate(d.getDate() + 1);
  for (; d.getTime() <= to; d.setDate(d.getDate() + 1))
    if (Math.round(d.getTime() / DAY) % days === 0 || days === 1) out.push(d.getTime());
  return out;
}

function timeLabel(t, step, months) {
  const d = new Date(t);
  if (months) return months >= 12 ? String(d.getFullYear()) : MONTHS[d.getMonth()] + " " + d.getFullYear();
  if (step >= DAY || (d.getHours() === 0 && d.getMinutes() === 0 && d.getSeconds() === 0)) return dayMonth(d);
  return step < MINUTE ? clock(d) : two(d.getHours()) + ":" + two(d.getMinutes());
}

// The finest steps that leave each label about 60 px; where no step gives three labels, three
// instants a quarter of the range apart.
function timeTicks(from, to, pixels) {
  const most = Math.max(3, Math.floor(pixels / 60)), span = to - from;
  const tries = TIME_STEPS.map((s) => [s, 0]).concat(MONTH_STEPS.map((n) => [n * 30.44 * DAY, n]));
  for (const [step, months] of tries) {
    if (span / step > most + 1) continue;
    const times = alignedTimes(from, to, step, months);
    if (times.length > most) continue;
    if (times.length < 3) break;
    return times.map((t) => ({ v: t, label: timeLabel(t, step, months) }));
  }
  const gap = span / 4, unit = gap >= DAY ? DAY : gap >= MINUTE ? MINUTE : SECOND;
  return [1, 2, 3].map((k) => {
    const t = Math.round((from + k * gap) / unit) * unit, d = new Date(t);
    const label = gap >= DAY ? dayMonth(d) : (span >= DAY ? dayMonth(d) + " " : "") +
      (unit === SECOND ? clock(d) : two(d.getHours()) + ":" + two(d.getMinutes()));
    return { v: t, label: label };
  });
}

// The coarsest of 1, 2 and 5 times a power of ten that gives three ticks, with the decimals
// that tell them apart (a frequency of 49.98 to 50.02 Hz: 49.98, 50.00, 50.02).
function valueTicks(lo, hi) {
  if (!isFinite(lo) || !isFinite(hi)) return [];
  if (!(hi > lo)) { const d = Math.abs(lo) / 1000 || 1; lo -= d; hi += d; }
  for (let e = Math.ceil(Math.log10(hi - lo)); ; --e)
    for (const mantissa of [5, 2, 1]) {
      const step = mantissa * Math.pow(10, e), first = Math.ceil(lo / step), last = Math.floor(hi / step);
      if (last - first < 2) continue;
      const decimals = Math.max(0, -e);
      const ticks = [];
      for (let k = first; k <= last; ++k) ticks.push({ v: k * step, label: (k * step).toFixed(decimals) });
      return ticks;
    }
}

// ---- the plots

// A plot is drawn when it comes near the window: at load only those in sight, the rest as the
// page scrolls to them (drawing them all at once held the page for seconds on a phone).
const plotOf = new WeakMap();
const nearView = new IntersectionObserver((entries) => {
  for (const e of entries) {
    const [m, p] = plotOf.get(e.target);
    p.near = e.isIntersecting;
    if (p.near && p.stale) setTimeout(() => { if (p.stale) drawPlot(m, p); });
  }
}, { rootMargin: "0px" });

function meterOf(name) {
  if (meters[name]) return meters[name];
  const s = el("section", { id: "meter-" + encodeURIComponent(name), "data-meter": name });
  s.appendChild(el("h2", {}, name));
  const note = el("p", { class: "note", "data-field": "history" }, "");
  s.appendChild(note);
  const grid = el("div", { class: "plots" }), plots = {};
  for (const g of GROUPS) {
    const box = el("div", { class: "plot-box" });
    box.appendChild(el("h3", {}, g.title));
    const legend = el("div", { class: "legend", "data-legend": g.id });
    const plot = el("div", { class: "plot", "data-plot": g.id, "data-points": "0", role: "img",
      "aria-label": g.title + " of " + name + " over time" });
    const hover = el("div", { class: "alarm-hover", "aria-live": "polite" });
    box.append(legend, plot, hover);
    grid.appendChild(box);
    plots[g.id] = { group: g, legend: legend, div: plot, hover: hover, graph: null, near: false, stale: false };
  }
  s.appendChild(grid);
  document.getElementById("meters").appendChild(s);
  // A point per pixel of a plot's width, as the grid lays the plots out (the window's width is
  // read, not the plot's: that would make the browser lay out the page here, for each meter).
  const page = Math.min(innerWidth, 1600) - 40, width = page / Math.max(1, Math.floor((page + 19) / 499));
  const m = { name: name, section: s, note: note, plots: plots, data: null, view: addressView, busy: false,
    pending: null, points: Math.max(50, Math.min(MOST_POINTS, Math.round(width) || 500)) };
  for (const p of Object.values(plots)) {
    p.div.addEventListener("dblclick", () => unzoom(m));
    plotOf.set(p.div, [m, p]);
    nearView.observe(p.div);
  }
  meters[name] = m;
  return m;
}

// Rows for one plot: [time, [min, mean, max] per quantity]; a row of nulls where the series
// has a break (no rounds made), so the line stops there. Points differ in step where retention
// left minutes or hours before the rounds: each point's own step tells a break after it.
function plotRows(data, group) {
  const gapAfter = (p) => (p.step_ms > 0 ? p.step_ms * 1.5 : Math.max(intervalS * 2500, 1500));
  const rows = [];
  let prev = null, gaps = 0;
  for (const p of data.points) {
    if (prev !== null && p.t_ms - prev.t_ms > gapAfter(prev)) {
      rows.push([new Date(prev.t_ms + 1)].concat(group.series.map(() => null)));
      ++gaps;
    }
    rows.push([new Date(p.t_ms)].concat(group.series.map(([k]) => (p[k] ? [p[k].min, p[k].mean, p[k].max] : null))));
    prev = p;
  }
  return { rows: rows, gaps: gaps };
}

function activeAt(m, x) {
  return m.data.intervals.filter((i) => i.raised_ms <= x && (i.cleared_ms === null || x <= i.cleared_ms));
}

function shadeAlarms(m, ctx, area, g) {
  const [x0, x1] = g.xAxisRange();
  ctx.fillStyle = "rgba(230, 126, 34, 0.16)";
  for (const i of m.data.intervals) {
    const a = Math.max(i.raised_ms, x0), b = i.cleared_ms === null ? x1 : Math.min(i.cleared_ms, x1);
    if (b < a) continue;
    const left = g.toDomXCoord(a), right = g.toDomXCoord(b);
    ctx.fillRect(left, area.y, Math.max(1, right - left), area.h);
  }
}

function graphOptions(m, p) {
  return {
    labels: ["time"].concat(p.group.series.map((s) => s[1])), customBars: true, legend: "always",
    labelsDiv: p.legend, colors: COLORS, strokeWidth: 1.3, fillAlpha: 0.18, drawGapEdgePoints: true,
    digitsAfterDecimal: p.group.digits, animatedZooms: false,
    axes: { x: { axisLabelWidth: 70, valueFormatter: dateTime, ticker: (a, b, pixels) => timeTicks(a, b, pixels) },
      y: { axisLabelWidth: 52, ticker: (a, b) => valueTicks(a, b) } },
    underlayCallback: (ctx, area, g) => shadeAlarms(m, ctx, area, g),
    highlightCallback: (e, x) => {
      const a = activeAt(m, x);
      p.hover.textContent = a.length ? "alarms at " + dateTime(x) + ": " + a.map((i) => i.description).join("; ") : "";
    },
    unhighlightCallback: () => { p.hover.textContent = ""; },
    zoomCallback: (from, to) => {
      if (!p.graph || !p.graph.isZoomed("x")) return;
      m.view = { from: Math.floor(from), to: Math.ceil(to), live: false };
      document.getElementById("unzoom").hidden = false;
      writeAddress();
      loadSeries(m, true);
    },
  };
}

// What a plot spans: the range asked for, from its oldest point when open at the start, to now
// when open at the end. A live plot so gains a point at its right edge rather than stretching
// the few points it holds across its width.
function windowOf(m) {
  const range = rangeOf(m), points = m.data.points;
  const from = range.from !== null ? range.from : points.length ? points[0].t_ms : null;
  const to = range.to !== null ? range.to : Math.max(Date.now(), m.data.newest_ms || 0);
  return from !== null && from < to ? [from, to] : null;
}

function drawPlot(m, p) {
  p.stale = false;
  const { rows, gaps } = plotRows(m.data, p.group);
  const shown = m.data.points.length;
  p.div.setAttribute("data-points", String(shown));
  p.div.setAttribute("data-requested", String(m.points));
  p.div.setAttribute("data-gaps", String(gaps));
  p.div.setAttribute("data-alarm-spans", String(m.data.intervals.length));
  p.div.setAttribute("data-step-ms", String(m.data.step_ms));
  p.div.setAttribute("data-newest-ms", m.data.newest_ms === null ? "" : String(m.data.newest_ms));
  if (!rows.length || chartMissing()) {
    if (p.graph) p.graph.destroy();
    p.graph = p.div.dygraph = null;
    p.div.replaceChildren(el("p", { class: "note" }, chartMissing() ? "" : "no stored rounds in this range"));
    return;
  }
  const dateWindow = windowOf(m);
  if (p.graph) { p.graph.updateOptions({ file: rows, dateWindow: dateWindow }); return; }
  p.div.replaceChildren();
  p.graph = new Dygraph(p.div, rows, Object.assign(graphOptions(m, p), { dateWindow: dateWindow }));
  p.div.dygraph = p.graph;  // for scripts that read what a plot shows
}

function draw(m) {
  const d = m.data, range = rangeOf(m);
  const steps = [...new Set(d.points.map((p) => p.step_ms))];
  if (!steps.length) steps.push(d.step_ms);
  const step = "each point " + steps.map((s) => (s ? stepText(s) : "one round")).join(", then ") +
    (steps.some((s) => s) ? " (mean line, min–max band)" : "");
  const alarms = d.intervals.length + (d.intervals.length === 1 ? " alarm interval" : " alarm intervals");
  m.note.textContent = d.points.length + (d.points.length === 1 ? " point, " : " points, ") + step + "; " + alarms +
    (range.live ? ", live" : ", " + dateTime(d.points.length ? d.points[0].t_ms : range.from) + " to " +
      dateTime(range.to !== null ? range.to : Date.now()));
  // A plot per task, those in sight only: the page answers input between them.
  for (const p of Object.values(m.plots)) {
    p.stale = true;
    if (p.near) setTimeout(() => { if (p.stale) drawPlot(m, p); });
  }
}

function stepText(ms) {
  const s = ms / 1000;
  return s % 86400 === 0 ? s / 86400 + " d" : s % 3600 === 0 ? s / 3600 + " h" : s % 60 === 0 ? s / 60 + " min" : s + " s";
}

// Back to the range chosen (a double-click on a plot not zoomed by the page: its own span again).
function unzoom(m) {
  if (!m.view) { if (m.data) draw(m); return; }
  m.view = null;
  document.getElementById("unzoom").hidden = Object.values(meters).every((x) => !x.view);
  writeAddress();
  loadSeries(m, true);
}

// ---- the address: the range and a zoom in it, so that a reload, a bookmark or a shared link
// shows the same view. "#range=7d"; a zoom or typed times add "&from=...&to=..." (UTC, ISO 8601).

// A zoom the address asked for, given to each meter as it appears.
let addressView = null;
const isoTime = (ms) => new Date(ms).toISOString().replace(/\.\d+Z$/, "Z");

function writeAddress() {
  const select = document.getElementById("range");
  let text = "#range=" + select.selectedOptions[0].dataset.name, shown = null;
  if (select.value === "custom") {
    try { shown = { from: typedTime("from"), to: typedTime("to") }; } catch (e) { shown = null; }
  }
  const zoomed = Object.values(meters).find((m) => m.view);
  if (zoomed) shown = zoomed.view;
  if (shown && shown.from !== null) text += "&from=" + isoTime(shown.from);
  // Whole seconds that take in what is shown, as the series are asked for.
  if (shown && shown.to !== null) text += "&to=" + isoTime(Math.ceil(shown.to / 1000) * 1000);
  if (text !== location.hash) history.replaceState(null, "", text);
}

// Sets the controls and the zoom from the address; false when it names no range.
function readAddress() {
  const q = new URLSearchParams(location.hash.slice(1)), select = document.getElementById("range");
  const option = [...select.options].find((o) => o.dataset.name === q.get("range"));
  if (!option) return false;
  select.value = option.value;
  const time = (k) => { const t = q.get(k) ? Date.parse(q.get(k)) : NaN; return isNaN(t) ? null : t; };
  const from = time("from"), to = time("to");
  const custom = option.value === "custom";
  document.getElementById("from").value = custom && from !== null ? dateTime(from) : "";
  document.getElementById("to").value = custom && to !== null ? dateTime(to) : "";
  addressView = !custom && from !== null && to !== null && from < to ? { from: from, to: to, live: false } : null;
  return true;
}

function followAddress() {
  if (!readAddress()) return;
  clearNotice();
  for (const m of Object.values(meters)) { m.view = addressView; loadSeries(m, true); }
  document.getElementById("unzoom").hidden = !addressView;
}

// ---- polling

// A live plot moves by a pixel every span / points: its newer rounds are read and drawn that
// often, from every round to every 10 s (not each second a plot of days that would not change).
function newerDue(m) {
  const range = rangeOf(m), now = Date.now();
  if (!range.live) return false;
  const from = range.from !== null ? range.from : m.data.points.length ? m.data.points[0].t_ms : now;
  if (now - (m.newerAt || 0) < Math.min(10000, (now - from) / m.points)) return false;
  m.newerAt = now;
  return true;
}

function notice(text) { document.getElementById("notice").textContent = text; }
// Clears what was said of an earlier range (not that the chart library is missing).
function clearNotice() { if (!chartMissing()) notice(""); }

async function poll() {
  try {
    const data = await api("/api/meters");
    intervalS = data.interval_s;
    if (!measurements.length) { measurements = data.measurements; header(); }
    if (data.sequence !== sequence) {
      sequence = data.sequence;
      document.querySelector("#live tbody").replaceChildren(...data.meters.map(liveRow));
      document.querySelector("#links tbody").replaceChildren(...data.meters.map(linkRow));
      if (!document.querySelector(".table-box").classList.contains("cards")) fitTable();
      // Shown with the first table, not pushed down by it.
      for (const e of document.querySelectorAll(".after-table")) e.hidden = false;
      // In a task of its own: the table is painted first.
      setTimeout(() => {
        for (const info of data.meters) {
          const m = meterOf(info.name);
          if (!chartMissing() && (!m.data || newerDue(m))) loadSeries(m, !m.data);
        }
      });
    }
    document.getElementById("status").textContent = data.meters.length + (data.meters.length === 1 ? " meter" : " meters") +
      ", polled every " + data.interval_s + " s; updated " + clock(new Date());
    document.body.setAttribute("data-ready", "1");
  } catch (e) {
    document.getElementById("status").textContent = "cannot reach the host: " + e.message;
  }
  setTimeout(poll, POLL_MS);
}

function reloadAll() {
  for (const m of Object.values(meters)) { m.view = null; loadSeries(m, true); }
  document.getElementById("unzoom").hidden = true;
  addressView = null;
  writeAddress();
}

function start() {
  document.getElementById("clock-note").textContent = "Times: 24-hour clock, " + utcOffset() + " (this browser's zone).";
  if (chartMissing())
    notice("The chart library is not installed (Debian package libjs-dygraphs): the plots are not shown.");
  const range = document.getElementById("range");
  range.addEventListener("change", () => { if (range.value !== "custom") { clearNotice(); reloadAll(); } });
  document.getElementById("controls").addEventListener("submit", (e) => {
    e.preventDefault();
    clearNotice();
    if (document.getElementById("from").value) range.value = "custom";
    reloadAll();
  });
  document.getElementById("unzoom").addEventListener("click", () => Object.values(meters).forEach(unzoom));
  readAddress();
  document.getElementById("unzoom").hidden = !addressView;
  window.addEventListener("hashchange", followAddress);
  window.addEventListener("resize", () => fitTable(true));
  poll();
}

start();
