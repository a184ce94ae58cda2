// The jobs table: a row per job, filled once per frame however many events
// came in between, and only the rows in view drawn.

import { $, describeStop, element, elapsed, formatDuration, formatNumber, formatTime, isLive, timeLeft, trouble }
  from './format.js';
import { fetchJson, token } from './api.js';

const columns = ['name', 'host', 'handle', 'transport', 'state', 'phase', 'step', 'increment', 'time',
  'started', 'elapsed', 'left', 'lastMessage', 'warnings', 'errors'];
const numeric = new Set(['step', 'increment', 'time', 'elapsed', 'left', 'warnings', 'errors']);
// Columns whose values change with the clock alone.
const clocked = new Set(['elapsed', 'left']);
const spareRows = 15;          // rows drawn beyond each edge of the view

function spacer(height) {
  const row = element('tr', 'spacer');
  const cell = element('td');
  cell.colSpan = columns.length + 1;
  cell.style.height = `${height}px`;
  row.append(cell);
  return row;
}

const spacerHeight = (row) => row?.firstChild?.style.height;

function sortValue(job, column, now) {
  if (column === 'elapsed') return elapsed(job, now);
  if (column === 'left') return timeLeft(job, now);
  return job[column];
}

// Empty values last whichever the direction; numbers as numbers, the rest as text.
function compareValues(a, b) {
  const aEmpty = a === null || a === undefined || a === '';
  const bEmpty = b === null || b === undefined || b === '';
  if (aEmpty || bEmpty) return aEmpty - bEmpty;
  if (typeof a === 'number' && typeof b === 'number') return a - b;
  return String(a).localeCompare(String(b), undefined, { numeric: true });
}

export class JobsTable {
  // `onSelect(id)` when a row is clicked, `onChange()` after the rows changed.
  constructor({ onSelect, onChange }) {
    this.onSelect = onSelect;
    this.onChange = onChange;
    this.entries = new Map();    // id -> {job, row, cells, localOutcome}
    this.dirty = new Set();
    this.flushQueued = false;
    this.selectedId = null;
    this.filterText = '';
    this.rowHeight = 0;          // measured from the first row drawn
    this.rowOrder = [];          // the entries that pass the filter, newest first
    this.rowOrderStale = false;
    this.sortColumn = null;      // null: newest first
    this.sortDescending = false;
    for (const header of $('jobs').tHead.querySelectorAll('th[data-sort]')) {
      header.addEventListener('click', () => this.sortBy(header.dataset.sort));
    }
    setInterval(() => this.tick(), 1000);
    $('job-filter').addEventListener('input', (event) => {
      this.filterText = event.target.value.trim().toLowerCase();
      this.rowOrderStale = true;
      this.renderRows();
    });
    $('jobs').parentElement.addEventListener('scroll', () => requestAnimationFrame(() => this.renderRows()),
      { passive: true });
  }

  get size() {
    return this.entries.size;
  }

  has(id) {
    return this.entries.has(id);
  }

  entry(id) {
    return this.entries.get(id);
  }

  job(id) {
    return this.entries.get(id)?.job;
  }

  apply(job) {
    let entry = this.entries.get(job.id);
    if (!entry) {
      entry = { job };
      this.entries.set(job.id, entry);
    } else if ((job.messages ?? 0) < (entry.job.messages ?? 0)) {
      return;  // an older picture of the job than the one shown
    }
    entry.job = job;
    this.markDirty(entry);
  }

  // A second click on the same column turns the order round.
  sortBy(column) {
    this.sortDescending = this.sortColumn === column ? !this.sortDescending : false;
    this.sortColumn = column;
    for (const header of $('jobs').tHead.querySelectorAll('th[data-sort]')) {
      const sorted = header.dataset.sort === column;
      header.setAttribute('aria-sort', sorted ? (this.sortDescending ? 'descending' : 'ascending') : 'none');
    }
    this.rowOrderStale = true;
    this.renderRows();
  }

