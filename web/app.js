// The queltd operator console. Plain JavaScript, no build step, nothing loaded from elsewhere:
// every page reads and acts through the daemon's own REST API, on the origin that served it.
"use strict";

const REFRESH_MS = 2000;
const SEV_CLEAR = 2147483647;

// ---- DOM helpers ---------------------------------------------------------------------------

// h("td", {class: "num"}, "text", child, ...): an element; texts are always text nodes.
function h(tag, attrs, ...children) {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (v === undefined || v === null || v === false) continue;
    if (k.startsWith("on")) el.addEventListener(k.slice(2), v);
    else if (v === true) el.setAttribute(k, "");
    else el.setAttribute(k, String(v));
  }
  for (const c of children.flat()) {
    if (c === undefined || c === null || c === false) continue;
    el.append(c instanceof Node ? c : document.createTextNode(String(c)));
  }
  return el;
}

// Replaces el's children; arrays are flattened, null and false left out.
function fill(el, ...children) {
  el.replaceChildren(...children.flat(Infinity).filter((c) => c !== null && c !== undefined && c !== false));
}

function ageText(ms) {
  if (ms === null || ms === undefined) return "";
  const s = Math.max(0, Math.round(ms / 1000));
  if (s < 90) return s + " s";
  if (s < 5400) return Math.round(s / 60) + " min";
  if (s < 172800) return (s / 3600).toFixed(1) + " h";
  return (s / 86400).toFixed(1) + " d";
}

function timeText(ms) {
  return ms ? new Date(ms).toISOString().replace("T", " ").replace(/\.\d+Z$/, "Z") : "";
}

function sevBadge(sev) {
  if (sev === null || sev === undefined || sev === SEV_CLEAR) return h("span", {class: "tag good"}, "clear");
  const cls = sev >= 1 && sev <= 5 ? "sev-" + sev : "sev-other";
  return h("span", {class: "sev " + cls, title: "severity " + sev}, String(sev));
}

function valueText(v) {
  if (v === null || v === undefined) return "";
  if (typeof v === "number") return Number.isInteger(v) ? String(v) : v.toPrecision(6).replace(/\.?0+$/, "");
  return String(v);
}

// ---- The daemon ------------------------------------------------------------------------------

class DaemonError extends Error {}

let offline = false;

function setOffline(down, why) {
  const banner = document.getElementById("banner");
  if (down) {
    banner.textContent = "Connection to queltd lost (" + why + "). Retrying every 2 seconds…";
    banner.hidden = false;
  } else if (offline) {
    banner.hidden = true;
  }
  offline = down;
}

// Calls the daemon. A failed request throws a DaemonError with the daemon's own reason; a lost
// connection raises the banner (and throws) until a later call gets through.
async function api(method, path, body) {
  const init = {method, credentials: "same-origin", cache: "no-store", headers: {}};
  if (body !== undefined) {
    init.body = typeof body === "string" ? body : JSON.stringify(body);
    init.headers["Content-Type"] = "application/json";
  }
  let res;
  try {
    res = await fetch(path, init);
  } catch (e) {
    setOffline(true, "no answer");
    throw new DaemonError("queltd does not answer");
  }
  setOffline(false);
  const text = await res.text();
  let doc = null;
  try { doc = text ? JSON.parse(text) : null; } catch (e) { doc = null; }
  if (!res.ok) {
    const reason = doc && typeof doc === "object" && doc.error ? doc.error : (text.trim() || res.statusText);
    let shown = path.split("?")[0];
    try { shown = decodeURIComponent(shown); } catch (e) { /* shown as sent */ }
    throw new DaemonError(method + " " + shown + ": " + res.status + " " + reason);
  }
  return doc;
}

function say(text, kind) {
  const m = document.getElementById("message");
  m.textContent = text;
  m.className = kind || "";
  m.hidden = !text;
}

// Runs an action; shows its result or the daemon's reason.
async function act(what, fn) {
  try {
    const note = await fn();
    say(note || what + ": done", "ok");
    return true;
  } catch (e) {
    say(what + " failed: " + e.message, "error");
    return false;
  }
}

