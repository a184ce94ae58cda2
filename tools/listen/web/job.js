// One job's view: a chart per numeric field and its messages, from the
// history first, then live.

import { $, cameLive, describeStop, element, formatNumber, formatTime, isLive, messageKind } from './format.js';
import { askedEarly, fetchJson } from './api.js';
import { ChartCard, chartLibrary } from './chart.js';

const firstPageSize = 100;     // the rows a job's view opens with, quickly drawn
const pageSize = 500;          // messages per request for older ones
const shownMessages = 500;     // live message rows kept at the top of the table
const newest = Number.MAX_SAFE_INTEGER;  // a cursor above every message id
const redrawInterval = 250;    // milliseconds between chart redraws at most

// Who sent a message, not how it went: never charted, the name not repeated.
const identityFields = new Set(['jobName', 'clientHost', 'handle']);
// How the listener writes a float that is not finite.
const nonFinite = new Set(['nan', 'inf', '-inf']);

// The fields the user chose not to chart, per job name, kept by the browser.
const hiddenKey = (name) => `ipm-monitor.hidden-fields.${name}`;

function hiddenFields(name) {
  try {
    return new Set(JSON.parse(localStorage.getItem(hiddenKey(name))) || []);
  } catch {
    return new Set();
  }
}

function setFieldHidden(name, field, hidden) {
  const fields = hiddenFields(name);
  if (hidden) fields.add(field);
  else fields.delete(field);
  try {
    localStorage.setItem(hiddenKey(name), JSON.stringify([...fields]));
  } catch {
    // Storage refused (private mode, full): the choice holds for this view.
  }
}

function fieldToggle(view, field) {
  const box = element('input');
  box.type = 'checkbox';
  box.checked = !view.hidden.has(field);
  box.dataset.field = field;
  box.addEventListener('change', () => {
    if (box.checked) view.hidden.delete(field);
    else view.hidden.add(field);
    setFieldHidden(view.name, field, !box.checked);
    view.setXField(view.xField);
  });
  const label = element('label');
  label.append(box, document.createTextNode(field));
  return label;
}

function messageRow(message) {
  const row = element('tr', `kind-${messageKind(message.type)}`);
  row.append(element('td', 'when', formatTime(message.time)));
  const type = element('td');
  type.append(element('span', 'type', message.type));
  const fields = element('td', 'fields');
  for (const [name, value] of Object.entries(message.fields)) {
    if (name === 'jobName') continue;
    const field = element('span', 'field');
    const shown = element('span', typeof value === 'number' ? 'value number' : 'value', formatNumber(value));
    if (typeof value === 'number') shown.title = String(value);
    field.append(element('span', 'key', name), shown);
    fields.append(field);
  }
  row.append(type, fields);
  return row;
}

export class JobView {
  // A log carries no times: an imported job is charted against the message number.
  // `table` is the jobs table, for what it knows of the job.
  constructor(id, job, table) {
    const name = job?.name ?? '';
    this.id = id;
    this.name = name;
    this.table = table;
    this.active = true;
    this.hidden = hiddenFields(name);
    this.typeCounts = new Map();
    this.countedThrough = 0;       // the newest message the listener's type counts hold
    this.messages = [];
    this.cursor = 0;
    this.loading = true;
    this.pending = [];
    this.types = new Set();
    this.fields = new Set();
    this.charts = new Map();
    this.xField = job && !cameLive(job) ? '#' : '';
    this.seriesStale = false;
    this.seriesLoading = false;
    this.seriesCost = 0;
    this.chartsShown = 0;          // counts the times the charts were set up
    this.typeShown = '';
    this.newRows = [];
    this.drawTimer = null;
    this.lastDraw = 0;
    this.drawCost = 0;
    $('charts').replaceChildren();
    $('messages').tBodies[0].replaceChildren();
    $('type-filter').replaceChildren(new Option('all types', ''));
    $('x-axis').replaceChildren(new Option('message time', ''), new Option('message number', '#'));
    $('x-axis').value = this.xField;
    $('chart-fields').replaceChildren();
    $('chart-note').textContent = 'loading history…';
    $('message-count').textContent = '';
    $('job-view').hidden = false;
  }

  // Another view replaced this one: what it still awaits is dropped.
  close() {
    this.active = false;
  }

