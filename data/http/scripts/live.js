// The live page: polls the current position once a second and keeps the path it has seen.

import { childNumber, childText, fetchXml, formatLocal, formatUtc, parseFeedTime } from './feeds.js';
import { drawPath } from './plot.js';

const kPollMs = 1000;
const kMaxPathPoints = 600;
// The server reports the zero time (1899-12-30) with zero coordinates until its source delivers.
const kTimeZero = Date.UTC(1899, 11, 30);
// Rows that stay visible with a dash when the position lacks them; the others appear when present.
const kAlwaysShown = new Set(['latlon', 'speed', 'heading', 'alt', 'prec', 'utc', 'local']);
// After this long without a change the status says so: the source may have stopped.
const kQuietMs = 10000;

const page = document.getElementById('live');
const status = document.getElementById('status');
const pathSvg = document.getElementById('path');
const path = [];
let lastKey = null;
let lastChange = 0;
let lastHeading = null;

function setState(state, message) {
  page.dataset.state = state;
  status.textContent = message;
}

function setRow(field, text) {
  const row = document.querySelector(`#position tr[data-field="${field}"]`);
  if (!row) return;
  const present = text !== null && text !== '';
  row.querySelector('td').textContent = present ? text : '–';
  row.hidden = !present && !kAlwaysShown.has(field);
}

// "P 1.8 · H 0.9 · V 1.5" with the dilutions the feed has; empty when it has none.
function dilutionText(texts) {
  return [['P', 'pdop'], ['H', 'hdop'], ['V', 'vdop']]
    .map(([letter, name]) => [letter, childText(texts, name)])
    .filter(([, value]) => value !== null && value !== '')
    .map(([letter, value]) => `${letter} ${value}`)
    .join(' · ');
}

function showPosition(numbers, texts) {
  const time = parseFeedTime(childText(numbers, 'datetime'));
  const lat = childNumber(numbers, 'lat');
  const lon = childNumber(numbers, 'lon');
  const timeKnown = time !== null && time > kTimeZero;
  if (!timeKnown && !lat && !lon) {
    setState('no-position', 'No position yet: the server has not received a position from its source.');
    drawPath(pathSvg, path, { emptyText: 'Waiting for the first position' });
    return;
  }

  for (const field of ['latlon', 'speed', 'heading', 'alt', 'prec', 'altprec', 'vspeed', 'fix', 'satellites',
                       'satellitesinview', 'geoidheight', 'depth', 'magvar']) {
    setRow(field, childText(texts, field));
  }
  setRow('dop', dilutionText(texts));
  setRow('utc', timeKnown ? `${formatUtc(time)} UTC` : 'unknown');
  setRow('local', timeKnown ? formatLocal(time) : 'unknown');

  const key = `${time}|${lat}|${lon}`;
  if (key !== lastKey) {
    lastKey = key;
    lastChange = Date.now();
    if (lat !== null && lon !== null) {
      path.push({ lat, lon });
      if (path.length > kMaxPathPoints) path.shift();
    }
    lastHeading = childNumber(numbers, 'heading');
    drawPath(pathSvg, path, { heading: lastHeading, minSpan: 100 });
  }
  const quiet = Date.now() - lastChange;
  if (quiet > kQuietMs) {
    setState('live', `No new position for ${Math.round(quiet / 1000)} s; showing the last one.`);
  } else {
    setState('live', 'Live: updated every second.');
  }
}

function showError(error) {
  if (error.kind === 'unreachable') {
    setState('unreachable', 'Server unreachable: retrying every second. The values below are the last ones received.');
  } else if (error.status === 401) {
    setState('login', 'The server asks for a login: reload the page to sign in.');
  } else {
    setState('error', `The server answered with an error: ${error.message}`);
  }
}

async function poll() {
  try {
    const [numbers, texts] = await Promise.all([fetchXml('/pos.xml'), fetchXml('/postext.xml')]);
    showPosition(numbers.documentElement, texts.documentElement);
  } catch (error) {
    showError(error);
  }
  setTimeout(poll, kPollMs);
}

drawPath(pathSvg, path, { emptyText: 'Waiting for the first position' });
poll();
