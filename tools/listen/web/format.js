// How the page writes things: elements whose text is always text, never
// markup, short numbers and times, and what a job's state says in the
// listener's own words.

import vocabulary from './vocabulary.js';

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

const states = new Map(vocabulary.states.map((state) => [state.name, state]));
const transports = new Map(vocabulary.transports.map((transport) => [transport.name, transport]));

// "error", "warning" or "other", by the listener's rule, which also counts them.
export function messageKind(type) {
  const name = type.replace(/[A-Z]+/g, (letters) => letters.toLowerCase());
  return vocabulary.messageKinds.find(({ word }) => name.includes(word))?.kind ?? 'other';
}

// Connected, and so can be stopped.
export const isLive = (job) => Boolean(states.get(job.state)?.live);

// Whether the job's messages came over a connection, with their arrival times.
export const cameLive = (job) => Boolean(transports.get(job?.transport)?.live);

export function describeStop(outcome) {
  if (!outcome) return '';
  return outcome === 'sent' ? 'stop sent' : `stop ${outcome}`;
}

// What is wrong with a job, if anything, for its badge: first a state that
// needs a look (a silent job may only be slow), then its errors and warnings.
export function trouble(job) {
  const state = states.get(job.state)?.trouble;
  if (state) return [state.kind, state.badge];
  if (job.errors > 0) return ['error', job.errors === 1 ? '1 error' : `${job.errors} errors`];
  if (job.warnings > 0) return ['warning', job.warnings === 1 ? '1 warning' : `${job.warnings} warnings`];
  return null;
}

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
