// The dashboard's page and its script, served by the local web API from the binary itself.
#include "dashboard_page.h"

namespace ostrivel::api {

namespace {

constexpr std::string_view kHtml = R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Ostrivel: local web API</title>
<link rel="icon" href="data:,">
<style>
body { font: 14px/1.45 system-ui, sans-serif; margin: 0; color: #1f2430; background: #f4f5f7; }
header { background: #1f2430; color: #fff; padding: 10px 24px; display: flex; gap: 16px; align-items: baseline; }
header h1 { font-size: 18px; margin: 0; }
header .note { color: #c8ccd4; }
main { padding: 16px 24px; max-width: 1180px; }
section { background: #fff; border: 1px solid #dcdfe5; border-radius: 6px; padding: 12px 16px; margin-bottom: 16px; }
h2 { font-size: 15px; margin: 0 0 8px; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: 4px 8px; border-bottom: 1px solid #eceef2; vertical-align: top; }
th { font-weight: 600; color: #555b66; font-size: 12px; }
.minutes { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
.path { font-family: ui-monospace, monospace; font-size: 12px; word-break: break-all; }
tr.selected { background: #eef3ff; }
.state { padding: 1px 8px; border-radius: 9px; font-size: 12px; white-space: nowrap; }
.state-active { background: #dbf3e2; }
.state-pending { background: #fff1cc; }
.state-suspended { background: #e5e7eb; }
.state-revoked { background: #fbdada; }
button { font: inherit; font-size: 12px; margin-right: 6px; padding: 2px 10px; border: 1px solid #b8bdc7;
         border-radius: 4px; background: #fff; cursor: pointer; }
button:hover { background: #eef0f3; }
.bar { display: flex; gap: 16px; align-items: center; margin-bottom: 8px; }
#chart { width: 100%; height: auto; display: block; }
#chart text { font-size: 11px; fill: #555b66; }
#chart .grid { stroke: #e3e6eb; }
#chart .event line { stroke: #7a808c; stroke-dasharray: 3 3; }
#chart .event circle { fill: #1f2430; }
#legend { list-style: none; padding: 0; margin: 4px 0 12px; display: flex; flex-wrap: wrap; gap: 4px 16px; }
.swatch { display: inline-block; width: 10px; height: 10px; margin-right: 5px; border-radius: 2px; }
.c0 { fill: #3b6fd8; background: #3b6fd8; } .c1 { fill: #e8833a; background: #e8833a; }
.c2 { fill: #3aa675; background: #3aa675; } .c3 { fill: #d0506f; background: #d0506f; }
.c4 { fill: #8a63c9; background: #8a63c9; } .c5 { fill: #c9a227; background: #c9a227; }
.c6 { fill: #3fa7b5; background: #3fa7b5; } .other { fill: #a3a8b3; background: #a3a8b3; }
#error { color: #b3261e; }
.empty { color: #6b717c; }
</style>
</head>
<body>
<header><h1>Ostrivel</h1><span class="note">local web API: what the agents uploaded</span><span id="account"></span></header>
<main>
<p id="error" hidden></p>
<section>
<h2>PCs</h2>
<table id="pcs">
<thead><tr><th>Agent id</th><th>Name</th><th>Last upload</th><th>State</th><th></th></tr></thead>
<tbody></tbody>
</table>
<p id="no-pcs" class="empty" hidden>No PC has registered yet.</p>
</section>
<section id="day" hidden>
<div class="bar"><h2 id="day-title"></h2><label>Day (UTC) <select id="date"></select></label></div>
<p id="no-records" class="empty" hidden>No records of this PC for this day yet.</p>
<svg id="chart" role="img" aria-label="CPU share per application"></svg>
<ul id="legend"></ul>
<table id="apps">
<thead><tr><th>Application</th><th class="minutes">CPU minutes</th><th>Product</th><th>Description</th>
<th>Company</th><th>Version</th><th>Path</th></tr></thead>
<tbody></tbody>
</table>
</section>
</main>
<script src="/dashboard.js"></script>
</body>
</html>
)html";

constexpr std::string_view kScript = R"js('use strict';
// Whatever an agent sent (application names, paths, descriptions) enters the page as text only:
// through textContent and text nodes, never as markup or inside attributes.
(() => {
  const svgNs = 'http://www.w3.org/2000/svg';
  const colours = 7;  // .c0 to .c6, then "other"
  const query = new URLSearchParams(location.search);
  let agentId = query.get('agent') || '';
  let date = query.get('date') || '';
  let renders = 0;

  function node(tag, attributes = {}, ...children) {
    const element = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes)) element.setAttribute(name, value);
    element.append(...children);
    return element;
  }

  function shape(tag, attributes = {}, text) {
    const element = document.createElementNS(svgNs, tag);
    for (const [name, value] of Object.entries(attributes)) element.setAttribute(name, String(value));
    if (text !== undefined) element.textContent = text;
    return element;
  }

  function titled(element, text) {
    element.append(shape('title', {}, text));
    return element;
  }

  async function getJson(path) {
    const response = await fetch(path, {cache: 'no-store'});
    if (!response.ok) throw new Error(path + ' answered ' + response.status);
    return response.json();
  }

  function showError(error) {
    const line = document.getElementById('error');
    line.textContent = String(error.message || error);
    line.hidden = false;
  }

  async function act(path, body) {
    const response = await fetch('/admin/' + path, {
      method: 'POST', headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body)});
    if (!response.ok) showError(new Error(path + ' answered ' + response.status));
    await refresh();
  }

  const utc = (ms) => new Date(ms).toISOString();
  const clock = (ms) => utc(ms).slice(11, 16);
  const stamp = (ms) => utc(ms).slice(0, 19).replace('T', ' ') + ' UTC';
  // Two decimals, but an application that used a little is not shown as 0.00.
  const minutes = (value) => (value >= 0.01 || value === 0 ? value.toFixed(2) : value.toPrecision(2));
  const dayText = (key) => key.slice(0, 4) + '-' + key.slice(4, 6) + '-' + key.slice(6, 8);
  const percent = (value) =>
      (value >= 10 || value === 0 ? value.toFixed(0) : value >= 1 ? value.toFixed(1) : value.toPrecision(2)) + ' %';
  const colour = (day, i) => (day.series[i] === 'other' && i === day.series.length - 1 && i > 0) ? 'other'
      : i < colours ? 'c' + i : 'other';

  function button(label, path, body) {
    const element = node('button', {type: 'button'}, label);
    element.addEventListener('click', () => act(path, body).catch(showError));
    return element;
  }

  function badge(state) {
    return node('span', {class: 'state state-' + state.split(' ')[0]}, state);
  }

  function renderPcs(list) {
    const rows = list.pending.map((pc) => node('tr', {},
        node('td', {}, pc.previousAgentId || 'new'), node('td', {}, pc.computerName), node('td', {}, ''),
        node('td', {}, badge('pending approval')), node('td', {}, button('Approve', 'approve', {nonce: pc.nonce}))));
    for (const pc of list.agents) {
      const actions = node('td');
      if (pc.state === 'active') actions.append(button('Suspend', 'suspend', {agentId: pc.agentId, suspended: true}));
      if (pc.state === 'suspended') actions.append(button('Resume', 'suspend', {agentId: pc.agentId, suspended: false}));
      if (pc.state !== 'revoked') actions.append(button('Revoke', 'revoke', {agentId: pc.agentId}));
      rows.push(node('tr', pc.agentId === agentId ? {class: 'selected'} : {},
          node('td', {}, node('a', {href: '?agent=' + encodeURIComponent(pc.agentId)}, pc.agentId)),
          node('td', {}, pc.name), node('td', {}, pc.lastUploadMs ? stamp(pc.lastUploadMs) : 'never'),
          node('td', {}, badge(pc.state)), actions));
    }
    document.querySelector('#pcs tbody').replaceChildren(...rows);
    document.getElementById('no-pcs').hidden = rows.length > 0;
    document.getElementById('account').replaceChildren(
        ...(list.suspended ? ['account suspended ', button('Resume the account', 'suspend', {suspended: false})] : []));
  }

  function niceCeiling(value) {
    if (!(value > 0)) return 1;
    const power = Math.pow(10, Math.floor(Math.log10(value)));
    return [1, 2, 5, 10].map((m) => m * power).find((step) => step >= value * 0.999999);
  }

  function renderChart(day) {
    const width = 960, left = 56, right = 16, top = 10, plot = 210, stripTop = top + plot + 34;
    const height = stripTop + 52;
    const hour = 3600000, bucketMs = day.bucketMinutes * 60000;
    const times = day.buckets.flatMap((b) => [b.start, b.start + bucketMs]).concat(day.events.map((e) => e.at));
    const chart = document.getElementById('chart');
    chart.hidden = times.length === 0;
    if (times.length === 0) return chart.replaceChildren();
    const from = Math.floor(Math.min(...times) / hour) * hour;
    const to = Math.max(from + hour, Math.ceil(Math.max(...times) / hour) * hour);
    const x = (ms) => left + (ms - from) / (to - from) * (width - left - right);
    const yMax = niceCeiling(Math.max(0, ...day.buckets.map((b) => b.shares.reduce((a, s) => a + s, 0))));
    const y = (share) => top + plot - share / yMax * plot;
    const parts = [];
    for (const fraction of [0, 0.5, 1]) {
      const level = y(yMax * fraction);
      parts.push(shape('line', {class: 'grid', x1: left, x2: width - right, y1: level, y2: level}));
      parts.push(shape('text', {x: left - 6, y: level + 4, 'text-anchor': 'end'}, percent(yMax * fraction)));
    }
    const step = Math.max(1, Math.ceil((to - from) / hour / 12)) * hour;
    for (let t = from; t <= to; t += step) {
      parts.push(shape('line', {class: 'grid', x1: x(t), x2: x(t), y1: top + plot, y2: top + plot + 4}),
          shape('text', {x: x(t), y: top + plot + 16, 'text-anchor': 'middle'}, clock(t)));
    }
    day.series.forEach((name, i) => {
      const group = shape('g', {class: 'series ' + colour(day, i)});
      for (const bucket of day.buckets) {
        const below = bucket.shares.slice(0, i).reduce((a, s) => a + s, 0), share = bucket.shares[i];
        if (!(share > 0)) continue;
        group.append(titled(shape('rect', {
          x: x(bucket.start) + 0.5, width: Math.max(1, x(bucket.start + bucketMs) - x(bucket.start) - 1),
          y: y(below + share), height: Math.max(0.5, y(below) - y(below + share))}),
          name + ': ' + percent(share) + ' from ' + clock(bucket.start) + ' UTC'));
      }
      parts.push(group);
    });
    parts.push(shape('text', {x: left - 6, y: stripTop + 8, 'text-anchor': 'end'}, 'events'));
    day.events.forEach((event, k) => {
      const at = x(event.at);
      const mark = titled(shape('g', {class: 'event'}), event.kind + ' at ' + clock(event.at) + ' UTC');
      mark.append(shape('line', {x1: at, x2: at, y1: top, y2: stripTop + 4}),
          shape('circle', {cx: at, cy: stripTop + 4, r: 3}),
          shape('text', {x: at + 4, y: stripTop + 12 + (k % 3) * 13}, event.kind));
      parts.push(mark);
    });
    chart.setAttribute('viewBox', '0 0 ' + width + ' ' + height);
    chart.replaceChildren(...parts);
  }

  function renderDay(pc, day) {
    document.getElementById('day').hidden = false;
    document.getElementById('day-title').textContent = (pc ? pc.name + ' (' + pc.agentId + ')' : agentId);
    const dates = day.dates.includes(day.date) || !day.date ? day.dates : day.dates.concat([day.date]);
    document.getElementById('date').replaceChildren(...dates.map((key) => {
      const option = node('option', {value: key}, dayText(key));
      option.selected = key === day.date;
      return option;
    }));
    document.getElementById('no-records').hidden = day.buckets.length + day.events.length > 0;
    renderChart(day);
    document.getElementById('legend').replaceChildren(...day.series.map((name, i) =>
        node('li', {class: 'series'}, node('span', {class: 'swatch ' + colour(day, i)}), name)));
    document.querySelector('#apps tbody').replaceChildren(...day.apps.map((app) => node('tr', {},
        node('td', {class: 'app'}, app.name), node('td', {class: 'minutes'}, minutes(app.cpuMinutes)),
        node('td', {}, app.product || ''), node('td', {}, app.description || ''), node('td', {}, app.company || ''),
        node('td', {}, app.version || ''), node('td', {class: 'path'}, app.path || ''))));
  }

  async function refresh() {
    const list = await getJson('/admin/agents');
    if (!agentId && list.agents.length > 0) {
      agentId = list.agents.reduce((a, b) => ((b.lastUploadMs || 0) > (a.lastUploadMs || 0) ? b : a)).agentId;
    }
    renderPcs(list);
    if (agentId) {
      const day = await getJson('/admin/day?agentId=' + encodeURIComponent(agentId) +
                                (date ? '&date=' + encodeURIComponent(date) : ''));
      renderDay(list.agents.find((pc) => pc.agentId === agentId), day);
    }
    document.getElementById('error').hidden = true;
    document.body.setAttribute('data-rendered', String(++renders));
  }

  document.getElementById('date').addEventListener('change', (change) => {
    date = change.target.value;
    history.replaceState(null, '', '?agent=' + encodeURIComponent(agentId) + '&date=' + encodeURIComponent(date));
    refresh().catch(showError);
  });
  refresh().catch(showError);
  setInterval(() => refresh().catch(showError), 30000);
})();
)js";

// The script comes from the API itself; styles are inline; fetches go back to the API only.
constexpr std::string_view kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'unsafe-inline'; connect-src 'self'; img-src data:; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

}  // namespace

std::string_view dashboardHtml() { return kHtml; }
std::string_view dashboardScript() { return kScript; }
std::string_view dashboardSecurityPolicy() { return kPolicy; }

}  // namespace ostrivel::api
