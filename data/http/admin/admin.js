// The administration page: clients, their tracks and one track at a time, chosen by the address
// fragment (#add, #edit=ID, #delete=ID, #client=ID, #client=ID&track=TRACKID). It reads only the
// GET feeds; every change is a plain form post that the server answers with a redirect back here.
// A form's action carries the fragment to come back to: a redirect without one keeps it.

import {
  childElements, childNumber, childText, fetchXml, formatDistance, formatDuration, formatLocal, formatUtc, parseFeedTime,
} from '../scripts/feeds.js';
import { cssColour, distanceMetres, drawPath, drawProfile } from '../scripts/plot.js';

const kDefaultColour = '#1f6feb';
const kParallelFetches = 4;

const main = document.getElementById('admin');
const status = document.getElementById('status');
const views = ['clients-view', 'client-form-view', 'delete-client-view', 'tracks-view', 'track-view'].map((id) => document.getElementById(id));
// Bumped on every navigation, so that a slow answer for a page left meanwhile is dropped.
let generation = 0;

function byId(id) {
  return document.getElementById(id);
}

function element(name, attributes = {}, ...children) {
  const node = document.createElement(name);
  for (const [key, value] of Object.entries(attributes)) {
    if (key === 'class') node.className = value;
    else node.setAttribute(key, value);
  }
  for (const child of children) node.append(child);
  return node;
}

function fragment(params) {
  return `#${new URLSearchParams(params).toString()}`;
}

function setStatus(text, state = 'error') {
  status.hidden = !text;
  status.textContent = text || '';
  main.dataset.state = state;
}

function showView(id) {
  for (const view of views) view.hidden = view.id !== id;
  main.dataset.state = 'ready';
}

function describeError(error, what) {
  if (error.kind === 'unreachable') return `Server unreachable: could not load ${what}. Reload the page to try again.`;
  if (error.status === 404) return `Could not load ${what}: the server has no database, or it no longer exists.`;
  return `Could not load ${what}: ${error.message}`;
}

/** A client element of the feeds as a plain object. */
function readClient(node) {
  const client = {};
  for (const field of ['id', 'name', 'color', 'firstname', 'surename', 'email', 'phone', 'description']) {
    client[field] = childText(node, field) ?? '';
  }
  return client;
}

async function loadClient(id) {
  const doc = await fetchXml(`/admin/client.xml?id=${encodeURIComponent(id)}`);
  return readClient(doc.documentElement);
}

function swatch(colour) {
  const dot = element('span', { class: 'swatch' });
  dot.style.background = cssColour(colour, 'transparent');
  return dot;
}

// ---- clients ----

async function showClients(run) {
  const doc = await fetchXml('/admin/clients.xml');
  if (run !== generation) return;
  const clients = childElements(doc.documentElement, 'client').map(readClient);
  const body = byId('clients').tBodies[0];
  body.replaceChildren(...clients.map((client) => {
    const person = [client.firstname, client.surename].filter(Boolean).join(' ');
    const row = element('tr', { 'data-client': client.id },
      element('td', {}, swatch(client.color), element('a', { href: fragment({ client: client.id }) }, client.name || '(no name)')),
      element('td', {}, person),
      element('td', { class: 'hide-narrow' }, client.email),
      element('td', { class: 'hide-narrow' }, client.phone),
      element('td', { class: 'hide-narrow' }, client.description),
      element('td', { class: 'actions' },
        element('a', { class: 'button', href: fragment({ client: client.id }) }, 'Tracks'),
        element('a', { class: 'button', href: fragment({ edit: client.id }) }, 'Edit'),
        element('a', { class: 'button', href: fragment({ delete: client.id }) }, 'Delete')));
    return row;
  }));
  byId('clients-empty').hidden = clients.length > 0;
  showView('clients-view');
}

// ---- add and change ----

async function showClientForm(run, id) {
  const form = byId('client-form');
  form.reset();
  const adding = id === null;
  const client = adding ? null : await loadClient(id);
  if (run !== generation) return;

  form.action = adding ? '/admin/addclient' : '/admin/editclient';
  form.elements.id.value = adding ? '' : client.id;
  byId('client-form-title').textContent = adding ? 'Add client' : `Change client ${client.name}`;
  byId('pass-hint').textContent = adding
    ? 'The client\'s program logs in with this name and password.'
    : 'Leave the password empty to keep the current one.';
  if (!adding) {
    for (const field of ['name', 'color', 'firstname', 'surename', 'email', 'phone', 'description']) {
      form.elements[field].value = client[field];
    }
  }
  syncColourPicker();
  showView('client-form-view');
  form.elements.name.focus();
}

