// How the page writes things: elements whose text is always text, never
// markup, short numbers and times, and what a job's state says.

export const $ = (id) => document.getElementById(id);

export function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

// Integers as they are, reals short: 3.0303030303030305e-06 reads 3.03e-6.
export function formatNumber(value) {
  if (value === null || value === undefined) return '';
  if (typeof value !== 'number') return String(value);
  if (Number.isInteger(value) && Math.abs(value) < 1e15) return String(value);
  const size = Math.abs(value);
  if (size !== 0 && (size < 1e-2 || size >= 1e6)) {
    return value.toExponential(2).replace(/\.?0+e/, 'e').replace('e+', 'e');
  }
  return String(Number(value.toPrecision(4)));
}

const pad = (n) => String(n).padStart(2, '0');

export function formatTime(milliseconds) {
  if (!milliseconds) return '';
  const date = new Date(milliseconds);
  const clock = `${pad(date.getHours())}:${pad(date.getMinutes())}:${pad(date.getSeconds())}`;
  if (date.toDateString() === new Date().toDateString()) return clock;
  return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())} ${clock}`;
}

export function messageKind(type) {
  if (/error|fatal/i.test(type)) return 'error';
  if (/warn/i.test(type)) return 'warning';
  return 'other';
}

export function describeStop(outcome) {
  if (!outcome) return '';
  return outcome === 'sent' ? 'stop sent' : `stop ${outcome}`;
}

// What is wrong with a job, if anything, for its badge: first a state that
// needs a look (a silent job may only be slow), then its errors and warnings.
export function trouble(job) {
  if (job.needsLook) return [job.state === 'silent' ? 'warning' : 'error', `needs a look: ${job.state}`];
  if (job.errors > 0) return ['error', job.errors === 1 ? '1 error' : `${job.errors} errors`];
  if (job.warnings > 0) return ['warning', job.warnings === 1 ? '1 warning' : `${job.warnings} warnings`];
  return null;
}

export const isLive = (job) => job.state === 'running' || job.state === 'silent';

// How long the job has run: until now while it lasts, else until its end.
export function elapsed(job, now) {
  if (!job.started) return null;
  const end = isLive(job) ? now : (job.ended ?? job.lastMessage ?? job.started);
  return Math.max(0, end - job.started);
}

// The time left at the pace so far, from the job's latest report of how far
// it is (progress, 0 to 1): the time it took to get there, scaled to what is
// left, less the time since that report. Null when it cannot be told.
export function timeLeft(job, now) {
  const done = job.progress;
  if (!isLive(job) || !(done > 0) || !job.lastMessage) return null;
  const taken = job.lastMessage - job.started;
  return Math.max(0, taken * (1 - done) / done - (now - job.lastMessage));
}

// 3:07 or 2:03:07 (hours, minutes, seconds); 3d 2:03:07 beyond a day.
export function formatDuration(milliseconds) {
  if (milliseconds === null || milliseconds === undefined) return '';
  let seconds = Math.round(milliseconds / 1000);
  const days = Math.floor(seconds / 86400);
  seconds -= days * 86400;
  const hours = Math.floor(seconds / 3600);
  const clock = hours || days
    ? `${hours}:${pad(Math.floor(seconds / 60) % 60)}:${pad(seconds % 60)}`
    : `${Math.floor(seconds / 60)}:${pad(seconds % 60)}`;
  return days ? `${days}d ${clock}` : clock;
}