// ---- Pages -------------------------------------------------------------------------------

let timers = [];
let generation = 0;

function every(ms, fn) {
  const gen = generation;
  const tick = async () => {
    if (gen !== generation) return;
    try { await fn(); } catch (e) { if (!(e instanceof DaemonError)) console.error(e); }
    if (gen === generation) timers.push(setTimeout(tick, ms));
  };
  tick();
}

function field(label, input) {
  return h("label", {}, label, input);
}

function formValues(form) {
  const out = {};
  for (const el of form.elements) if (el.name) out[el.name] = el.type === "checkbox" ? el.checked : el.value.trim();
  return out;
}

function query(params) {
  const q = Object.entries(params).filter(([, v]) => v !== "" && v !== undefined && v !== null);
  return q.length ? "?" + q.map(([k, v]) => encodeURIComponent(k) + "=" + encodeURIComponent(v)).join("&") : "";
}

// ---- Alerts ----

const alertsState = {filters: {}, after: null, cursors: [], history: null};

function clearStreamPath(row) {
  return "/rulestream/clear/alert/" + row.event_criteria_id + "/" + encodeURIComponent(row.signature);
}

async function showHistory(panel, ecid, signature) {
  fill(panel, h("p", {class: "muted"}, "Loading the history of " + signature + " …"));
  try {
    const r = await api("GET", "/ruleset/" + ecid);
    const s = r.streams && r.streams[signature];
    const title = h("h2", {}, "History of ", h("code", {}, signature), " (ruleset ",
      h("a", {href: "#rulesets/" + ecid}, String(ecid)), ")");
    if (!s) {
      fill(panel, title, h("p", {class: "empty"}, "The ruleset no longer holds this stream."));
      return;
    }
    fill(panel, title, historyTable(s.trigger_history || []),
      h("p", {class: "muted"}, "Applications: " + s.applications + ", last data " + timeText(s.last_time_ms)));
  } catch (e) {
    fill(panel, h("p", {class: "error"}, e.message));
  }
}

function historyTable(history) {
  if (!history.length) return h("p", {class: "empty"}, "No change recorded yet.");
  return h("table", {}, h("thead", {}, h("tr", {}, h("th", {}, "When"), h("th", {}, "Severity"),
      h("th", {}, "Rule"), h("th", {}, "Value"), h("th", {}, "Announced"))),
    h("tbody", {}, history.map((e) => h("tr", {},
      h("td", {}, timeText(e.whence_ms)), h("td", {}, sevBadge(e.severity)),
      h("td", {}, e.rule < 0 ? (e.rule === -1 ? "clear" : "undetermined") : String(e.rule)),
      h("td", {}, valueText(e.value)), h("td", {}, e.notified ? "yes" : "no")))));
}

