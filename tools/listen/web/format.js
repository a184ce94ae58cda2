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

// What is wrong with a job, if anything, for its badge.
export function trouble(job) {
  if (job.errors > 0) return ['error', job.errors === 1 ? '1 error' : `${job.errors} errors`];
  if (job.state === 'unreachable') return ['error', 'unreachable'];
  if (job.state === 'gone') return ['warning', 'connection lost'];
  if (job.warnings > 0) return ['warning', job.warnings === 1 ? '1 warning' : `${job.warnings} warnings`];
  return null;
}
