// The live table polls /api/meters and redraws when a round came; each meter's plots read its
// history over the chosen range and are read again after new rounds.
"use strict";
const POLL_MS = 1000, PLOT_REFRESH_MS = 5000;
let measurements = [], sequence = -1, plotted = {}, plotsLoaded = {};

const el = (tag, attrs, text) => {
  const e = document.createElement(tag);
  for (const k in attrs || {}) e.setAttribute(k, attrs[k]);
  if (text !== undefined) e.textContent = text;
  return e;
};
const fmt = (v, d) => (typeof v === "number" ? v.toFixed(d) : "–");
const toDate = (t) => new Date(t.replace(" ", "T"));
const api = (path) => fetch(path, { cache: "no-store" }).then((r) => {
  if (!r.ok) throw new Error(path + ": " + r.status);
  return r.json();
});

function header() {
  const head = document.querySelector("#live thead");
  const row = el("tr");
  const cols = ["meter", "state", "last round"].concat(
    measurements.map((m) => m.name + " (" + m.unit + ")"),
    ["f (Hz)", "PF total", "active alarms", "requests", "errors", "rounds ok / failed", "round ms"]);
  for (const c of cols) row.appendChild(el("th", {}, c));
  head.replaceChildren(row);
}

function liveRow(m) {
  const r = el("tr", { "data-meter": m.name });
  const last = m.last_complete, latest = m.latest;
  const cell = (text, attrs) => r.appendChild(el("td", attrs || {}, text));
  cell(m.name, { class: "name" });
  const state = !latest ? "no round yet" : m.online ? (m.fresh ? "online" : "online, no fresh round") : "offline";
  cell(state, { class: "state " + (m.online ? (m.fresh ? "online" : "stale") : "offline"), "data-field": "state" });
  cell(last ? last.time : "–", { "data-field": "time" });
  for (const meas of measurements) {
    const v = last && last.values ? last.values[meas.name] : undefined;
    cell(fmt(v, meas.unit === "V" ? 2 : 3), { "data-field": meas.name });
  }
  const rec = last && last.record;
  cell(fmt(rec && rec.frequency, 2), { "data-field": "frequency" });
  cell(fmt(rec && rec.power_factor[3], 3), { "data-field": "power_factor" });
  const alarms = Object.keys(m.active_alarms).map((k) => m.active_alarms[k].description + " (since " + m.active_alarms[k].since + ")");
  cell(alarms.length ? alarms.join("; ") : "none", { class: alarms.length ? "alarms active" : "alarms", "data-field": "alarms" });
  const st = latest && latest.link_stats;
  let errors = 0;
  if (st) for (const k in st.errors) errors += st.errors[k];
  cell(st ? String(st.requests) : "–", { "data-field": "requests" });
  cell(st ? String(errors) : "–", { "data-field": "errors", title: st ? JSON.stringify(st.errors) : "" });
  cell(st ? st.rounds_complete + " / " + st.rounds_failed : "–");
  cell(st ? fmt(st.last_round_ms, 1) : "–");
  return r;
}

function plotGroups() {
  const volts = measurements.filter((m) => m.unit === "V").map((m) => m.name);
  const amps = measurements.filter((m) => m.unit === "A").map((m) => m.name);
  return [
    { id: "voltages", title: "Voltages (V)", labels: volts, pick: (r) => volts.map((n) => r[n]) },
    { id: "currents", title: "Currents (A)", labels: amps, pick: (r) => amps.map((n) => r[n]) },
    { id: "frequency", title: "Frequency (Hz)", labels: ["frequency"], pick: (r) => [r.frequency] },
    { id: "power_factors", title: "Power factors", labels: ["PF A", "PF B", "PF C", "PF total"], pick: (r) => r.power_factor },
  ];
}

