// SVG drawings of a path (map-like, north up, with a scale bar) and of value profiles over time.
// Drawn from the positions alone: no map tiles, nothing from outside the machine.

const kSvgNs = 'http://www.w3.org/2000/svg';
const kEarthRadius = 6371008.8;  // mean radius, metres; plenty for a plot and a track length
const kRad = Math.PI / 180;

function svgElement(name, attributes, parent) {
  const element = document.createElementNS(kSvgNs, name);
  for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, String(value));
  if (parent) parent.appendChild(element);
  return element;
}

function svgText(parent, x, y, text, attributes = {}) {
  const element = svgElement('text', { x, y, ...attributes }, parent);
  element.textContent = text;
  return element;
}

// Drawings take the width the page gives them, so that their texts keep their size on a phone;
// they are drawn again when that width changes.
const redraws = new Map();
let resizeTimer = null;
window.addEventListener('resize', () => {
  clearTimeout(resizeTimer);
  resizeTimer = setTimeout(() => {
    for (const [svg, redraw] of redraws) {
      if (!svg.isConnected) redraws.delete(svg);
      else if (Math.abs(svg.clientWidth - Number(svg.dataset.drawnWidth)) > 8) redraw();
    }
  }, 150);
});

function drawingWidth(svg, redraw) {
  redraws.set(svg, redraw);
  const width = Math.round(svg.clientWidth) || 600;
  svg.dataset.drawnWidth = String(width);
  return width;
}

function clear(svg, width, height) {
  while (svg.firstChild) svg.removeChild(svg.firstChild);
  svg.setAttribute('viewBox', `0 0 ${width} ${height}`);
  svg.setAttribute('preserveAspectRatio', 'xMidYMid meet');
  svgElement('rect', { x: 0, y: 0, width, height, class: 'plot-background' }, svg);
}

/** Great-circle distance in metres between two {lat, lon} points. */
export function distanceMetres(a, b) {
  const dLat = (b.lat - a.lat) * kRad;
  const dLon = (b.lon - a.lon) * kRad;
  const h = Math.sin(dLat / 2) ** 2 + Math.cos(a.lat * kRad) * Math.cos(b.lat * kRad) * Math.sin(dLon / 2) ** 2;
  return 2 * kEarthRadius * Math.asin(Math.min(1, Math.sqrt(h)));
}

/** The largest 1, 2 or 5 times a power of ten that is not above `value`. */
export function niceLength(value) {
  const power = 10 ** Math.floor(Math.log10(value));
  for (const step of [5, 2, 1]) {
    if (step * power <= value) return step * power;
  }
  return power;
}

function distanceLabel(metres) {
  return metres >= 1000 ? `${metres / 1000} km` : `${metres} m`;
}

/** A CSS colour from a client's free-form colour text, or the fallback. */
export function cssColour(text, fallback) {
  const value = (text || '').trim();
  return value !== '' && CSS.supports('color', value) ? value : fallback;
}

/**
 * Draws `points` ({lat, lon}, oldest first) into `svg`: the path, its start, its last point
 * (with an arrow when `heading` in degrees is given), a scale bar and a north arrow.
 * `minSpan` is the smallest area in metres shown, so that a standing receiver is not a blur.
 */
