/*
 * page_assets.cc -- the query page: plain HTML, a style sheet and a
 * script that polls the API once a second. No inline script or style, so
 * that the Content-Security-Policy can forbid both.
 */
#include "page/page_assets.h"

const char page_html[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="referrer" content="no-referrer">
<title>qildnsc: queries</title>
<link rel="stylesheet" href="/page.css?token=@TOKEN@">
<script src="/page.js?token=@TOKEN@" defer></script>
</head>
<body>
<header>
<h1>qildnsc</h1>
<p id="status">connecting…</p>
</header>
<section id="counters" aria-label="counters"></section>
<details id="words"><summary>What the counters and verdicts mean</summary>
<dl>
<dt>relayed</dt><dd>answers sent to the client at once</dd>
<dt>held</dt><dd>answers kept back a moment as a fallback, in case a better one comes
(a lone record, an empty answer, a failure)</dd>
<dt>held sent</dt><dd>held answers sent when their time came, nothing better having come</dd>
<dt>replaced</dt><dd>held answers given up for a later, better one</dd>
<dt>kept out</dt><dd>a server's failure that came after a real answer held: the real one
stays</dd>
<dt>late</dt><dd>answers not sent: their client had its answer already</dd>
<dt>dropped blocked</dt><dd>answers dropped for an address on the blocklist</dd>
<dt>dropped abroad</dt><dd>a domestic server's answers pointing abroad, dropped</dd>
<dt>unmatched</dt><dd>server datagrams that answered no query in flight</dd>
<dt>pushed out</dt><dd>queries unanswered when newer ones took their place among those
waiting (a burst larger than the forwarder keeps)</dd>
<dt>fail fast</dt><dd>SERVFAIL sent for queries left unanswered</dd>
<dt>stale</dt><dd>expired cache answers sent while the servers were silent</dd>
</dl></details>
<section>
<h2>Queries per second, last hour</h2>
<canvas id="chart" width="1200" height="160"></canvas>
<p class="legend"><span class="c-relayed">relayed</span> <span class="c-held">held then sent</span>
<span class="c-cached">cache</span> <span class="c-failed">failed or unanswered</span></p>
</section>
<section>
<h2>Servers</h2>
<table id="servers"><thead><tr><th>server</th><th>answers</th><th>first to answer</th>
<th>median latency</th></tr></thead><tbody></tbody></table>
</section>
<section>
<h2>Queries</h2>
<form id="filters">
<label>application <input id="f-app" type="search"></label>
<label>name <input id="f-name" type="search"></label>
<label>verdict <select id="f-verdict"><option value="">any</option>
<option>relayed</option><option>held then sent</option><option>held then replaced</option>
<option>dropped: blocklisted</option><option>dropped: domestic server pointing abroad</option>
<option>SERVFAIL</option><option>cache</option><option>stale</option><option>waiting</option>
</select></label>
</form>
<table id="queries"><thead><tr><th>time</th><th>application</th><th>client</th>
<th>name</th><th>type</th><th>via</th><th>client got</th><th>answers (server: verdict)</th>
</tr></thead><tbody></tbody></table>
</section>
</body>
</html>
)";

const char page_css[] = R"(body { font: 14px/1.4 sans-serif; margin: 1em 2em; color: #222; }
h1 { font-size: 1.4em; margin: 0; }
h2 { font-size: 1.1em; margin: 1.2em 0 .4em; }
header { display: flex; gap: 2em; align-items: baseline; }
#status { color: #666; }
#counters { display: flex; flex-wrap: wrap; gap: .5em 1.5em; }
#counters div { background: #f3f3f3; padding: .3em .7em; border-radius: 4px; }
#counters b { display: block; font-size: 1.2em; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: .2em .5em; border-bottom: 1px solid #e4e4e4;
  vertical-align: top; }
th { background: #fafafa; }
td.answers div, td.time, td.outcome { white-space: nowrap; }
tr.blocked td.outcome::after { content: " \2014 a blocked answer dropped"; }
#words dl { display: grid; grid-template-columns: max-content auto; gap: .1em 1em;
  margin: .4em 0; }