function meterSection(name) {
  const id = "meter-" + encodeURIComponent(name);
  let s = document.getElementById(id);
  if (s) return s;
  s = el("section", { id: id, "data-meter": name });
  s.appendChild(el("h2", {}, name));
  s.appendChild(el("p", { class: "note", "data-field": "history" }, ""));
  const grid = el("div", { class: "plots" });
  for (const g of plotGroups()) {
    const box = el("div");
    box.appendChild(el("div", { class: "note" }, g.title));
    box.appendChild(el("div", { class: "plot", "data-plot": g.id, "data-points": "0" }));
    grid.appendChild(box);
  }
  s.appendChild(grid);
  document.getElementById("meters").appendChild(s);
  return s;
}

async function loadPlots(name) {
  const section = meterSection(name);
  const seconds = Number(document.getElementById("range").value);
  const range = seconds ? "from=" + (Math.floor(Date.now() / 1000) - seconds) : "";
  const groups = plotGroups();
  const fields = measurements.map((m) => m.name).concat(["frequency", "power_factor"]).join(",");
  const base = "/api/meters/" + encodeURIComponent(name);
  const [history, alarms] = await Promise.all([
    api(base + "/history?" + range + "&fields=" + fields),
    api(base + "/alarms?" + range),
  ]);
  const marks = alarms.events.map((e) => ({ x: toDate(e.time).getTime(), raised: e.state === "raised" }));
  const rows = history.rows.map((r) => ({ t: toDate(r.time), rec: r.record }));
  section.querySelector('[data-field="history"]').textContent =
    rows.length + " stored rounds" + (history.truncated ? " (the newest " + rows.length + " of the range)" : "") +
    ", " + marks.length + " alarm changes";
  for (const g of groups) {
    const div = section.querySelector('[data-plot="' + g.id + '"]');
    div.setAttribute("data-points", String(rows.length));
    div.setAttribute("data-alarm-marks", String(marks.length));
    if (!rows.length) { div.replaceChildren(el("p", { class: "note" }, "no stored rounds in this range")); continue; }
    if (div._graph) { div._graph.destroy(); }
    div.replaceChildren();
    div._graph = new Dygraph(div, rows.map((r) => [r.t].concat(g.pick(r.rec))), {
      labels: ["time"].concat(g.labels), legend: "follow", drawPoints: rows.length < 200, strokeWidth: 1.2,
      underlayCallback: (ctx, area, graph) => {
        for (const m of marks) {
          const x = graph.toDomXCoord(m.x);
          if (x < area.x || x > area.x + area.w) continue;
          ctx.strokeStyle = m.raised ? "#d00" : "#090";
          ctx.beginPath(); ctx.moveTo(x, area.y); ctx.lineTo(x, area.y + area.h); ctx.stroke();
        }
      },
    });
  }
}

async function poll() {
  try {
    const data = await api("/api/meters");
    if (!measurements.length) { measurements = data.measurements; header(); }
    if (data.sequence !== sequence) {
      sequence = data.sequence;
      document.querySelector("#live tbody").replaceChildren(...data.meters.map(liveRow));
    }
    document.getElementById("status").textContent =
      data.meters.length + " meters, polled every " + data.interval_s + " s; updated " + new Date().toLocaleTimeString();
    const now = Date.now();
    for (const m of data.meters) {
      const id = m.last_complete ? m.last_complete.history_id : 0;
      if (plotted[m.name] === id && plotsLoaded[m.name]) continue;
      if (plotsLoaded[m.name] && now - plotsLoaded[m.name].at < PLOT_REFRESH_MS) continue;
      plotsLoaded[m.name] = { at: now };
      await loadPlots(m.name);
      plotted[m.name] = id;
    }
    document.body.setAttribute("data-ready", "1");
  } catch (e) {
    document.getElementById("status").textContent = "cannot reach the host: " + e.message;
    console.error(e.stack);
  }
  setTimeout(poll, POLL_MS);
}

document.getElementById("range").addEventListener("change", () => {
  plotsLoaded = {};
  plotted = {};
});
poll();