  compareEntries(a, b) {
    if (this.sortColumn === null) return b.job.id - a.job.id;
    const now = Date.now();
    const order = compareValues(sortValue(a.job, this.sortColumn, now), sortValue(b.job, this.sortColumn, now));
    return (this.sortDescending ? -order : order) || b.job.id - a.job.id;
  }

  // Elapsed and left move with the clock, for the rows in view.
  tick() {
    for (const entry of this.rowOrder) {
      if (entry.row?.isConnected && isLive(entry.job)) this.fillTimes(entry);
    }
    if (clocked.has(this.sortColumn)) {
      this.rowOrderStale = true;
      this.renderRows();
    }
  }

  fillTimes(entry) {
    const now = Date.now();
    entry.cells.elapsed.textContent = formatDuration(elapsed(entry.job, now));
    entry.cells.left.textContent = formatDuration(timeLeft(entry.job, now));
  }

  select(id) {
    this.entries.get(this.selectedId)?.row?.classList.remove('selected');
    this.selectedId = id;
    this.entries.get(id)?.row?.classList.add('selected');
  }

  markDirty(entry) {
    this.dirty.add(entry);
    this.queueFlush();
  }

  queueFlush() {
    if (this.flushQueued) return;
    this.flushQueued = true;
    requestAnimationFrame(() => this.flush());
  }

  // Rows out of view are filled when they come into view.
  flush() {
    this.flushQueued = false;
    for (const entry of this.dirty) {
      if (!entry.cells) {
        this.createRow(entry);
        this.rowOrderStale = true;
      }
      if (entry.row.isConnected) this.fillRow(entry);
      else entry.stale = true;
    }
    if (this.filterText && this.dirty.size) this.rowOrderStale = true;
    this.dirty.clear();
    this.renderRows();
    $('jobs-empty').hidden = this.entries.size > 0;
    this.updateSummary();
    this.onChange();
  }

  createRow(entry) {
    const row = element('tr');
    row.dataset.jobId = entry.job.id;
    entry.cells = {};
    for (const column of columns) {
      const cell = element('td', numeric.has(column) ? 'num' : '');
      entry.cells[column] = cell;
      row.append(cell);
    }
    entry.cells.name.className = 'job-name';
    entry.nameText = element('span');
    entry.badge = element('span', 'badge');
    entry.alertMark = element('span', 'alert-mark');
    entry.cells.name.append(entry.nameText, entry.badge, entry.alertMark);
    entry.stateText = element('span', 'state');
    entry.outcomeText = element('span', 'outcome');
    entry.cells.state.append(entry.stateText, entry.outcomeText);
    entry.stopButton = element('button', 'stop small', 'Stop');
    entry.stopButton.type = 'button';
    entry.stopButton.addEventListener('click', (event) => {
      event.stopPropagation();
      this.stop(entry.job.id);
    });
    const actions = element('td', 'actions');
    actions.append(entry.stopButton);
    row.append(actions);
    row.addEventListener('click', () => this.onSelect(entry.job.id));
    entry.row = row;
  }