  showJob(job) {
    if (!job) return;
    $('job-title').textContent = job.name;
    $('job-state').textContent = job.state;
    $('job-state').dataset.state = job.state;
    const facts = [job.host, job.handle && `handle ${job.handle}`, job.transport, `connection ${job.id}`,
      job.phase && `phase ${job.phase}`, describeStop(job.stopOutcome || this.table.entry(job.id)?.localOutcome)];
    $('job-meta').textContent = facts.filter(Boolean).join(' · ');
    $('job-stop').disabled = !isLive(job);
  }

  // The newest page of messages and every numeric field's series, asked
  // for at once, then whatever the stream brought meanwhile. The charts are
  // drawn before the rows are shown.
  async load() {
    this.loading = true;
    // What was asked for before the modules loaded may lack a live job's latest messages.
    const job = this.table.job(this.id);
    const early = askedEarly(this.chartsUrl()) && job && isLive(job);
    try {
      const [page, types] = await Promise.all([this.fetchPage(newest, firstPageSize),
        fetchJson(`/api/jobs/${this.id}/types`), this.loadSeries(), chartLibrary]);
      if (!this.active) return;
      this.countTypes(types);
      for (const message of page.messages.reverse()) this.add(message);
    } finally {
      this.loading = false;
      for (const message of this.pending.splice(0)) this.add(message);
      this.redraw();
      document.body.dataset.jobShown = performance.now();
      if (early) {
        this.seriesStale = true;
        this.scheduleRedraw();
        this.refilter().catch(() => {});
      }
    }
  }

  fetchPage(before, limit) {
    const type = this.typeShown ? `&type=${encodeURIComponent(this.typeShown)}` : '';
    return fetchJson(`/api/jobs/${this.id}/messages?before=${before}&limit=${limit}${type}`).then((page) => {
      this.oldest = page.messages.length < limit ? 0 : page.next;
      $('older-messages').hidden = !this.oldest;
      return page;
    });
  }

  seriesUrl(field, range) {
    const x = this.xField ? `&x=${encodeURIComponent(this.xField)}` : '';
    const bounds = range ? `&from=${Number(range[0])}&to=${Number(range[1])}` : '';
    return `/api/jobs/${this.id}/series?field=${encodeURIComponent(field)}${x}${bounds}`;
  }

  chartsUrl() {
    const x = this.xField ? `?x=${encodeURIComponent(this.xField)}` : '';
    return `/api/jobs/${this.id}/charts${x}`;
  }

  // Every chart from the listener's series: the whole job's in one answer,
  // a zoomed chart's range on its own.
  async loadSeries() {
    const charts = this.chartsShown;
    const zoomed = [...this.charts.values()].filter((chart) => chart.range);
    const [whole, ...ranges] = await Promise.all([fetchJson(this.chartsUrl()),
      ...zoomed.map((chart) => fetchJson(this.seriesUrl(chart.field, chart.range)))]);
    // The charts were set up again meanwhile (another axis, a field hidden).
    if (!this.active || charts !== this.chartsShown) return;
    for (const [field, points] of Object.entries(whole.series)) {
      if (identityFields.has(field)) continue;
      this.noteField(field);
      if (!this.hidden.has(field) && !this.charts.get(field)?.range) this.chart(field).setPoints(points);
    }
    zoomed.forEach((chart, i) => chart.setPoints(ranges[i].points));
  }

  // Zoomed in, the chart shows the finer points of its range; zoomed out
  // (a double click), the whole job again.
  async zoom(chart, from, to) {
    const zoomed = chart.graph.isZoomed('x');
    chart.range = zoomed ? [from, to] : null;
    const answer = await fetchJson(this.seriesUrl(chart.field, chart.range)).catch(() => null);
    if (!answer || !this.active) return;
    chart.setPoints(answer.points);
    chart.draw(this.xLabel());
    if (zoomed) chart.graph.updateOptions({ dateWindow: [from, to] });
  }

  // The next older page below the rows shown.
  async showOlder() {
    if (!this.oldest) return;
    const page = await this.fetchPage(this.oldest, pageSize);
    if (!this.active) return;
    const rows = document.createDocumentFragment();
    for (const message of page.messages) rows.append(messageRow(message));
    $('messages').tBodies[0].append(rows);
  }

  receive(message) {
    if (this.loading) {
      this.pending.push(message);
      return;
    }
    this.add(message);
    this.scheduleRedraw();
  }

