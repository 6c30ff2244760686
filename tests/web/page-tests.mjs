// Drives headless Chromium through the live page and the administration pages, against the real
// position server (geomuxer_web_test_server) with a fresh database. A client account is made
// through the form, positions are posted for it with curl as another Geomuxer would, its tracks
// are listed, plotted, downloaded as GPX (checked by xmllint) and deleted; the live page is
// watched while the server publishes positions and while it is away.
//
// Usage: node page-tests.mjs --server EXE --web-root DIR --data-dir DIR --schema XSD --screenshots DIR

import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { chromium } from 'playwright-core';

const kDeadlineMs = 60000;
const kWaitMs = 10000;
const kAdmin = { username: 'admin', password: 'se cret:1' };
const kClient = { name: 'walker', password: 'step-by-step' };

const options = {};
for (let i = 2; i + 1 < process.argv.length; i += 2) options[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
for (const name of ['server', 'web-root', 'data-dir', 'screenshots']) {
  if (!options[name]) {
    console.error(`missing --${name}`);
    process.exit(2);
  }
}
mkdirSync(options.screenshots, { recursive: true });
const work = mkdtempSync(join(tmpdir(), 'geomuxer-web-'));

let server;
let browser;
let currentStep = 'start';

/** Closes the browser and ends the server; returns the server's exit code (sanitiser reports make it non-zero). */
async function cleanUp() {
  await browser?.close().catch(() => {});
  if (server && server.exitCode === null && server.signalCode === null) {
    server.stdin.end('quit\n');
    await new Promise((resolve) => {
      const timer = setTimeout(() => { server.kill('SIGKILL'); resolve(); }, 5000);
      server.once('exit', () => { clearTimeout(timer); resolve(); });
    });
  }
  rmSync(work, { recursive: true, force: true });
  return server ? server.exitCode : 0;
}

const deadline = setTimeout(async () => {
  console.error(`FAILED: no result within ${kDeadlineMs / 1000} s (step: ${currentStep})`);
  await cleanUp();
  process.exit(1);
}, kDeadlineMs);

async function step(name, body) {
  currentStep = name;
  process.stdout.write(`-- ${name}\n`);
  await body();
}

// ---- the server program ----

function startServer() {
  server = spawn(options.server, [
    '--web-root', options['web-root'], '--data-dir', options['data-dir'],
    '--user', kAdmin.username, '--password', kAdmin.password,
  ], { stdio: ['pipe', 'pipe', 'inherit'] });
  const lines = createInterface({ input: server.stdout });
  const waiting = [];
  const queued = [];
  lines.on('line', (line) => (waiting.length ? waiting.shift()(line) : queued.push(line)));
  server.on('exit', (code) => {
    while (waiting.length) waiting.shift()(`exited ${code}`);
  });
  const nextLine = () => new Promise((resolve) => (queued.length ? resolve(queued.shift()) : waiting.push(resolve)));
  return { nextLine };
}

const { nextLine } = startServer();
const portLine = await nextLine();
const port = Number(/^port (\d+)$/.exec(portLine)?.[1]);
assert.ok(port > 0, `the server did not report its port: ${portLine}`);
const base = `http://127.0.0.1:${port}`;

async function command(text) {
  server.stdin.write(`${text}\n`);
  const answer = await nextLine();
  assert.equal(answer, 'ok', `server command "${text}"`);
}

// ---- HTTP by curl, as another program instance and as an outside client ----

function curl(args) {
  return execFileSync('curl', ['-s', '--max-time', '5', ...args], { encoding: 'utf8' });
}

function postPosition(fields, account = kClient) {
  const form = Object.entries(fields).flatMap(([name, value]) => ['-F', `${name}=${value}`]);
  return curl(['-o', '/dev/null', '-w', '%{http_code}', '-u', `${account.name}:${account.password}`, ...form, `${base}/onclientpos`]);
}

function adminGet(path) {
  return curl(['-u', `${kAdmin.username}:${kAdmin.password}`, `${base}${path}`]);
}

/** A loop of `count` points around a small park, one a minute and a quarter second apart, with
 *  changing speed and height. */
function walk(trackId, count, startIso, centre) {
  const start = Date.parse(startIso);
  return Array.from({ length: count }, (_, i) => {
    const angle = (i / count) * 2 * Math.PI;
    return {
      datetime: new Date(start + i * 60000).toISOString().replace(/\.\d+Z$/, 'Z'),
      msec: String((i * 250) % 1000),
      lat: (centre.lat + 0.003 * Math.sin(angle)).toFixed(6),
      lon: (centre.lon + 0.0045 * Math.cos(angle) * (1 + 0.3 * Math.sin(2 * angle))).toFixed(6),
      alt: (410 + 25 * Math.sin(angle)).toFixed(1),
      speed: (4 + 2 * Math.cos(3 * angle)).toFixed(1),
      heading: ((90 + (i / count) * 360) % 360).toFixed(0),
      trackid: trackId,
    };
  });
}

function countTrackPoints(file) {
  return (readFileSync(file, 'utf8').match(/<trkpt\b/g) || []).length;
}

function validateGpx(file) {
  const schema = options.schema && existsSync(options.schema) ? ['--schema', options.schema] : [];
  if (schema.length === 0) console.log('   (GPX schema not found: checking well-formedness only)');
  execFileSync('xmllint', ['--noout', '--nonet', ...schema, file], { stdio: 'pipe' });
}

// ---- the browser ----

const failures = [];
try {
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', '--disable-dev-shm-usage'],
  });
  const context = await browser.newContext({
    httpCredentials: kAdmin,
    viewport: { width: 1100, height: 800 },
    acceptDownloads: true,
    timezoneId: 'Europe/Zurich',
  });
  context.setDefaultTimeout(kWaitMs);
  // The pages must need nothing from outside this machine.
  await context.route('**/*', (route) => {
    const url = new URL(route.request().url());
    if (url.host === `127.0.0.1:${port}`) return route.continue();
    failures.push(`request outside the server: ${url.href}`);
    return route.abort();
  });
  const page = await context.newPage();
  page.on('pageerror', (error) => failures.push(`script error on ${page.url()}: ${error.message}`));
  const dialogs = [];
  page.on('dialog', (dialog) => {
    dialogs.push(dialog.message());
    dialog.accept();
  });
  const shot = (name, target = page) => target.screenshot({ path: join(options.screenshots, `${name}.png`), fullPage: true });
  // A phone-sized screenshot, once the drawings have followed the narrower page.
  const phoneShot = async (name) => {
    await page.setViewportSize({ width: 390, height: 844 });
    await page.waitForFunction(() => Array.from(document.querySelectorAll('svg.plot'))
      .every((svg) => svg.clientWidth === 0 || Math.abs(svg.clientWidth - Number(svg.dataset.drawnWidth)) <= 8));
    await shot(name);
    await page.setViewportSize({ width: 1100, height: 800 });
  };
  const row = (field) => page.locator(`#position tr[data-field="${field}"] td`);

  await step('live page before any position', async () => {
    await page.goto(`${base}/`);
    await page.waitForSelector('#live[data-state="no-position"]');
    for (const field of ['fix', 'satellitesinview', 'dop']) {
      assert.ok(await page.locator(`#position tr[data-field="${field}"]`).isHidden(), `${field} row hidden`);
    }
    assert.match(await page.textContent('#status'), /No position yet/);
    await shot('live-no-position');
  });

  await step('live page follows published positions', async () => {
    await command('position 47.37690 8.54170 412 5.4 80');
    await page.waitForSelector('#live[data-state="live"]');
    await page.waitForFunction(() => document.querySelector('#position tr[data-field="latlon"] td').textContent.includes('N47'));
    assert.match(await row('speed').textContent(), /5\.4 km\/h/);
    assert.match(await row('alt').textContent(), /412/);
    assert.match(await row('utc').textContent(), /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(\.\d{3})? UTC$/);
    assert.equal(await row('fix').textContent(), '3D');
    assert.equal(await row('satellites').textContent(), '9');
    assert.equal(await row('satellitesinview').textContent(), '12');
    assert.equal(await row('dop').textContent(), 'P 1.8 · H 0.9 · V 1.5');
    assert.notEqual(await row('local').textContent(), '–');
    // Each new position is a new point of the drawn path.
    for (const [i, [lat, lon]] of [[47.3772, 8.5431], [47.3776, 8.5446], [47.3783, 8.5452], [47.3791, 8.5449]].entries()) {
      const before = await row('latlon').textContent();
      await command(`position ${lat} ${lon} ${415 + i} ${6 + i} ${40 - 10 * i}`);
      await page.waitForFunction((old) => document.querySelector('#position tr[data-field="latlon"] td').textContent !== old, before);
    }
    await page.waitForFunction(() => document.querySelector('#path polyline')?.getAttribute('points').split(' ').length === 5);
    assert.equal(await page.locator('#path .plot-scale').count(), 1, 'scale bar');
    assert.equal(await page.locator('#path .plot-north').count(), 1, 'north arrow');
    await shot('live');
    await phoneShot('live-phone');
  });

  await step('live page while the server is away', async () => {
    await command('stop');
    await page.waitForSelector('#live[data-state="unreachable"]');
    assert.match(await page.textContent('#status'), /Server unreachable/);
    await shot('live-unreachable');
    await command('start');
    await page.waitForSelector('#live[data-state="live"]');
  });

  let clientId;
  await step('add a client through the form', async () => {
    await page.goto(`${base}/admin/`);
    await page.waitForSelector('#clients-empty:visible');
    await page.click('#add-client');
    await page.waitForSelector('#client-form-view:visible');
    await page.fill('#f-name', kClient.name);
    await page.fill('#f-pass', kClient.password);
    await page.fill('#f-color', '#cf222e');
    await page.fill('#f-firstname', 'Vreni');
    await page.fill('#f-surename', 'Muster');
    await page.fill('#f-email', 'vreni@example.org');
    await page.fill('#f-description', 'walks the dog');
    await shot('admin-client-form');
    await Promise.all([page.waitForURL(`${base}/admin/`), page.click('#client-save')]);
    const added = page.locator('#clients tbody tr', { hasText: kClient.name });
    await added.waitFor();
    clientId = await added.getAttribute('data-client');
    assert.match(clientId, /^\d+$/);
    assert.match(await added.textContent(), /Vreni Muster/);
  });

  await step('change the client; an empty password keeps the old one', async () => {
    await page.click(`#clients tr[data-client="${clientId}"] >> text=Edit`);
    await page.waitForSelector('#client-form-view:visible');
    assert.equal(await page.inputValue('#f-name'), kClient.name);
    assert.equal(await page.inputValue('#f-pass'), '');
    await page.fill('#f-description', 'walks the dog twice a day');
    await Promise.all([page.waitForURL(`${base}/admin/`), page.click('#client-save')]);
    await page.waitForSelector(`#clients tr[data-client="${clientId}"] >> text=twice a day`);
    await shot('admin-clients');
    assert.equal(postPosition({ lat: '1', lon: '1', trackid: 'probe' }, { name: kClient.name, password: 'wrong' }), '401');
  });

  await step('post two tracks with curl', async () => {
    const centre = { lat: 47.3686, lon: 8.5392 };
    for (const fields of walk('track-one', 12, '2024-05-01T08:00:00Z', centre)) assert.equal(postPosition(fields), '200');
    for (const fields of walk('track-two', 3, '2024-05-02T17:30:00Z', { lat: 47.39, lon: 8.51 })) assert.equal(postPosition(fields), '200');
  });

  await step('the tracks are listed with start and points', async () => {
    await page.click(`#clients tr[data-client="${clientId}"] >> text=Tracks`);
    await page.waitForSelector('#tracks-view:visible');
    const one = page.locator('#tracks tr[data-track="track-one"]');
    await page.waitForFunction(() => document.querySelector('#tracks tr[data-track="track-one"] td.numeric')?.textContent === '12');
    assert.match(await one.textContent(), /2024-05-01 08:00:00/);
    assert.match(await page.locator('#tracks tr[data-track="track-two"]').textContent(), /2024-05-02 17:30:00/);
    // Newest first.
    assert.equal(await page.locator('#tracks tbody tr').first().getAttribute('data-track'), 'track-two');
    await shot('admin-tracks');
  });

  await step('GPX of the latest track', async () => {
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#latest-gpx')]);
    const file = join(work, 'latest.gpx');
    await download.saveAs(file);
    validateGpx(file);
    assert.equal(countTrackPoints(file), 3);
  });

  await step('a track is plotted with its profiles', async () => {
    await page.click('#tracks tr[data-track="track-one"] >> text=View');
    await page.waitForSelector('#track-view:visible');
    assert.equal((await page.locator('#track-path polyline').getAttribute('points')).split(' ').length, 12);
    assert.equal(await page.locator('#track-path .plot-scale').count(), 1, 'scale bar');
    assert.equal(await page.locator('#track-path .plot-north').count(), 1, 'north arrow');
    assert.equal(await page.locator('#track-speed polyline').count(), 1, 'speed profile');
    assert.equal(await page.locator('#track-altitude polyline').count(), 1, 'altitude profile');
    assert.ok(await page.locator('#speed-note').isHidden(), 'the stored speeds are shown, not derived ones');
    assert.match(await page.textContent('#track-summary'), /Points\s*12/);
    await shot('admin-track');
    await phoneShot('admin-track-phone');
  });

  await step('GPX of the track', async () => {
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#track-gpx')]);
    const file = join(work, 'track.gpx');
    await download.saveAs(file);
    validateGpx(file);
    assert.equal(countTrackPoints(file), 12);
    assert.match(readFileSync(file, 'utf8'), /<time>2024-05-01T08:01:00\.250Z<\/time>/, 'stored milliseconds');
  });

  await step('delete the track', async () => {
    dialogs.length = 0;
    await Promise.all([page.waitForURL(/\/admin\/#client=/), page.click('#delete-track-form button')]);
    assert.match(dialogs[0] ?? '', /12 points/);
    // The redirect brings the browser back to the client's tracks.
    await page.waitForSelector('#tracks-view:visible');
    await page.waitForFunction(() => document.querySelectorAll('#tracks tbody tr').length === 1);
    assert.equal(await page.locator('#tracks tbody tr').first().getAttribute('data-track'), 'track-two');
  });

  await step('delete the client with its tracks', async () => {
    await page.goto(`${base}/admin/#delete=${clientId}`);
    await page.waitForSelector('#delete-client-view:visible');
    await page.check('#f-deltracks');
    dialogs.length = 0;
    await Promise.all([page.waitForURL(`${base}/admin/`), page.click('#delete-client-confirm')]);
    assert.match(dialogs[0] ?? '', /and all its tracks/);
    await page.waitForSelector('#clients-empty:visible');
    assert.equal(await page.locator('#clients tbody tr').count(), 0);
    assert.doesNotMatch(adminGet(`/admin/tracks.xml?user=${clientId}`), /<pos>/);
  });
} catch (error) {
  failures.push(`${currentStep}: ${error.stack || error.message}`);
}

clearTimeout(deadline);
const serverExit = await cleanUp();
if (serverExit !== 0) failures.push(`the server program ended with ${serverExit ?? server.signalCode}`);
if (failures.length > 0) {
  for (const failure of failures) console.error(`FAILED: ${failure}`);
  process.exit(1);
}
console.log(`all page tests passed; screenshots in ${options.screenshots}`);
