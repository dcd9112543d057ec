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

const COLUMNS = () => ["meter", "state", "last round"].concat(
  measurements.map((m) => m.name + " (" + m.unit + ")"),
  ["f (Hz)", "PF total", "active alarms", "requests", "errors", "rounds ok / failed", "round ms"]);

function header() {
  const row = el("tr");
  for (const c of COLUMNS()) row.appendChild(el("th", { scope: "col" }, c));
  document.querySelector("#live thead").replaceChildren(row);
}

function stateCell(m) {
  const td = el("td", { class: "state", "data-field": "state" }), badges = el("span");
  td.appendChild(badges);
  const latest = m.latest;
  const [text, kind] = !latest ? ["no round yet", "waiting"] : !m.online ? ["offline", "offline"]
    : m.fresh ? ["online", "online"] : ["online, no fresh round", "stale"];
  badges.appendChild(el("span", { class: "badge " + kind }, text));
  const alarms = Object.keys(m.active_alarms).length;
  if (alarms) badges.appendChild(el("span", { class: "badge alarm" }, alarms + (alarms === 1 ? " alarm" : " alarms")));
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

function liveRow(m) {
  const r = el("tr", { "data-meter": m.name });
  const last = m.last_complete, st = m.latest && m.latest.link_stats;
  const values = [m.name, null, typeof m.last_complete_ms === "number" ? shortTime(m.last_complete_ms) : "–"];
  const fields = ["name", "state", "time"];
  for (const meas of measurements) {
    values.push(fmt(last && last.values ? last.values[meas.name] : undefined, meas.unit === "V" ? 2 : 3));
    fields.push(meas.name);
  }
  const rec = last && last.record;
  let errors = 0;
  if (st) for (const k in st.errors) errors += st.errors[k];
  const alarms = alarmsText(m);
  values.push(fmt(rec && rec.frequency, 2), fmt(rec && rec.power_factor[3], 3),
    alarms.length ? alarms.join("; ") : "none", st ? String(st.requests) : "–", st ? String(errors) : "–",
    st ? st.rounds_complete + " / " + st.rounds_failed : "–", st ? fmt(st.last_round_ms, 1) : "–");
  fields.push("frequency", "power_factor", "alarms", "requests", "errors", "rounds", "round_ms");
  const labels = COLUMNS();
  values.forEach((v, i) => {
    const td = i === 1 ? stateCell(m) : el("td", { "data-field": fields[i] }, v);
    td.setAttribute("data-label", labels[i]);
    if (i === 0) td.className = "name";
    if (fields[i] === "alarms") {
      td.className = alarms.length ? "alarms active" : "alarms";
      td.title = v;
    }
    if (fields[i] === "errors" && st) td.title = JSON.stringify(st.errors);
    r.appendChild(td);
  });
  return r;
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

// ---- the plots

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
    plots[g.id] = { group: g, legend: legend, div: plot, hover: hover, graph: null };
  }
  s.appendChild(grid);
  document.getElementById("meters").appendChild(s);
  const width = Object.values(plots)[0].div.clientWidth;
  const m = { name: name, section: s, note: note, plots: plots, data: null, view: null, busy: false,
    pending: null, points: Math.max(50, Math.min(MOST_POINTS, Math.round(width) || 500)) };
  for (const p of Object.values(plots)) p.div.addEventListener("dblclick", () => unzoom(m));
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
    axes: { x: { axisLabelWidth: 70, pixelsPerLabel: 90, valueFormatter: dateTime },
      y: { axisLabelWidth: 52 } },
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
  // A plot per task: the page answers input between them.
  Object.values(m.plots).forEach((p, i) => setTimeout(() => drawPlot(m, p), i));
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
  loadSeries(m, true);
}

// ---- polling

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
      // Shown with the first table, not pushed down by it.
      for (const e of document.querySelectorAll(".after-table")) e.hidden = false;
      for (const info of data.meters) {
        const m = meterOf(info.name);
        if (!chartMissing()) loadSeries(m, !m.data);
      }
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
  poll();
}

start();
