// The device page, /device/0x01A2: every attempt that involved the hard ID, oldest first, read
// from /api/device/0x01A2.
'use strict';

const FETCH_LIMIT_MS = 15000;
const HEX_PER_LINE = 32; // hex digits (16 bytes) a line of a record's raw bytes
const RECORD_FIELDS = [  // a record's decoded fields, in the record's order
  ['commit', 'commit'], ['tag', 'tag'], ['hard_id', 'hard ID'], ['soft_id', 'soft ID'],
  ['rxaddr', 'RXaddr'],
];

function shown(value) {
  return value === null || value === undefined || value === '' ? '–' : String(value);
}

function seconds(ms) {
  return ms === null || ms === undefined ? '–' : (ms / 1000).toFixed(3) + ' s';
}

// A table of label and value rows; each value cell has data-field=key.
function facts(rows) {
  const table = el('table', {'class': 'facts'});
  for (const [key, label, value] of rows) {
    const tr = el('tr');
    tr.append(el('th', {}, label), el('td', {'data-field': key}, shown(value)));
    table.append(tr);
  }
  return table;
}

// The record as read and as written side by side: a row per field, then the raw bytes.
function recordTable(read, written) {
  const table = el('table', {'class': 'record'});
  const head = el('tr');
  head.append(el('th', {}, 'record'), el('th', {}, 'as read'), el('th', {}, 'as written'));
  table.append(head);
  const cell = (record, which, key) => {
    const td = el('td', {'data-record': which, 'data-field': key});
    if (record === null) {
      td.textContent = '–';
    } else if (key === 'hex') {
      td.classList.add('hex');
      const lines = record.hex.match(new RegExp('.{1,' + HEX_PER_LINE + '}', 'g')) || [];
      td.textContent = lines.join('\n');
    } else {
      const value = record[key];
      td.textContent = key === 'soft_id' && typeof value === 'number' ? hex4(value) : shown(value);
    }
    return td;
  };
  for (const [key, label] of RECORD_FIELDS.concat([['hex', 'bytes']])) {
    const tr = el('tr');
    tr.append(el('th', {}, label), cell(read, 'read', key), cell(written, 'written', key));
    table.append(tr);
  }
  return table;
}

function testResults(results) {
  const table = el('table', {'class': 'results'});
  for (const [key, value] of Object.entries(results)) {
    const tr = el('tr', {'data-key': key});
    tr.append(el('th', {}, key),
        el('td', {}, typeof value === 'string' ? value : JSON.stringify(value)));
    table.append(tr);
  }
  return table;
}

function attempt(a) {
  const box = el('article', {'class': 'attempt', 'data-row-id': String(a.row_id),
      'data-state': a.state});
  const title = el('h2');
  title.append(el('span', {'data-field': 'arrived'}, dateTime(a.arrived_ms)),
      el('span', {}, ' · '), el('span', {'data-field': 'station'}, a.station),
      el('span', {}, ' · '), el('span', {'data-field': 'state', 'class': 'result'}, a.state));
  box.append(title);
  if (a.message) box.append(el('p', {'data-field': 'message', 'class': 'message'}, a.message));

  const pass = [
    ['row_id', 'row', a.row_id],
    ['pool', 'pool', a.pool],
    ['part', 'part', a.part],
    ['port', 'port', a.port + ' (bus ' + a.bus + ', device ' + a.devnum + ')'],
    ['arrived', 'arrived', dateTime(a.arrived_ms)],
    ['ended', 'ended', a.ended_ms === null ? null : dateTime(a.ended_ms)],
    ['result', 'result code', a.result],
    ['hard_id', 'hard ID', a.hard_id + (a.id_state ? ' (' + a.id_state + ')' : '')],
    ['from_id', 'asked from', a.from_id],
    ['soft_id', 'soft ID', a.soft_id === null ? null : hex4(a.soft_id)],
    ['rxaddr', 'RXaddr', a.rxaddr],
    ['erase_ms', 'erase', a.erase_ms === null ? 'none' : seconds(a.erase_ms)],
    ['flash_ms', 'flash', seconds(a.flash_ms)],
    ['eeprom_ms', 'EEPROM', seconds(a.eeprom_ms)],
  ];
  const image = [
    ['flash_path', 'file', a.flash_path],
    ['image_length', 'length', a.image_length + ' bytes'],
    ['image_sha256', 'SHA-256', a.image_sha256],
  ];
  const parts = el('div', {'class': 'attempt-parts'});
  const side = el('div', {'class': 'side'});
  const group = (into, heading, content, cls) => {
    const g = el('section', {'class': cls});
    g.append(el('h3', {}, heading), content);
    into.append(g);
    return g;
  };
  group(parts, 'Pass', facts(pass), 'pass');
  parts.append(side);
  group(side, 'Image', facts(image), 'image');
  if (a.test_status !== null && a.test_status !== undefined) {
    const test = group(side, 'Test', facts([
      ['test_status', 'status', a.test_status],
      ['test_ms', 'time', seconds(a.test_ms)],
    ]), 'test');
    if (a.test_results && Object.keys(a.test_results).length > 0) {
      test.append(testResults(a.test_results));
    }
  }
  group(parts, 'EEPROM record', a.record_read === null && a.record_written === null ?
      el('p', {'data-field': 'records', 'class': 'label'}, 'None read or written: the pass ended before.') :
      recordTable(a.record_read, a.record_written), 'records');
  box.append(parts);
  return box;
}

function render(data) {
  document.getElementById('hard-id').textContent = data.hard_id;
  document.title = data.hard_id + ' · korvofw';
  const list = document.getElementById('attempts');
  list.replaceChildren(...data.attempts.map(attempt));
  const none = document.getElementById('no-attempts');
  none.textContent = 'No attempt involved hard ID ' + data.hard_id;
  none.hidden = data.attempts.length > 0;
  const n = data.attempts.length;
  document.getElementById('summary').textContent = n === 0 ? '' :
      n + (n === 1 ? ' attempt' : ' attempts') + ', oldest first';
}

async function load() {
  const id = decodeURIComponent(window.location.pathname.replace(/^\/device\//, ''));
  document.getElementById('hard-id').textContent = id;
  const error = document.getElementById('error');
  try {
    render((await getJson('/api/device/' + encodeURIComponent(id), FETCH_LIMIT_MS)).body);
    error.hidden = true;
  } catch (e) {
    error.textContent = 'Cannot show hard ID ' + id + ': ' + e.message;
    error.hidden = false;
  }
}

bindSearch();
load();