export function drawPath(svg, points, options = {}) {
  const { colour = '#1f6feb', heading = null, minSpan = 100, emptyText = 'No positions' } = options;
  const width = drawingWidth(svg, () => drawPath(svg, points, options));
  const height = Math.round((width * 2) / 3);
  const pad = 28;
  clear(svg, width, height);
  svg.setAttribute('role', 'img');
  if (points.length === 0) {
    svgText(svg, width / 2, height / 2, emptyText, { class: 'plot-empty', 'text-anchor': 'middle' });
    return;
  }

  // A local equirectangular projection: right for east, up for north, metres on both axes.
  const lats = points.map((p) => p.lat);
  const lons = points.map((p) => p.lon);
  const lat0 = (Math.min(...lats) + Math.max(...lats)) / 2;
  const lon0 = (Math.min(...lons) + Math.max(...lons)) / 2;
  const k = Math.cos(lat0 * kRad);
  const metres = points.map((p) => ({ x: (p.lon - lon0) * k * kEarthRadius * kRad, y: (p.lat - lat0) * kEarthRadius * kRad }));
  const spanX = Math.max(minSpan, ...metres.map((m) => Math.abs(m.x) * 2));
  const spanY = Math.max(minSpan, ...metres.map((m) => Math.abs(m.y) * 2));
  // The path keeps clear of the scale bar below it.
  const bottom = pad + 24;
  const scale = Math.min((width - 2 * pad) / spanX, (height - pad - bottom) / spanY);  // pixels per metre
  const middle = pad + (height - pad - bottom) / 2;
  const screen = metres.map((m) => ({ x: width / 2 + m.x * scale, y: middle - m.y * scale }));
  const fmt = (v) => v.toFixed(1);

  if (screen.length > 1) {
    svgElement('polyline', {
      points: screen.map((s) => `${fmt(s.x)},${fmt(s.y)}`).join(' '),
      class: 'plot-track',
      stroke: colour,
    }, svg);
    svgElement('circle', { cx: fmt(screen[0].x), cy: fmt(screen[0].y), r: 5, class: 'plot-start' }, svg);
  }
  const last = screen[screen.length - 1];
  if (heading !== null && Number.isFinite(heading)) {
    const arrow = svgElement('g', { transform: `translate(${fmt(last.x)} ${fmt(last.y)}) rotate(${heading})`, class: 'plot-heading' }, svg);
    svgElement('path', { d: 'M0,-20 L7,-6 L-7,-6 Z', fill: colour }, arrow);
  }
  svgElement('circle', { cx: fmt(last.x), cy: fmt(last.y), r: 7, class: 'plot-end', fill: colour }, svg);

  // Scale bar, bottom left: a round length close to a quarter of the width.
  const barMetres = niceLength(width / 4 / scale);
  const barPixels = barMetres * scale;
  const bar = svgElement('g', { class: 'plot-scale', transform: `translate(${pad} ${height - pad / 2 - 4})` }, svg);
  svgElement('path', { d: `M0,-6 V0 H${fmt(barPixels)} V-6` }, bar);
  svgText(bar, barPixels / 2, -10, distanceLabel(barMetres), { 'text-anchor': 'middle' });

  // North arrow, top right.
  const north = svgElement('g', { class: 'plot-north', transform: `translate(${width - pad} ${pad + 6})` }, svg);
  svgElement('path', { d: 'M0,-6 L8,16 L0,10 L-8,16 Z' }, north);
  svgText(north, 0, -10, 'N', { 'text-anchor': 'middle' });
}

function timeOfDay(millis) {
  return new Date(millis).toISOString().slice(11, 19);
}

/**
 * Draws a profile of `samples` ({time in ms, value or null}) over time. Gaps (null values) break
 * the line. Shows `emptyText` when no sample has a value.
 */
export function drawProfile(svg, samples, options) {
  const { unit, colour = '#1f6feb', emptyText = 'No values' } = options;
  const width = drawingWidth(svg, () => drawProfile(svg, samples, options));
  const height = 170;
  const left = 74;
  const right = 12;
  const top = 12;
  const bottom = 26;
  clear(svg, width, height);
  svg.setAttribute('role', 'img');
  const known = samples.filter((s) => s.value !== null && Number.isFinite(s.value));
  if (known.length === 0) {
    svgText(svg, width / 2, height / 2, emptyText, { class: 'plot-empty', 'text-anchor': 'middle' });
    return;
  }

  let low = Math.min(...known.map((s) => s.value));
  let high = Math.max(...known.map((s) => s.value));
  if (high - low < 1e-9) {
    low -= 1;
    high += 1;
  }
  const t0 = samples[0].time;
  const t1 = samples[samples.length - 1].time;
  const x = (t) => (t1 > t0 ? left + ((t - t0) / (t1 - t0)) * (width - left - right) : (left + width - right) / 2);
  const y = (v) => top + (1 - (v - low) / (high - low)) * (height - top - bottom);
  const fmt = (v) => v.toFixed(1);

  for (const value of [low, (low + high) / 2, high]) {
    svgElement('line', { x1: left, x2: width - right, y1: fmt(y(value)), y2: fmt(y(value)), class: 'plot-grid' }, svg);
    const digits = high - low >= 20 ? 0 : 1;
    svgText(svg, left - 6, y(value) + 4, `${value.toFixed(digits)} ${unit}`, { 'text-anchor': 'end', class: 'plot-label' });
  }
  svgText(svg, left, height - 6, timeOfDay(t0), { class: 'plot-label' });
  if (t1 > t0) svgText(svg, width - right, height - 6, `${timeOfDay(t1)} UTC`, { 'text-anchor': 'end', class: 'plot-label' });

  let run = [];
  const flush = () => {
    if (run.length > 1) {
      svgElement('polyline', { points: run.join(' '), class: 'plot-line', stroke: colour }, svg);
    } else if (run.length === 1) {
      const [cx, cy] = run[0].split(',');
      svgElement('circle', { cx, cy, r: 3, fill: colour }, svg);
    }
    run = [];
  };
  for (const sample of samples) {
    if (sample.value === null || !Number.isFinite(sample.value)) {
      flush();
    } else {
      run.push(`${fmt(x(sample.time))},${fmt(y(sample.value))}`);
    }
  }
  flush();
}