function renderAlerts(main) {
  const st = alertsState;
  const f = st.filters;
  const form = h("form", {class: "filters", role: "search", "aria-label": "Filter alerts"},
    field("Text in name or signature", h("input", {name: "q", value: f.q || "", type: "search", size: 24})),
    field("Severity (e.g. 1,2)", h("input", {name: "severity", value: f.severity || "", size: 8})),
    field("Account", h("input", {name: "account_id", value: f.account_id || "", size: 8, inputmode: "numeric"})),
    field("Ruleset", h("input", {name: "ruleset", value: f.ruleset || "", size: 10, inputmode: "numeric"})),
    field("Check UUID", h("input", {name: "check", value: f.check || "", size: 36})),
    h("button", {type: "submit", class: "primary"}, "Filter"),
    h("button", {type: "reset", onclick: () => { st.filters = {}; st.after = null; st.cursors = []; setTimeout(() => route(), 0); }}, "Reset"));
  form.addEventListener("submit", (ev) => {
    ev.preventDefault();
    st.filters = formValues(form);
    st.after = null;
    st.cursors = [];
    refresh();
  });
  const summary = h("p", {class: "muted", id: "alerts-summary"}, "Loading…");
  const tbody = h("tbody", {id: "alerts-body"});
  const table = h("table", {id: "alerts-table"}, h("caption", {class: "muted"}, "Raised streams, most severe and oldest first; refreshed every 2 s"),
    h("thead", {}, h("tr", {}, ["Severity", "Since", "Ruleset", "Metric", "Tags", "Host", "Broker", "Value", "State", "Actions"].map((t) => h("th", {scope: "col"}, t)))),
    tbody);
  const prev = h("button", {type: "button", onclick: () => { st.after = st.cursors.pop() || null; refresh(); }}, "Previous page");
  const next = h("button", {type: "button"}, "Next page");
  const pager = h("div", {class: "pager"}, prev, next);
  const panel = h("div", {class: "panel", id: "history-panel", hidden: !st.history});
  fill(main, h("h1", {}, "Alerts"), form, summary, table, pager, panel);
  if (st.history) showHistory(panel, st.history.ecid, st.history.signature);

  let nextCursor = null;
  next.addEventListener("click", () => { if (nextCursor) { st.cursors.push(st.after); st.after = nextCursor; refresh(); } });

  async function refresh() {
    const doc = await api("GET", "/alerts" + query({...st.filters, after: st.after || "", limit: 100}));
    nextCursor = doc.next;
    next.disabled = !doc.next;
    prev.disabled = !st.after;
    summary.textContent = doc.matched + " raised stream" + (doc.matched === 1 ? "" : "s") +
      (st.after ? " after this point" : "") + " of " + doc.streams + " held; showing " + doc.count + ".";
    const now = Date.now();
    // Rows whose alert did not change are kept (only their age moves), so that a row being
    // read or clicked is not replaced under the operator's pointer.
    const kept = new Map();
    for (const tr of tbody.querySelectorAll("tr[data-key]")) kept.set(tr.dataset.key, tr);
    const rows = doc.alerts.map((a) => {
      const key = a.event_criteria_id + " " + a.signature;
      const print = JSON.stringify(a);
      const old = kept.get(key);
      if (old && old.dataset.print === print) {
        old.querySelector("td.age").textContent = ageText(now - a.since_ms);
        return old;
      }
      const state = [];
      if (a.held_by_maintenance) state.push(h("span", {class: "tag warn", title: "maintenance holds back a newer state" + (a.newest_severity ? " (severity " + a.newest_severity + ")" : "")}, "held"));
      if (a.ancestor_event_criteria_id) state.push(h("span", {class: "tag", title: "an ancestor ruleset is at severity 1"}, "ancestor " + a.ancestor_event_criteria_id));
      if (!a.operated) state.push(h("span", {class: "tag bad", title: "another node publishes this metric's alerts"}, "not operated here"));
      if (!a.owned) state.push(h("span", {class: "tag bad", title: "this node does not own the metric"}, "not owned"));
      const hist = h("button", {type: "button", "aria-label": "History of " + a.name, onclick: () => {
        st.history = {ecid: a.event_criteria_id, signature: a.signature};
        panel.hidden = false;
        showHistory(panel, a.event_criteria_id, a.signature);
      }}, "History");
      const clear = h("button", {type: "button", class: "danger", "aria-label": "Clear the alert of " + a.name, onclick: async () => {
        if (await act("Clearing " + a.name, async () => { await api("POST", clearStreamPath(a)); return "Cleared the alert of " + a.name + " (ruleset " + a.event_criteria_id + ")"; })) refresh().catch(() => {});
      }}, "Clear");
      return h("tr", {class: "row-sev-" + a.severity, "data-signature": a.signature, "data-key": key, "data-print": print},
        h("td", {}, sevBadge(a.severity)),
        h("td", {class: "age", title: timeText(a.since_ms)}, ageText(now - a.since_ms)),
        h("td", {}, h("a", {href: "#rulesets/" + a.event_criteria_id}, String(a.event_criteria_id)), h("div", {class: "muted"}, "account " + a.account_id)),
        h("td", {}, h("span", {class: "mono"}, a.name), h("div", {class: "muted mono"}, a.check_uuid)),
        h("td", {class: "mono"}, a.stream_tags),
        h("td", {}, a.host || ""),
        h("td", {}, a.broker || ""),
        h("td", {class: "num", title: a.criteria || ""}, valueText(a.value)),
        h("td", {}, state),
        h("td", {}, hist, " ", clear));
    });
    fill(tbody, ...(rows.length ? rows : [h("tr", {}, h("td", {colspan: 10, class: "empty"}, "Nothing is raised."))]));
  }
  every(REFRESH_MS, refresh);
}

