// Reading the position server's XML feeds. Every page gets its data through these helpers, so
// that a failed request always ends up as a FeedError the page can show.

/** Why a feed could not be read: 'unreachable' (no answer), 'status' (an HTTP error), 'format'. */
export class FeedError extends Error {
  constructor(kind, message, status = 0) {
    super(message);
    this.kind = kind;
    this.status = status;
  }
}

const kFeedTimeoutMs = 5000;

/** The parsed XML document of a feed. Throws FeedError. */
export async function fetchXml(url) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), kFeedTimeoutMs);
  let response;
  let text;
  try {
    response = await fetch(url, { cache: 'no-store', signal: abort.signal });
    text = await response.text();
  } catch (error) {
    throw new FeedError('unreachable', `The server does not answer (${error.message}).`);
  } finally {
    clearTimeout(timer);
  }
  if (!response.ok) {
    throw new FeedError('status', `${url} answered ${response.status} ${response.statusText}`.trim(),
                        response.status);
  }
  const doc = new DOMParser().parseFromString(text, 'application/xml');
  if (doc.getElementsByTagName('parsererror').length > 0) {
    throw new FeedError('format', `${url} is not well-formed XML.`);
  }
  return doc;
}

/** The text of the first child element `name` of `element`, or null when it has none. */
export function childText(element, name) {
  for (const child of element.children) {
    if (child.localName === name) return child.textContent;
  }
  return null;
}

/** The number in child element `name`, or null when it is missing or not a number. */
export function childNumber(element, name) {
  const text = childText(element, name);
  if (text === null || text.trim() === '') return null;
  const value = Number(text);
  return Number.isFinite(value) ? value : null;
}

/** Child elements called `name`. */
export function childElements(element, name) {
  return Array.from(element.children).filter((child) => child.localName === name);
}

/** Milliseconds since 1970 of the feeds' "yyyy-mm-ddThh:nn:ss[.fff]Z" text; null when unreadable. */
export function parseFeedTime(text) {
  if (!text) return null;
  const millis = Date.parse(text.trim());
  return Number.isNaN(millis) ? null : millis;
}

/** "2024-05-01 10:20:30" in UTC, or "2024-05-01 10:20:30.250" for a time with milliseconds. */
export function formatUtc(millis) {
  return new Date(millis).toISOString().slice(0, millis % 1000 === 0 ? 19 : 23).replace('T', ' ');
}

/** The browser's local date and time. */
export function formatLocal(millis) {
  return new Date(millis).toLocaleString();
}

/** "1 h 05 min", "3 min 20 s", "12 s". */
export function formatDuration(millis) {
  const seconds = Math.round(millis / 1000);
  if (seconds < 60) return `${seconds} s`;
  const minutes = Math.floor(seconds / 60);
  if (minutes < 60) return `${minutes} min ${String(seconds % 60).padStart(2, '0')} s`;
  return `${Math.floor(minutes / 60)} h ${String(minutes % 60).padStart(2, '0')} min`;
}

/** Metres as "850 m" or "12.4 km". */
export function formatDistance(metres) {
  if (metres < 1000) return `${Math.round(metres)} m`;
  return `${(metres / 1000).toFixed(metres < 100000 ? 2 : 0)} km`;
}
