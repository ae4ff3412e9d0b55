// What the line page and the device page share: elements built from ledger text, local times
// and the hard ID search box.
'use strict';

const HARD_ID_LAST = 0x1fff; // hard IDs are 13 bits; 0 is never handed out
const DAY_MS = 24 * 3600 * 1000;

// An element with attributes and text. Ledger text only ever goes in as textContent, so a
// station named <b>x</b> shows as those characters and injects nothing.
function el(tag, attrs, text) {
  const e = document.createElement(tag);
  for (const [name, value] of Object.entries(attrs || {})) e.setAttribute(name, value);
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}

function pad2(n) {
  return String(n).padStart(2, '0');
}

function localDate(ms) {
  const d = new Date(ms);
  return d.getFullYear() + '-' + pad2(d.getMonth() + 1) + '-' + pad2(d.getDate());
}

// 14:02:58, local time.
function clock(ms) {
  const d = new Date(ms);
  return pad2(d.getHours()) + ':' + pad2(d.getMinutes()) + ':' + pad2(d.getSeconds());
}

// 2024-05-01 14:02:58, local time.
function dateTime(ms) {
  return localDate(ms) + ' ' + clock(ms);
}

// As korvofw-ledger watch shows times: today's as 14:02:58, another day's as 2024-05-01 14:02.
// `dayStartMs` is the local midnight that began today.
function when(ms, dayStartMs) {
  if (ms >= dayStartMs && ms < dayStartMs + DAY_MS) return clock(ms);
  return dateTime(ms).slice(0, 16);
}

// 0x01A2: at least four upper-case hex digits, as the ledger's reports show hard IDs.
function hex4(n) {
  return '0x' + n.toString(16).toUpperCase().padStart(4, '0');
}

// The hard ID a person typed: 0x1A2 or 1A2 in hex, 418 in decimal (digits alone are decimal).
// Its number, or null when it is not a hard ID.
function parseHardId(text) {
  const t = text.trim();
  let n = NaN;
  if (/^0x[0-9a-f]+$/i.test(t)) n = parseInt(t.slice(2), 16);
  else if (/^[0-9]+$/.test(t)) n = parseInt(t, 10);
  else if (/^[0-9a-f]+$/i.test(t)) n = parseInt(t, 16);
  return n >= 1 && n <= HARD_ID_LAST ? n : null;
}

// The search box goes to the device page of the hard ID typed; what is not one is said beside it.
function bindSearch() {
  const form = document.getElementById('search');
  const input = document.getElementById('search-id');
  const error = document.getElementById('search-error');
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    const id = parseHardId(input.value);
    if (id === null) {
      error.textContent = 'Not a hard ID: type it in hex (0x01A2) or decimal (418), from 1 to ' +
          hex4(HARD_ID_LAST) + '.';
      error.hidden = false;
      return;
    }
    error.hidden = true;
    window.location.assign('/device/' + hex4(id));
  });
}

// GET of a JSON document: its body and the response's headers, or an Error that says what went
// wrong, with the server's own message when it sent one ({"error": "..."}). Gives up after
// `timeoutMs`.
async function getJson(url, timeoutMs) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), timeoutMs);
  try {
    const response = await fetch(url, {cache: 'no-store', signal: abort.signal});
    let body = null;
    try {
      body = await response.json();
    } catch (e) {
      body = null;
    }
    if (!response.ok) {
      const said = body && typeof body.error === 'string' ? ': ' + body.error : '';
      throw new Error(url + ' answered ' + response.status + said);
    }
    if (!body || body.v !== 1) throw new Error(url + ' sent no data this page can read');
    return {body, headers: response.headers};
  } catch (e) {
    if (e.name === 'AbortError') throw new Error(url + ' did not answer within ' +
        timeoutMs / 1000 + ' s');
    if (e instanceof TypeError) throw new Error('the server did not answer ' + url);
    throw e;
  } finally {
    clearTimeout(timer);
  }
}