// ---- Rulesets ----

function rulesetRow(r) {
  const streams = Object.values(r.streams || {});
  const raised = streams.filter((s) => s.last_severity !== SEV_CLEAR && s.last_rule >= 0).length;
  return h("tr", {},
    h("td", {}, h("a", {href: "#rulesets/" + r.event_criteria_id}, String(r.event_criteria_id))),
    h("td", {}, String(r.account_id)),
    h("td", {class: "mono"}, r.uuid || "any check"),
    h("td", {class: "mono"}, r.name !== undefined ? r.name : "/" + r.pattern + "/"),
    h("td", {}, r.type),
    h("td", {class: "num"}, String(streams.length)),
    h("td", {class: "num"}, String(raised)),
    h("td", {}, r.owned ? "yes" : "no", " / ", r.operated ? "yes" : "no"));
}

function renderRulesets(main, id) {
  if (id) return renderRuleset(main, id);
  const form = h("form", {class: "filters", role: "search", "aria-label": "Find rulesets"},
    field("Ruleset id", h("input", {name: "id", size: 12, inputmode: "numeric"})),
    field("Check UUID", h("input", {name: "uuid", size: 36})),
    field("Metric name contains", h("input", {name: "name", size: 24})),
    field("Account", h("input", {name: "account_id", size: 8, inputmode: "numeric"})),
    h("button", {type: "submit", class: "primary"}, "Search"));
  const out = h("div", {});
  fill(main, h("h1", {}, "Rulesets"), form, out);
  async function search() {
    const v = formValues(form);
    if (v.id) { location.hash = "#rulesets/" + v.id; return; }
    fill(out, h("p", {class: "muted"}, "Searching…"));
    try {
      let list = await api("GET", "/rulesets" + query({uuid: v.uuid, account_id: v.account_id}));
      if (v.name) list = list.filter((r) => (r.name !== undefined ? r.name : r.pattern || "").toLowerCase().includes(v.name.toLowerCase()));
      fill(out, h("p", {class: "muted"}, list.length + " ruleset" + (list.length === 1 ? "" : "s")),
        h("table", {}, h("thead", {}, h("tr", {}, ["Id", "Account", "Check", "Metric", "Type", "Streams", "Raised", "Owned / operated"].map((t) => h("th", {scope: "col"}, t)))),
          h("tbody", {}, list.slice(0, 500).map(rulesetRow))),
        list.length > 500 ? h("p", {class: "muted"}, "The first 500 are shown; narrow the search.") : null);
    } catch (e) {
      fill(out, h("p", {class: "error"}, e.message));
    }
  }
  form.addEventListener("submit", (ev) => { ev.preventDefault(); search(); });
  // Every ruleset comes with its streams: a large registry is listed only when asked for.
  api("GET", "/stats.json?format=simple").then((doc) => {
    const held = dig(doc, "ruleset/current") || 0;
    if (held <= 1000) search();
    else fill(out, h("p", {class: "muted"}, held + " rulesets are held: search by id, check or name (an empty search lists them all)."));
  }).catch((e) => fill(out, h("p", {class: "error"}, e.message)));
}

