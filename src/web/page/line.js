// The line page: reads /api/line every 2 s and shows each station, the pools' hard IDs, units
// per hour, today's failures and the last devices.
'use strict';

const REFRESH_MS = 2000;
const FETCH_LIMIT_MS = 8000;
const STALE_MS = 10000;   // data that has not moved on for this long is called old
const STALE_HEADER = 'X-Korvofw-Stale'; // the server's latest read of the ledger failed
const LABEL_LIMIT = 32;   // characters of a failure's message under the Pareto's bars
const PARETO_BARS = 12;   // the most frequent failures drawn; the table lists them all
const COLOURS = {ok: '#4caf50', failed: '#ff5252', line: '#ffca28', grid: '#333', text: '#ccc'};

const loadedAt = Date.now();
let last = null;          // the last data read
let movedAt = loadedAt;   // when (this browser's clock) the data's now_ms last moved on
let failure = null;       // {unreachable, text} of the last read that failed; null after a good one
const cards = new Map();  // station name -> {card, fields, chart}
let pareto = null;        // the Pareto's chart

// The value of a figure from the ledger for people: '–' for none.
function shown(value) {
  return value === null || value === undefined || value === '' ? '–' : String(value);
}

function percent(fraction) {
  return fraction === null || fraction === undefined ? '–' : (fraction * 100).toFixed(1) + ' %';
}

// ok, failed, interrupted; an ok pass whose test failed is 'test failed', as watch shows it.
function resultText(result, testStatus) {
  return result === 'ok' && testStatus && testStatus !== 'passed' ? 'test failed' : result;
}

function chartsReady() {
  return typeof Chart !== 'undefined';
}

// The charts' scales on the dark page: counts from zero in whole numbers; x labels upright
// unless `slanted` (they are fewer then, skipped where they would overlap).
function axes(slanted, extra) {
  return Object.assign({
    x: {ticks: {color: COLOURS.text, maxRotation: slanted ? 50 : 0, autoSkipPadding: 6},
      grid: {display: false}},
    y: {beginAtZero: true, ticks: {color: COLOURS.text, precision: 0},
      grid: {color: COLOURS.grid}},
  }, extra);
}

// A station's card, made once; its fields are refilled at each read.
function makeCard(name) {
  const card = el('article', {'class': 'card', 'data-station': name});
  const fields = {};
  const field = (tag, key, cls) => {
    fields[key] = el(tag, {'data-field': key, 'class': cls || key});
    return fields[key];
  };
  const head = el('header', {'class': 'card-head'});
  head.append(field('h2', 'station', 'name'), field('span', 'state'));
  card.append(head);
  card.append(field('p', 'where', 'where'));

  const figures = el('div', {'class': 'figures'});
  const figure = (key, label, cls) => {
    const box = el('div', {'class': 'figure ' + (cls || '')});
    box.append(field('span', key, 'value'), el('span', {'class': 'label'}, label));
    figures.append(box);
  };
  figure('ok_today', 'programmed today', 'good');
  figure('failed_today', 'failed today', 'bad');
  figure('first_pass_yield', 'first-pass yield');
  card.append(figures);

  const tests = field('p', 'tests', 'tests');
  tests.append(el('span', {}, 'tested '), field('span', 'tested_today', 'n'),
      el('span', {}, ' · test failed '), field('span', 'test_failed_today', 'n'));
  card.append(tests);

  const lastLine = field('p', 'last', 'last');
  const detail = field('span', 'last_detail', 'detail');
  detail.append(el('span', {}, ' '), field('span', 'last_hard_id', 'id'), el('span', {}, ' at '),
      field('span', 'last_when', 'time'));
  lastLine.append(el('span', {'class': 'label'}, 'last '), field('span', 'last_result', 'result'),
      detail);
  card.append(lastLine, field('p', 'last_message', 'message'));

  const ids = field('p', 'ids', 'ids');
  ids.append(el('span', {'class': 'label'}, 'pool '), field('span', 'pool', 'pool-name'),
      el('span', {'class': 'label'}, ' · next '), field('span', 'next_id', 'id'),
      el('span', {}, ' · '), field('span', 'ids_left', 'n'), el('span', {}, ' left'));
  card.append(ids);

  const box = el('div', {'class': 'hourly'});
  const canvas = el('canvas', {'data-chart': 'hourly', 'role': 'img'});
  const chartBox = el('div', {'class': 'chart-box'});
  chartBox.append(canvas);
  box.append(el('p', {'class': 'label'}, 'units per hour, last 12 hours'), chartBox);
  card.append(box);
  return {card, fields, canvas, chart: null};
}

// The card's chart, made once the card is on the page so that it takes the card's width.
function hourlyChart(canvas) {
  return new Chart(canvas, {
    type: 'bar',
    data: {labels: [], datasets: [{label: 'units', data: [], backgroundColor: COLOURS.ok}]},
    options: {animation: false, responsive: true, maintainAspectRatio: false,
      plugins: {legend: {display: false}}, scales: axes(false)},
  });
}