function syncColourPicker() {
  const text = byId('f-color').value.trim();
  if (/^#[0-9a-f]{6}$/i.test(text)) byId('f-color-pick').value = text;
}

byId('f-color').addEventListener('input', syncColourPicker);
byId('f-color-pick').addEventListener('input', (event) => {
  byId('f-color').value = event.target.value;
});

// ---- delete a client ----

async function showDeleteClient(run, id) {
  const client = await loadClient(id);
  if (run !== generation) return;
  const form = byId('delete-client-form');
  form.reset();
  form.elements.id.value = client.id;
  form.dataset.name = client.name;
  byId('delete-client-title').textContent = `Delete client ${client.name}`;
  showView('delete-client-view');
}

byId('delete-client-form').addEventListener('submit', (event) => {
  const form = event.target;
  const withTracks = form.elements.deltracks.checked;
  const question = withTracks
    ? `Delete the client "${form.dataset.name}" and all its tracks?`
    : `Delete the client "${form.dataset.name}"? Its tracks stay stored.`;
  if (!window.confirm(question)) event.preventDefault();
});

// ---- the tracks of a client ----

/** The points of a GPX document: {lat, lon, ele or null, time in ms or null}. */
function readGpxPoints(doc) {
  return Array.from(doc.getElementsByTagNameNS('*', 'trkpt')).map((point) => ({
    lat: Number(point.getAttribute('lat')),
    lon: Number(point.getAttribute('lon')),
    ele: childNumber(point, 'ele'),
    time: parseFeedTime(childText(point, 'time')),
  }));
}

function trackGpxUrl(trackId) {
  return `/admin/clienttrack.gpx?id=${encodeURIComponent(trackId)}&att=yes`;
}

function deleteTrackForm(clientId, trackId, pointCount) {
  const form = element('form', {
    class: 'inline',
    method: 'post',
    enctype: 'multipart/form-data',
    action: `/admin/deletetrack${fragment({ client: clientId })}`,
  }, element('input', { type: 'hidden', name: 'id', value: trackId }), element('button', { type: 'submit', class: 'danger' }, 'Delete'));
  form.addEventListener('submit', (event) => {
    const points = pointCount() === null ? '' : ` with ${pointCount()} points`;
    if (!window.confirm(`Delete the track${points}? This cannot be undone.`)) event.preventDefault();
  });
  return form;
}

/** Runs `work` on every item, a few at a time. */
async function forEachLimited(items, work) {
  let next = 0;
  const worker = async () => {
    while (next < items.length) await work(items[next++]);
  };
  await Promise.all(Array.from({ length: Math.min(kParallelFetches, items.length) }, worker));
}

async function showTracks(run, clientId) {
  const [client, list] = await Promise.all([
    loadClient(clientId),
    fetchXml(`/admin/clienttracks.xml?user=${encodeURIComponent(clientId)}`),
  ]);
  if (run !== generation) return;
  byId('tracks-title').textContent = `Tracks of ${client.name}`;
  byId('latest-gpx').href = `/admin/lasttrack.gpx?user=${encodeURIComponent(clientId)}&att=yes`;

  // Newest first; the feed lists them oldest first.
  const tracks = childElements(list.documentElement, 'track').map((node) => ({
    id: childText(node, 'trackid') ?? '',
    start: parseFeedTime(childText(node, 'datetime')),
    points: null,
  })).reverse();

  const body = byId('tracks').tBodies[0];
  const rows = tracks.map((track) => {
    const startCell = element('td', {}, track.start === null ? '–' : formatUtc(track.start));
    const pointsCell = element('td', { class: 'numeric' }, '…');
    const actions = element('td', { class: 'actions' });
    if (track.id === '') {
      // Positions posted without a track id cannot be asked for as a track.
      pointsCell.textContent = '–';
      actions.append('(no track id)');
    } else {
      actions.append(
        element('a', { class: 'button', href: fragment({ client: clientId, track: track.id }) }, 'View'),
        element('a', { class: 'button', href: trackGpxUrl(track.id), download: '' }, 'GPX'),
        deleteTrackForm(clientId, track.id, () => track.points));
    }
    const row = element('tr', { 'data-track': track.id }, startCell, pointsCell,
      element('td', { class: 'hide-narrow mono' }, track.id), actions);
    return { track, row, startCell, pointsCell };
  });
  body.replaceChildren(...rows.map((r) => r.row));
  byId('tracks-empty').hidden = tracks.length > 0;
  showView('tracks-view');

  // The list has no point counts: each track's GPX gives its points and its exact start.
  await forEachLimited(rows.filter((r) => r.track.id !== ''), async ({ track, startCell, pointsCell }) => {
    try {
      const points = readGpxPoints(await fetchXml(trackGpxUrl(track.id).replace('&att=yes', '')));
      if (run !== generation) return;
      track.points = points.length;
      pointsCell.textContent = String(points.length);
      if (points.length > 0 && points[0].time !== null) startCell.textContent = formatUtc(points[0].time);
    } catch {
      pointsCell.textContent = '?';
    }
  });
}

// ---- one track ----

/** Stored speeds of a client's positions by time, to put beside the GPX points. */
async function loadStoredSpeeds(clientId) {
  const byTime = new Map();
  if (clientId === null) return byTime;
  const doc = await fetchXml(`/admin/tracks.xml?user=${encodeURIComponent(clientId)}`);
  for (const pos of childElements(doc.documentElement, 'pos')) {
    const speed = childNumber(pos, 'speed');
    const time = parseFeedTime(childText(pos, 'datetime'));
    const lat = childNumber(pos, 'lat');
    const lon = childNumber(pos, 'lon');
    if (speed === null || time === null || lat === null || lon === null) continue;
    if (!byTime.has(time)) byTime.set(time, []);
    byTime.get(time).push({ lat, lon, speed });
  }
  return byTime;
}

/** The stored speed of a GPX point: same time, and the same place up to the GPX rounding. */
function storedSpeed(byTime, point) {
  const match = (byTime.get(point.time) || []).find((p) => Math.abs(p.lat - point.lat) < 1e-6 && Math.abs(p.lon - point.lon) < 1e-6);
  return match ? match.speed : undefined;
}

function summaryItem(label, value) {
  return element('div', {}, element('dt', {}, label), element('dd', {}, value));
}

async function showTrack(run, clientId, trackId) {
  const [gpx, client, storedSpeeds] = await Promise.all([
    fetchXml(`/admin/clienttrack.gpx?id=${encodeURIComponent(trackId)}`),
    clientId === null ? Promise.resolve(null) : loadClient(clientId),
    loadStoredSpeeds(clientId).catch(() => new Map()),
  ]);
  if (run !== generation) return;
  const points = readGpxPoints(gpx);
  const colour = cssColour(client?.color, kDefaultColour);

  byId('track-title').textContent = client ? `Track of ${client.name}` : 'Track';
  byId('track-gpx').href = trackGpxUrl(trackId);
  byId('track-back').href = clientId === null ? '#' : fragment({ client: clientId });
  const deleteForm = byId('delete-track-form');
  deleteForm.elements.id.value = trackId;
  deleteForm.action = `/admin/deletetrack${clientId === null ? '' : fragment({ client: clientId })}`;
  deleteForm.dataset.points = String(points.length);

  let length = 0;
  const derived = points.map((point, i) => {
    if (i === 0) return null;
    const previous = points[i - 1];
    const step = distanceMetres(previous, point);
    length += step;
    const seconds = point.time !== null && previous.time !== null ? (point.time - previous.time) / 1000 : 0;
    return seconds > 0 ? (step / seconds) * 3.6 : null;
  });
  const stored = points.map((p) => (p.time === null ? undefined : storedSpeed(storedSpeeds, p)));
  const haveStored = stored.some((s) => s !== undefined);
  const speeds = haveStored ? stored.map((s) => (s === undefined ? null : s)) : derived;

  const times = points.map((p) => p.time).filter((t) => t !== null);
  const start = times.length ? times[0] : null;
  const end = times.length ? times[times.length - 1] : null;
  const knownSpeeds = speeds.filter((s) => s !== null);
  const heights = points.map((p) => p.ele).filter((e) => e !== null);
  const summary = [
    summaryItem('Start (UTC)', start === null ? '–' : formatUtc(start)),
    summaryItem('Start (local)', start === null ? '–' : formatLocal(start)),
    summaryItem('Duration', start === null ? '–' : formatDuration(end - start)),
    summaryItem('Points', String(points.length)),
    summaryItem('Length', formatDistance(length)),
    summaryItem('Top speed', knownSpeeds.length ? `${Math.max(...knownSpeeds).toFixed(1)} km/h` : '–'),
    summaryItem('Altitude', heights.length ? `${Math.round(Math.min(...heights))} – ${Math.round(Math.max(...heights))} m` : '–'),
    summaryItem('Track id', trackId),
  ];
  byId('track-summary').replaceChildren(...summary);

  drawPath(byId('track-path'), points, { colour, minSpan: 50, emptyText: 'This track has no points' });
  const profileTimes = points.map((p, i) => p.time ?? i * 1000);
  drawProfile(byId('track-speed'), points.map((_, i) => ({ time: profileTimes[i], value: speeds[i] })),
    { unit: 'km/h', colour, emptyText: 'No speed known' });
  byId('speed-note').hidden = haveStored || knownSpeeds.length === 0;
  drawProfile(byId('track-altitude'), points.map((p, i) => ({ time: profileTimes[i], value: p.ele })),
    { unit: 'm', colour, emptyText: 'No altitude recorded' });
  showView('track-view');
}

byId('delete-track-form').addEventListener('submit', (event) => {
  const points = event.target.dataset.points;
  if (!window.confirm(`Delete this track with ${points} points? This cannot be undone.`)) event.preventDefault();
});

// ---- navigation ----

async function route() {
  const run = ++generation;
  const params = new URLSearchParams(location.hash.slice(1));
  setStatus('', 'loading');
  try {
    if (params.has('add')) await showClientForm(run, null);
    else if (params.has('edit')) await showClientForm(run, params.get('edit'));
    else if (params.has('delete')) await showDeleteClient(run, params.get('delete'));
    else if (params.has('track')) await showTrack(run, params.get('client'), params.get('track'));
    else if (params.has('client')) await showTracks(run, params.get('client'));
    else await showClients(run);
  } catch (error) {
    if (run !== generation) return;
    for (const view of views) view.hidden = true;
    setStatus(describeError(error, 'this page'));
  }
}

window.addEventListener('hashchange', route);
route();