function renderRuleset(main, id) {
  const out = h("div", {});
  fill(main, h("h1", {}, "Ruleset " + id), h("p", {}, h("a", {href: "#rulesets"}, "← all rulesets")), out);
  async function load() {
    const r = await api("GET", "/ruleset/" + encodeURIComponent(id));
    const def = h("table", {}, h("tbody", {},
      [["Account", r.account_id], ["Type", r.type], ["Check", r.uuid || "any check"],
       [r.name !== undefined ? "Metric" : "Pattern", r.name !== undefined ? r.name : r.pattern],
       ["Parent", r.parent_event_criteria_id || "none"], ["Tag filter", r.tag_filter || "none"],
       ["Owned / operated here", (r.owned ? "yes" : "no") + " / " + (r.operated ? "yes" : "no")],
       ["Applications", r.applications], ["Last data", timeText(r.last_time_ms)]]
        .map(([k, v]) => h("tr", {}, h("th", {scope: "row"}, k), h("td", {class: "mono"}, String(v))))));
    const clearAll = h("button", {type: "button", class: "danger", onclick: async () => {
      if (await act("Clearing ruleset " + id, async () => { await api("POST", "/ruleset/clear/alert/" + id); return "Cleared every stream of ruleset " + id; })) load().catch(() => {});
    }}, "Clear every stream");
    const streams = Object.entries(r.streams || {});
    const blocks = streams.slice(0, 200).map(([sig, s]) => h("div", {class: "panel"},
      h("h2", {}, sevBadge(s.last_rule >= 0 ? s.last_severity : null), " ", h("code", {}, sig)),
      h("p", {class: "muted"}, "Applications " + s.applications + ", last data " + timeText(s.last_time_ms)),
      h("table", {}, h("thead", {}, h("tr", {}, ["Rule", "Criterion", "Severity", "Threshold", "Window", "Observed", "Holds"].map((t) => h("th", {scope: "col"}, t)))),
        h("tbody", {}, (s.rules || []).map((rule, i) => h("tr", {},
          h("td", {}, String(i)), h("td", {}, rule.criteria), h("td", {}, sevBadge(rule.severity)),
          h("td", {}, valueText(rule.predicate_value)),
          h("td", {}, rule.windowing_function ? rule.windowing_function + " " + rule.windowing_duration + " s" : (rule.absence_ms ? "absent " + rule.absence_ms / 1000 + " s" : "")),
          h("td", {class: "num"}, valueText(rule.last_observed_value)),
          h("td", {}, rule.triggered ? "yes" : ""))))),
      h("h2", {}, "History"), historyTable(s.trigger_history || [])));
    fill(out, def, h("p", {}, clearAll), h("h2", {}, streams.length + " stream" + (streams.length === 1 ? "" : "s")), blocks,
      streams.length > 200 ? h("p", {class: "muted"}, "The first 200 streams are shown.") : null);
  }
  load().catch((e) => fill(out, h("p", {class: "error"}, e.message)));
}

// ---- Maintenance ----

function localInput(date) {
  const pad = (n) => String(n).padStart(2, "0");
  return date.getFullYear() + "-" + pad(date.getMonth() + 1) + "-" + pad(date.getDate()) + "T" + pad(date.getHours()) + ":" + pad(date.getMinutes());
}