function fillCard(entry, s, data) {
  const f = entry.fields;
  const lastFailed = s.last !== null && resultText(s.last.result, s.last.test_status) !== 'ok' &&
      s.last.result !== 'interrupted';
  entry.card.dataset.state = s.state;
  entry.card.dataset.alert = lastFailed ? 'failed' : s.state === 'stopped' ? 'stopped' : '';
  f.station.textContent = s.station;
  f.state.textContent = s.state === 'programming' && s.hard_id_in_flight ?
      'programming ' + s.hard_id_in_flight : s.state;
  f.where.textContent = [s.part, s.port && 'port ' + s.port].filter(Boolean).join(' · ');
  f.pool.textContent = shown(s.pool);
  f.ok_today.textContent = s.ok_today;
  f.failed_today.textContent = s.failed_today;
  f.first_pass_yield.textContent = percent(s.first_pass_yield);
  f.tested_today.textContent = s.tested_today;
  f.test_failed_today.textContent = s.test_failed_today;
  f.tests.hidden = !(s.tested_today > 0);
  f.last_detail.hidden = s.last === null;
  if (s.last === null) {
    f.last_result.textContent = 'no device yet';
    delete f.last_result.dataset.result;
  } else {
    f.last_result.textContent = resultText(s.last.result, s.last.test_status);
    f.last_result.dataset.result = f.last_result.textContent;
    f.last_hard_id.textContent = shown(s.last.hard_id);
    f.last_when.textContent = when(s.last.ended_ms, data.day_start_ms);
  }
  const testFailed = s.last !== null && s.last.result === 'ok' && lastFailed;
  f.last_message.textContent = !lastFailed ? '' :
      testFailed ? 'test: ' + s.last.test_status : s.last.message;
  f.last_message.hidden = !lastFailed;
  f.ids.hidden = s.next_id === null;
  f.next_id.textContent = shown(s.next_id);
  f.ids_left.textContent = shown(s.ids_left);
  f.ids.classList.toggle('low', s.next_id === 'none' || s.ids_left < 100);
  // The counts in words too, for a screen reader (and for what reads the page's text).
  const units = data.hourly.stations[s.station] || [];
  entry.canvas.dataset.values = units.join(',');
  entry.canvas.setAttribute('aria-label',
      'Units per hour over the last 12 hours, oldest first: ' + units.join(', '));
  if (entry.chart) {
    entry.chart.data.labels = data.hourly.hour_start_ms.map((ms) => clock(ms).slice(0, 5));
    entry.chart.data.datasets[0].data = units;
    entry.chart.update('none');
  }
}

function renderStations(data) {
  const grid = document.getElementById('stations');
  const seen = new Set();
  for (const s of data.stations) {
    seen.add(s.station);
    if (!cards.has(s.station)) cards.set(s.station, makeCard(s.station));
    const entry = cards.get(s.station);
    grid.append(entry.card); // in the data's order, by name
    if (!entry.chart && chartsReady()) entry.chart = hourlyChart(entry.canvas);
    fillCard(entry, s, data);
  }
  for (const [name, entry] of cards) {
    if (seen.has(name)) continue;
    if (entry.chart) entry.chart.destroy();
    entry.card.remove();
    cards.delete(name);
  }
  document.getElementById('no-stations').hidden = data.stations.length > 0;
}

function renderPools(data) {
  const box = document.getElementById('pools');
  const items = data.pools.map((p) => {
    const low = p.low || p.next_id === 'none';
    const item = el('div', {'class': 'pool' + (low ? ' low' : ''), 'data-pool': p.pool});
    item.append(el('h3', {'data-field': 'pool'}, p.pool));
    const next = el('p', {'class': 'next'});
    next.append(el('span', {'class': 'label'}, 'next hard ID '),
        el('span', {'data-field': 'next_id', 'class': 'value'}, p.next_id));
    const left = el('p', {'class': 'left'});
    left.append(el('span', {'data-field': 'ids_left', 'class': 'value'}, p.ids_left),
        el('span', {'class': 'label'}, ' left, from ' + p.from));
    item.append(next, left);
    if (low) {
      item.append(el('p', {'data-field': 'warning', 'class': 'warning'},
          p.next_id === 'none' ? 'No hard ID left: the stations of this pool stop.' :
                                 'Only ' + p.ids_left + ' hard IDs left.'));
    }
    return item;
  });
  box.replaceChildren(...items);
}