  fillRow(entry) {
    const { job, cells } = entry;
    entry.nameText.textContent = job.name;
    cells.name.title = `${job.name} (connection ${job.id})`;
    for (const column of ['host', 'handle', 'transport', 'phase']) cells[column].textContent = job[column] ?? '';
    for (const column of ['step', 'increment', 'time', 'warnings', 'errors']) {
      cells[column].textContent = formatNumber(job[column]);
    }
    cells.time.title = job.time ?? '';
    cells.lastMessage.textContent = formatTime(job.lastMessage);
    cells.started.textContent = formatTime(job.started);
    cells.left.title = job.progress === null || job.progress === undefined ? ''
      : `${formatNumber(100 * job.progress)} % done`;
    this.fillTimes(entry);
    entry.stateText.textContent = job.state;
    entry.stateText.dataset.state = job.state;
    entry.outcomeText.textContent = describeStop(job.stopOutcome || entry.localOutcome);
    const problem = trouble(job);
    entry.badge.hidden = !problem;
    entry.row.classList.toggle('has-error', problem?.[0] === 'error');
    entry.row.classList.toggle('has-warning', problem?.[0] === 'warning');
    if (problem) {
      entry.badge.dataset.kind = problem[0];
      entry.badge.textContent = problem[1];
    }
    entry.alertMark.hidden = !job.alerts;
    entry.alertMark.textContent = job.alerts ? `alerts ${job.alerts}` : '';
    entry.alertMark.title = 'alerts raised for this job';
    entry.stopButton.disabled = !isLive(job);
    entry.row.classList.toggle('selected', this.selectedId === job.id);
    entry.row.hidden = !this.matchesFilter(job);
  }

  updateSummary() {
    let running = 0;
    let troubled = 0;
    for (const { job } of this.entries.values()) {
      if (isLive(job)) running += 1;
      if (trouble(job)) troubled += 1;
    }
    const count = this.entries.size;
    const parts = [`${count} job${count === 1 ? '' : 's'}`, `${running} running`];
    if (troubled) parts.push(`${troubled} need${troubled === 1 ? 's' : ''} a look`);
    $('summary').textContent = parts.join(' · ');
  }

  matchesFilter(job) {
    return this.filterText === '' || [job.name, job.host, job.state, job.phase, job.handle].some((text) =>
      String(text ?? '').toLowerCase().includes(this.filterText));
  }

  // The table holds the rows in view and spacers for the rest, so that it
  // stays quick with thousands of jobs.
  renderRows() {
    if (this.rowOrderStale) {
      this.rowOrder = [...this.entries.values()].filter((entry) => this.matchesFilter(entry.job))
        .sort((a, b) => this.compareEntries(a, b));
      this.rowOrderStale = false;
    }
    const { rowOrder } = this;
    const wrap = $('jobs').parentElement;
    const height = this.rowHeight || 30;
    const first = Math.max(0, Math.floor(wrap.scrollTop / height) - spareRows);
    const last = Math.min(rowOrder.length, first + Math.ceil(wrap.clientHeight / height) + 2 * spareRows);
    const shown = rowOrder.slice(first, last);
    const body = $('jobs').tBodies[0];
    const below = (rowOrder.length - last) * height;
    const unchanged = body.rows.length === shown.length + 2 &&
      shown.every((entry, i) => body.rows[i + 1] === entry.row) &&
      spacerHeight(body.rows[0]) === `${first * height}px` && spacerHeight(body.lastChild) === `${below}px`;
    if (!unchanged) body.replaceChildren(spacer(first * height), ...shown.map((entry) => entry.row),
      spacer(below));
    for (const entry of shown) {
      if (entry.stale) this.fillRow(entry);
      entry.stale = false;
    }
    $('jobs').dataset.rows = rowOrder.length;
    if (!this.rowHeight && shown.length) this.rowHeight = shown[0].row.getBoundingClientRect().height;
  }

  async stop(id) {
    const entry = this.entries.get(id);
    if (!entry) return;
    const { job } = entry;
    const where = job.host ? ` on ${job.host}` : '';
    if (!confirm(`Stop job "${job.name}" (connection ${job.id})${where}?\n\nThe job is sent Kill and ends at its next check.`)) {
      return;
    }
    entry.localOutcome = 'sending…';
    this.markDirty(entry);
    try {
      if (!token) throw new Error('the page address has no access token');
      const answer = await fetchJson(`/api/jobs/${job.id}/stop`, { method: 'POST' });
      entry.localOutcome = answer.outcome || 'sent';
    } catch (error) {
      entry.localOutcome = `failed: ${error.message}`;
    }
    this.markDirty(entry);
  }
}