function renderMaintenance(main) {
  const now = new Date();
  const form = h("form", {class: "card", "aria-label": "Create a maintenance window", id: "maint-form"},
    field("Covers", h("select", {name: "maintenance_type"}, ["account", "host", "check", "metric"].map((t) =>
      h("option", {value: t}, t === "metric" ? "ruleset (id)" : t)))),
    field("Account, host, check id or ruleset id", h("input", {name: "maintenance_item", required: true, size: 22})),
    field("Account", h("input", {name: "account_id", required: true, size: 8, inputmode: "numeric"})),
    h("fieldset", {}, h("legend", {}, "Severities"), [1, 2, 3, 4, 5].map((s) =>
      h("label", {}, h("input", {type: "checkbox", name: "sev" + s, checked: s <= 3}), String(s)))),
    field("Start", h("input", {type: "datetime-local", name: "start", value: localInput(new Date(now.getTime() - 60000))})),
    field("Stop", h("input", {type: "datetime-local", name: "stop", value: localInput(new Date(now.getTime() + 3600000))})),
    field("Id (empty: a new one)", h("input", {name: "maintenance_id", size: 14, inputmode: "numeric"})),
    h("button", {type: "submit", class: "primary"}, "Create window"));
  const show = h("select", {name: "show", "aria-label": "Which windows"},
    h("option", {value: ""}, "every window"), h("option", {value: "active"}, "active now"), h("option", {value: "future"}, "not yet started"));
  const tbody = h("tbody", {id: "maint-body"});
  fill(main, h("h1", {}, "Maintenance"), form,
    h("h2", {}, "Windows ", show),
    h("table", {id: "maint-table"}, h("thead", {}, h("tr", {}, ["Id", "Covers", "Account", "Severities", "Start", "Stop", "State", "Holding back", ""].map((t) => h("th", {scope: "col"}, t)))), tbody));
  form.addEventListener("submit", async (ev) => {
    ev.preventDefault();
    const v = formValues(form);
    const start = Math.floor(new Date(v.start).getTime() / 1000);
    const stop = Math.floor(new Date(v.stop).getTime() / 1000);
    const sevs = [1, 2, 3, 4, 5].filter((s) => v["sev" + s]);
    const id = v.maintenance_id || String(Date.now() * 1000 + Math.floor(Math.random() * 1000));
    const win = {maintenance_id: id, severities: sevs, start_on: start, stop_on: stop,
      account_id: v.account_id, maintenance_type: v.maintenance_type, maintenance_item: v.maintenance_item};
    const ok = await act("Creating window " + id, async () => {
      if (!sevs.length) throw new DaemonError("choose at least one severity");
      if (!(stop >= start)) throw new DaemonError("the window must stop after it starts");
      const r = await api("POST", "/maintenance", [win]);
      if (r.errors || r.maintenance !== 1) throw new DaemonError("the daemon refused the window (" + r.errors + " error" + (r.errors === 1 ? "" : "s") + "; see its error/maintenance log)");
      return "Window " + id + " created";
    });
    if (ok) refresh().catch(() => {});
  });
  show.addEventListener("change", () => refresh().catch(() => {}));
  async function refresh() {
    const list = await api("GET", "/maintenance" + (show.value ? "?" + show.value + "=1" : ""));
    const nowS = Date.now() / 1000;
    const rows = list.map((w) => h("tr", {"data-id": w.maintenance_id},
      h("td", {class: "mono"}, String(w.maintenance_id)),
      h("td", {}, (w.maintenance_type === "metric" ? "ruleset" : w.maintenance_type) + " ", h("code", {}, w.maintenance_item)),
      h("td", {}, String(w.account_id)),
      h("td", {}, w.severities.map((s) => sevBadge(s))),
      h("td", {}, timeText(w.start_on * 1000)),
      h("td", {}, w.stop_on > 4e12 ? "never" : timeText(w.stop_on * 1000)),
      h("td", {}, w.active ? h("span", {class: "tag warn"}, "active") : (w.start_on > nowS ? h("span", {class: "tag"}, "starts in " + ageText((w.start_on - nowS) * 1000)) : "")),
      h("td", {}, w.holding.length ? w.holding.map((e) => h("a", {href: "#rulesets/" + e, class: "tag"}, "ruleset " + e)) : h("span", {class: "muted"}, "nothing")),
      h("td", {}, h("button", {type: "button", class: "danger", "aria-label": "End window " + w.maintenance_id, onclick: async () => {
        if (await act("Ending window " + w.maintenance_id, async () => {
          const r = await api("DELETE", "/maintenance/" + w.maintenance_id);
          return "Window " + w.maintenance_id + " ended" + (r.holding.length ? "; announcing what it held for ruleset " + r.holding.join(", ") : "");
        })) refresh().catch(() => {});
      }}, "End now"))));
    fill(tbody, ...(rows.length ? rows : [h("tr", {}, h("td", {colspan: 9, class: "empty"}, "No window."))]));
  }
  every(REFRESH_MS * 2.5, refresh);
}

// ---- Brokers ----