function renderFailures(data) {
  const rows = data.failures.slice().sort((a, b) => b.count - a.count); // stable: ties keep order
  const total = rows.reduce((sum, r) => sum + r.count, 0);
  let running = 0;
  const cumulative = rows.map((r) => {
    running += r.count;
    return total ? running * 100 / total : 0;
  });
  const body = document.querySelector('#failures tbody');
  body.replaceChildren(...rows.map((r, i) => {
    const tr = el('tr', {'data-failure': String(i)});
    tr.append(el('td', {'data-field': 'message'}, r.message),
        el('td', {'data-field': 'station'}, r.station),
        el('td', {'data-field': 'count', 'class': 'num'}, r.count),
        el('td', {'data-field': 'cumulative', 'class': 'num'}, cumulative[i].toFixed(1) + ' %'));
    return tr;
  }));
  document.getElementById('no-failures').hidden = rows.length > 0;
  document.getElementById('failures').hidden = rows.length === 0;
  document.querySelector('.pareto').hidden = rows.length === 0;
  if (!chartsReady()) return;
  const bars = rows.slice(0, PARETO_BARS);
  const labels = bars.map((r) => {
    const m = r.message.length > LABEL_LIMIT ? r.message.slice(0, LABEL_LIMIT - 1) + '…' : r.message;
    return [m, r.station];
  });
  if (!pareto) {
    pareto = new Chart(document.getElementById('pareto-chart'), {
      data: {labels: [], datasets: [
        {type: 'line', label: 'cumulative %', data: [], yAxisID: 'share',
          borderColor: COLOURS.line, backgroundColor: COLOURS.line},
        {type: 'bar', label: 'failures', data: [], backgroundColor: COLOURS.failed},
      ]},
      options: {animation: false, responsive: true, maintainAspectRatio: false,
        plugins: {legend: {labels: {color: COLOURS.text}}},
        scales: axes(true, {share: {position: 'right', min: 0, max: 100,
          ticks: {color: COLOURS.text, callback: (v) => v + ' %'}, grid: {drawOnChartArea: false}}}),
      },
    });
  }
  pareto.data.labels = labels;
  pareto.data.datasets[0].data = cumulative.slice(0, PARETO_BARS);
  pareto.data.datasets[1].data = bars.map((r) => r.count);
  pareto.update('none');
}

// A row still 'started' is in its pass while its station programs; that of a station that
// stopped is unfinished until the station starts again and marks it interrupted.
function recentResult(r, programming) {
  if (r.state !== 'started') return resultText(r.state, r.test_status);
  return programming.has(r.station) ? 'programming' : 'unfinished';
}

function renderRecent(data) {
  const programming = new Set(data.stations.filter((s) => s.state === 'programming')
      .map((s) => s.station));
  const body = document.querySelector('#recent tbody');
  body.replaceChildren(...data.recent.map((r) => {
    const tr = el('tr', {'data-row-id': String(r.row_id), 'data-state': r.state});
    const id = el('td', {'data-field': 'hard_id'});
    if (r.hard_id) id.append(el('a', {'href': '/device/' + encodeURIComponent(r.hard_id)}, r.hard_id));
    else id.textContent = '–';
    const result = recentResult(r, programming);
    tr.append(el('td', {'data-field': 'time'}, when(r.ended_ms || r.arrived_ms, data.day_start_ms)),
        el('td', {'data-field': 'station'}, r.station), id,
        el('td', {'data-field': 'result', 'class': 'result', 'data-result': result}, result),
        el('td', {'data-field': 'message'}, r.state === 'failed' ? r.message :
            result === 'test failed' ? 'test: ' + r.test_status : ''));
    return tr;
  }));
}

// The whole line's today, summed over the stations.
function renderTotals(data) {
  const ok = data.stations.reduce((sum, s) => sum + s.ok_today, 0);
  const failed = data.stations.reduce((sum, s) => sum + s.failed_today, 0);
  document.getElementById('total-ok').textContent = ok;
  document.getElementById('total-failed').textContent = failed;
  document.getElementById('total-yield').textContent =
      percent(ok + failed > 0 ? ok / (ok + failed) : null);
}

function render(data) {
  const updated = document.getElementById('updated');
  updated.textContent = clock(data.now_ms);
  updated.dataset.nowMs = String(data.now_ms);
  renderTotals(data);
  renderStations(data);
  renderPools(data);
  renderFailures(data);
  renderRecent(data);
}

// The warning over the page: the server or the ledger did not answer, or the data is old.
function showFreshness() {
  const since = clock(last ? last.now_ms : loadedAt);
  let text = '';
  if (failure !== null) {
    text = failure.unreachable ? 'Ledger not reachable since ' + since + ': ' + failure.text :
                                 failure.text;
  }
  else if (Date.now() - movedAt > STALE_MS) {
    text = last ? 'The data is old: the ledger was last read at ' + since :
                  'No data from the ledger since ' + since;
  }
  const banner = document.getElementById('stale');
  banner.textContent = text;
  banner.hidden = text === '';
  document.body.dataset.fresh = text === '' ? 'yes' : 'no';
}

async function refresh() {
  let data = null;
  let stale = false;
  try {
    const got = await getJson('/api/line', FETCH_LIMIT_MS);
    data = got.body;
    stale = got.headers.get(STALE_HEADER) !== null;
  } catch (e) {
    failure = {unreachable: true, text: e.message};
  }
  if (data) {
    try {
      render(data);
      if (!last || data.now_ms > last.now_ms) movedAt = Date.now();
      last = data;
      failure = stale ? {unreachable: true, text: 'the server shows what it read then'} : null;
    } catch (e) {
      failure = {unreachable: false,
        text: 'This page could not show the data read at ' + clock(data.now_ms) + ': ' + e.message};
    }
  }
  showFreshness();
  setTimeout(refresh, REFRESH_MS);
}

bindSearch();
setInterval(showFreshness, 1000);
refresh();