#words dt { font-weight: bold; }
#words dd { margin: 0; }
form { display: flex; gap: 1.5em; margin-bottom: .5em; }
canvas { width: 100%; max-width: 1200px; height: 160px; border: 1px solid #ddd; }
.legend span { padding: 0 .6em; border-left: 1em solid; margin-right: .8em; }
.c-relayed, .v-relayed { border-color: #2e8b57; color: #1d5e3a; }
.c-held, .v-held { border-color: #d9a400; color: #7a5c00; }
.c-cached, .v-cached { border-color: #4169e1; color: #23408f; }
.c-failed, .v-dropped, .v-failed { border-color: #c0392b; color: #9b2c21; }
)";

const char page_js[] = R"('use strict';
const token = new URLSearchParams(location.search).get('token')
  || (document.currentScript && new URL(document.currentScript.src).searchParams.get('token'));
const colors = ['#2e8b57', '#d9a400', '#4169e1', '#c0392b'];
let last = 0;
const rows = [];
const MAX_ROWS = 2000;

function api(path) {
  const sep = path.includes('?') ? '&' : '?';
  return fetch(path + sep + 'token=' + encodeURIComponent(token), {cache: 'no-store'})
    .then(r => { if (!r.ok) throw new Error('HTTP ' + r.status); return r.json(); });
}

function cell(tr, text, cls) {
  const td = document.createElement('td');
  td.textContent = text;
  if (cls) td.className = cls;
  tr.appendChild(td);
  return td;
}

function verdictClass(v) {
  if (v.startsWith('dropped') || v === 'SERVFAIL' || v === 'unmatched' || v === 'too large')
    return 'v-dropped';
  if (v.startsWith('held')) return 'v-held';
  if (v === 'cache' || v === 'stale') return 'v-cached';
  return 'v-relayed';
}

function appOf(q) {
  if (q.app) return q.app + ' (' + q.pid + ')' + (q.user ? ' ' + q.user : '');
  if (q.user) return 'user ' + q.user;
  return '';
}

function matches(q) {
  const app = document.getElementById('f-app').value.toLowerCase();
  const name = document.getElementById('f-name').value.toLowerCase();
  const verdict = document.getElementById('f-verdict').value;
  if (app && !appOf(q).toLowerCase().includes(app)) return false;
  if (name && !q.name.includes(name)) return false;
  if (verdict && q.outcome !== verdict && !q.answers.some(a => a.verdict === verdict))
    return false;
  return true;
}

function render() {
  const body = document.querySelector('#queries tbody');
  body.textContent = '';
  let shown = 0;
  for (let i = rows.length - 1; i >= 0 && shown < 500; i--) {
    const q = rows[i];
    if (!matches(q)) continue;
    shown++;
    const tr = document.createElement('tr');
    tr.dataset.seq = q.seq;
    if (q.blocked) tr.className = 'blocked';
    cell(tr, new Date(q.time * 1000).toLocaleTimeString(), 'time');
    cell(tr, appOf(q), 'app');
    cell(tr, q.client + ':' + q.port);
    cell(tr, q.name, 'name');
    cell(tr, q.type);
    cell(tr, q.transport);
    cell(tr, q.outcome + (q.outcome_ms !== undefined ? ' in ' + q.outcome_ms.toFixed(1) + ' ms' : ''),
      'outcome ' + verdictClass(q.blocked ? 'dropped' : q.outcome));
    const td = cell(tr, '', 'answers');
    for (const a of q.answers) {
      const d = document.createElement('div');
      d.className = 'verdict ' + verdictClass(a.verdict);
      d.textContent = a.server + ': ' + a.verdict + (a.cause ? ' (' + a.cause + ')' : '') +
        ' — ' + (a.addresses.length ? a.addresses.join(' ') : a.rcode_name + ', ' +
        a.records + ' records') + ', ' + a.ms.toFixed(1) + ' ms';
      td.appendChild(d);
    }
    body.appendChild(tr);
  }
}

function drawChart(chart) {
  const c = document.getElementById('chart');
  const g = c.getContext('2d');
  g.clearRect(0, 0, c.width, c.height);
  /* One bar per 3 seconds: an hour fits the width. */
  const step = Math.max(1, Math.ceil(chart.length / c.width));
  const bars = [];
  for (let i = 0; i < chart.length; i += step) {
    const sum = [0, 0, 0, 0];
    for (let j = i; j < Math.min(chart.length, i + step); j++)
      for (let k = 0; k < 4; k++) sum[k] += chart[j][k + 1] / step;
    bars.push(sum);
  }
  const top = Math.max(1, ...bars.map(b => b[0] + b[1] + b[2] + b[3]));
  const w = c.width / bars.length;
  bars.forEach((b, i) => {
    let y = c.height;
    for (let k = 0; k < 4; k++) {
      const h = b[k] / top * (c.height - 14);
      g.fillStyle = colors[k];
      g.fillRect(i * w, y - h, Math.max(1, w), h);
      y -= h;
    }
  });
  g.fillStyle = '#666';
  g.fillText('peak ' + top.toFixed(1) + '/s', 4, 11);
}

function showStats(s) {
  const box = document.getElementById('counters');
  box.textContent = '';
  for (const [k, v] of Object.entries(s.counters)) {
    const d = document.createElement('div');
    const b = document.createElement('b');
    b.textContent = v;
    d.appendChild(b);
    d.appendChild(document.createTextNode(k.replace(/_/g, ' ')));
    box.appendChild(d);
  }
  const body = document.querySelector('#servers tbody');
  body.textContent = '';
  for (const sv of s.servers) {
    const tr = document.createElement('tr');
    cell(tr, sv.server);
    cell(tr, sv.answers);
    cell(tr, sv.wins);
    cell(tr, sv.median_ms === null ? '' : sv.median_ms.toFixed(2) + ' ms');
    body.appendChild(tr);
  }
  drawChart(s.chart);
}

async function poll() {
  try {
    const q = await api('/api/queries?since=' + last);
    for (const e of q.queries) rows.push(e);
    /* Answers come after their query: the newest rows are asked again. */
    if (rows.length > MAX_ROWS) rows.splice(0, rows.length - MAX_ROWS);
    last = q.last;
    const again = await api('/api/queries?since=' + Math.max(0, last - 200));
    const bySeq = new Map(again.queries.map(e => [e.seq, e]));
    for (let i = 0; i < rows.length; i++)
      if (bySeq.has(rows[i].seq)) rows[i] = bySeq.get(rows[i].seq);
    showStats(await api('/api/stats'));
    render();
    document.getElementById('status').textContent = 'live, ' + rows.length + ' queries';
  } catch (e) {
    document.getElementById('status').textContent = 'cannot reach qildnsc: ' + e.message;
  }
  setTimeout(poll, 1000);
}

for (const id of ['f-app', 'f-name', 'f-verdict'])
  document.getElementById(id).addEventListener('input', render);
poll();
)";