function renderBrokers(main) {
  const tbody = h("tbody", {});
  fill(main, h("h1", {}, "Brokers"),
    h("table", {}, h("thead", {}, h("tr", {}, ["Broker", "Health", "Last data", "Last self-check", "Numeric", "Text", "Histograms", "Collected"].map((t) => h("th", {scope: "col"}, t)))), tbody));
  every(REFRESH_MS * 2.5, async () => {
    const doc = await api("GET", "/brokers");
    const list = Object.values(doc || {});
    fill(tbody, ...(list.length ? list.map((b) => h("tr", {},
      h("td", {class: "mono"}, b.name),
      h("td", {}, b.stable ? h("span", {class: "tag good"}, "stable") : h("span", {class: "tag bad"}, "silent")),
      h("td", {title: timeText(b.last_seen_ms)}, b.last_seen_ms ? ageText(b.age_ms) + " ago" : "never"),
      h("td", {title: timeText(b.last_seen_selfcheck_ms)}, b.last_seen_selfcheck_ms ? ageText(b.selfcheck_age_ms) + " ago" : "never"),
      h("td", {class: "num"}, String(b.numeric)), h("td", {class: "num"}, String(b.text)),
      h("td", {class: "num"}, String(b.histograms)), h("td", {class: "num"}, String(b.collected))))
      : [h("tr", {}, h("td", {colspan: 8, class: "empty"}, "No broker has sent data yet."))]));
  });
}

// ---- Cluster ----

function renderCluster(main) {
  const nodes = h("div", {});
  const form = h("form", {class: "filters", "aria-label": "Who owns a metric"},
    field("Check UUID", h("input", {name: "uuid", size: 36, required: true})),
    field("Metric name", h("input", {name: "name", size: 24, required: true})),
    h("button", {type: "submit", class: "primary"}, "Who owns it?"));
  const owners = h("div", {});
  fill(main, h("h1", {}, "Cluster"), nodes, h("h2", {}, "Ownership of a metric"), form, owners);
  form.addEventListener("submit", async (ev) => {
    ev.preventDefault();
    try {
      const doc = await api("GET", "/cluster" + query(formValues(form)));
      const m = doc.metric;
      fill(owners, h("p", {}, "This node ", m.owned ? "owns" : "does not own", " the metric and ",
        m.operated ? "publishes" : "does not publish", " its alerts."),
        doc.enabled ? h("p", {}, "Owners: ", h("code", {}, m.owners.join(", ") || "none"), "; publishing now: ", h("code", {}, m.live_owners.join(", ") || "none")) : null);
    } catch (e) {
      fill(owners, h("p", {class: "error"}, e.message));
    }
  });
  every(REFRESH_MS * 2.5, async () => {
    const doc = await api("GET", "/cluster");
    if (!doc.enabled) {
      fill(nodes, h("p", {}, "No cluster is configured: this node owns every metric and publishes every alert."));
      return;
    }
    fill(nodes, h("p", {class: "muted"}, "Cluster " + doc.name + "; a node is live while its heartbeats arrive within " + doc.timeout_ms + " ms."),
      h("table", {}, h("thead", {}, h("tr", {}, ["Node", "Common name", "Address", "State", "Last heartbeat", "Heartbeats"].map((t) => h("th", {scope: "col"}, t)))),
        h("tbody", {}, doc.nodes.map((n) => h("tr", {},
          h("td", {class: "mono"}, n.id, n.self ? h("span", {class: "tag"}, "this node") : null),
          h("td", {}, n.cn), h("td", {class: "mono"}, n.address + ":" + n.port),
          h("td", {}, n.live ? h("span", {class: "tag good"}, "live") : h("span", {class: "tag bad"}, n.seen ? "dead" : "never seen")),
          h("td", {}, n.last_contact_age_ms === null ? "" : ageText(n.last_contact_age_ms) + " ago"),
          h("td", {class: "num"}, String(n.heartbeats)))))));
  });
}

// ---- Overview ----

function dig(doc, path) {
  return path.split("/").reduce((o, k) => (o && typeof o === "object" ? o[k] : undefined), doc);
}

function sparkline(values) {
  const svg = document.createElementNS("http://www.w3.org/2000/svg", "svg");
  svg.setAttribute("viewBox", "0 0 100 40");
  svg.setAttribute("preserveAspectRatio", "none");
  svg.setAttribute("aria-hidden", "true");
  const pts = values.filter((v) => typeof v === "number" && isFinite(v));
  if (pts.length > 1) {
    const max = Math.max(...pts), min = Math.min(0, ...pts), span = max - min || 1;
    const line = document.createElementNS("http://www.w3.org/2000/svg", "polyline");
    line.setAttribute("points", pts.map((v, i) => (i * 100 / (pts.length - 1)).toFixed(1) + "," + (38 - (v - min) * 36 / span).toFixed(1)).join(" "));
    svg.append(line);
  }
  return svg;
}