  // Every type the job has sent is offered, however long ago, with its count.
  countTypes(answer) {
    this.countedThrough = answer.through;
    for (const [type, count] of Object.entries(answer.types)) {
      this.typeCounts.set(type, count);
      this.offerType(type);
    }
  }

  offerType(type) {
    if (this.types.has(type)) return;
    this.types.add(type);
    $('type-filter').append(new Option(type, type));
  }

  add(message) {
    if (message.id <= this.cursor) return;
    this.cursor = message.id;
    this.messages.push(message);
    if (message.id > this.countedThrough) {
      this.typeCounts.set(message.type, (this.typeCounts.get(message.type) || 0) + 1);
    }
    this.offerType(message.type);
    if (this.messages.length > shownMessages) this.messages.shift();
    this.noteFields(message);
    if (!this.loading) this.seriesStale = true;
    if (!this.typeShown || this.typeShown === message.type) this.newRows.push(message);
  }

  xLabel() {
    return this.xField === '#' ? 'message number' : this.xField || 'time';
  }

  noteFields(message) {
    for (const [field, value] of Object.entries(message.fields)) {
      if (!identityFields.has(field) && (typeof value === 'number' || nonFinite.has(value))) this.noteField(field);
    }
  }

  noteField(field) {
    if (this.fields.has(field)) return;
    this.fields.add(field);
    $('x-axis').append(new Option(field, field));
    $('chart-fields').append(fieldToggle(this, field));
  }

  chart(field) {
    let chart = this.charts.get(field);
    if (!chart) {
      chart = new ChartCard(field, $('charts'), (card, from, to) => this.zoom(card, from, to));
      this.charts.set(field, chart);
    }
    return chart;
  }

  setXField(field) {
    this.xField = field;
    this.chartsShown += 1;
    this.charts.clear();
    $('charts').replaceChildren();
    this.loadSeries().then(() => this.redraw(), (error) => { $('chart-note').textContent = error.message; });
  }

  scheduleRedraw() {
    if (this.drawTimer !== null) return;
    // A big chart draws and is fetched less often, so that the page and the
    // listener keep answering.
    const interval = Math.max(redrawInterval, 4 * this.drawCost, 2 * this.seriesCost);
    const wait = Math.max(0, interval - (performance.now() - this.lastDraw));
    this.drawTimer = setTimeout(() => requestAnimationFrame(() => {
      this.drawTimer = null;
      this.redraw();
    }), wait);
  }

  redraw() {
    if (!this.active) return;
    if (this.seriesStale && !this.seriesLoading) this.refreshSeries();
    const start = performance.now();
    for (const chart of this.charts.values()) chart.draw(this.xLabel());
    $('chart-note').textContent = this.charts.size || this.fields.size ? '' : 'no numeric fields yet';
    this.showNewRows();
    this.lastDraw = performance.now();
    this.drawCost = this.lastDraw - start;
  }

  // New messages are charted from the listener's series, one read at a time.
  refreshSeries() {
    this.seriesStale = false;
    this.seriesLoading = true;
    const start = performance.now();
    this.loadSeries().catch(() => {}).finally(() => {
      this.seriesLoading = false;
      this.seriesCost = performance.now() - start;
      this.scheduleRedraw();
    });
  }

  showNewRows() {
    const body = $('messages').tBodies[0];
    const rows = document.createDocumentFragment();
    for (const message of this.newRows.slice(-shownMessages).reverse()) rows.append(messageRow(message));
    this.newRows = [];
    body.prepend(rows);
    while (body.rows.length > shownMessages) body.lastChild.remove();
    $('message-count').textContent = this.countText();
  }

  // How many messages the type filter lets through.
  countText() {
    const total = this.typeShown ? this.typeCounts.get(this.typeShown) || 0 :
      this.table.job(this.id)?.messages ?? this.messages.length;
    const what = this.typeShown ? `${this.typeShown} message` : 'message';
    const shown = $('messages').tBodies[0].rows.length;
    return total > shown ? `newest ${shown} of ${total} ${what}s shown` :
      `${total} ${what}${total === 1 ? '' : 's'}`;
  }

  async refilter() {
    this.typeShown = $('type-filter').value;
    const page = await this.fetchPage(newest, firstPageSize);
    if (!this.active) return;
    $('messages').tBodies[0].replaceChildren();
    this.newRows = page.messages.reverse();
    this.showNewRows();
  }
}