function renderOverview(main) {
  const grid = h("div", {class: "grid", id: "overview-grid"});
  fill(main, h("h1", {}, "Overview"), h("p", {class: "muted"}, "From /stats.json every 2 s; plots show the last 2 minutes."), grid);
  const series = {};
  let last = null;
  const push = (k, v) => { (series[k] = series[k] || []).push(v); if (series[k].length > 60) series[k].shift(); };
  const secs = (v) => (typeof v === "number" ? (v * 1e6 < 1000 ? (v * 1e6).toFixed(1) + " µs" : (v * 1e3).toFixed(2) + " ms") : "–");
  every(REFRESH_MS, async () => {
    const doc = await api("GET", "/stats.json?format=simple");
    const t = Date.now();
    const received = dig(doc, "vask/director/received") || 0;
    const rate = last ? Math.max(0, (received - last.received) * 1000 / (t - last.t)) : null;
    last = {t, received};
    const sent = dig(doc, "notifications/alerts/sent"), suppressed = dig(doc, "notifications/alerts/suppressed"), failed = dig(doc, "notifications/alerts/failed");
    const lookup = dig(doc, "rules/rules_find_hit/quantiles/0.99"), processing = dig(doc, "datapath/metric_processing/quantiles/0.99");
    push("rate", rate); push("sent", sent); push("lookup", lookup); push("processing", processing);
    const connected = dig(doc, "tovi/amqp/connected");
    const tiles = [
      ["Intake", rate === null ? "…" : Math.round(rate) + " lines/s", "rate", received + " lines since start"],
      ["Alerts sent", String(sent), "sent", "suppressed " + suppressed + ", failed " + failed],
      ["Bus", connected ? "connected" : "not connected", null, "queue " + dig(doc, "tovi/amqp/queue_depth") + ", in flight " + dig(doc, "tovi/amqp/in_flight") + ", reconnects " + dig(doc, "tovi/amqp/reconnects")],
      ["Lookup latency p99", secs(lookup), "lookup", "median " + secs(dig(doc, "rules/rules_find_hit/quantiles/0.5"))],
      ["Processing latency p99", secs(processing), "processing", "median " + secs(dig(doc, "datapath/metric_processing/quantiles/0.5"))],
      ["Rulesets and streams", dig(doc, "ruleset/current") + " / " + dig(doc, "rulestreams/live"), null, "maintenance windows " + dig(doc, "maintenance/windows") + ", changes held back " + dig(doc, "maintenance/held_back")],
    ];
    fill(grid, ...tiles.map(([name, value, key, note]) => h("section", {class: "tile", "aria-label": name},
      h("div", {class: "muted"}, name), h("div", {class: "value" + (name === "Bus" && !connected ? " error" : "")}, value),
      key ? sparkline(series[key]) : null, h("div", {class: "muted"}, note))));
  });
}

// ---- Router ----

const pages = {alerts: renderAlerts, rulesets: renderRulesets, maintenance: renderMaintenance,
  brokers: renderBrokers, cluster: renderCluster, overview: renderOverview};

function route() {
  generation++;
  for (const t of timers) clearTimeout(t);
  timers = [];
  const [name, arg] = (location.hash.replace(/^#/, "") || "alerts").split("/");
  const page = pages[name] ? name : "alerts";
  for (const a of document.querySelectorAll("header nav a"))
    if (a.dataset.page === page) a.setAttribute("aria-current", "page"); else a.removeAttribute("aria-current");
  document.title = page[0].toUpperCase() + page.slice(1) + " · queltd";
  const main = document.getElementById("main");
  main.dataset.page = page;
  pages[page](main, arg ? decodeURIComponent(arg) : undefined);
}

window.addEventListener("hashchange", () => { say(""); route(); });
window.addEventListener("DOMContentLoaded", () => {
  route();
  api("GET", "/version").then((v) => { document.getElementById("version").textContent = "queltd " + v.version; }).catch(() => {});
});
