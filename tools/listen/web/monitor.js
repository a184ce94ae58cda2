// The monitor page: the jobs table, one job's charts and messages, live
// through the listener's event stream. Every text a job sends is put into the
// page as text, never as markup.
'use strict';

(() => {
  const token = new URLSearchParams(location.search).get('token') || '';
  const pageSize = 5000;         // messages per history request (the listener's maximum)
  const shownMessages = 500;     // message rows kept in the table
  const redrawInterval = 250;    // milliseconds between chart redraws at most
  const $ = (id) => document.getElementById(id);

  // ---- formatting -------------------------------------------------------

  function element(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  // Integers as they are, reals short: 3.0303030303030305e-06 reads 3.03e-6.
  function formatNumber(value) {
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

  function formatTime(milliseconds) {
    if (!milliseconds) return '';
    const date = new Date(milliseconds);
    const clock = `${pad(date.getHours())}:${pad(date.getMinutes())}:${pad(date.getSeconds())}`;
    if (date.toDateString() === new Date().toDateString()) return clock;
    return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())} ${clock}`;
  }

  function messageKind(type) {
    if (/error|fatal/i.test(type)) return 'error';
    if (/warn/i.test(type)) return 'warning';
    return 'other';
  }

  function describeStop(outcome) {
    if (!outcome) return '';
    return outcome === 'sent' ? 'stop sent' : `stop ${outcome}`;
  }

  // What is wrong with a job, if anything, for its badge.
  function trouble(job) {
    if (job.errors > 0) return ['error', job.errors === 1 ? '1 error' : `${job.errors} errors`];
    if (job.state === 'unreachable') return ['error', 'unreachable'];
    if (job.state === 'gone') return ['warning', 'connection lost'];
    if (job.warnings > 0) return ['warning', job.warnings === 1 ? '1 warning' : `${job.warnings} warnings`];
    return null;
  }

  // Every request to the listener's API carries the access token.
  function withToken(options = {}) {
    return { ...options, headers: { ...options.headers, 'X-IPM-Token': token } };
  }

  async function fetchJson(url, options) {
    const response = await fetch(url, withToken(options));
    const body = await response.json().catch(() => ({}));
    if (!response.ok) throw new Error(body.error || `${response.status} ${response.statusText}`);
    return body;
  }

  // ---- the jobs table -----------------------------------------------------

  const jobs = new Map();        // id -> {job, row, cells, localOutcome}
  const dirtyJobs = new Set();
  let flushQueued = false;
  let view = null;

  const columns = ['name', 'host', 'handle', 'transport', 'state', 'phase', 'step', 'increment', 'time',
    'lastMessage', 'warnings', 'errors'];
  const numeric = new Set(['step', 'increment', 'time', 'warnings', 'errors']);

  function createRow(entry) {
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
    entry.cells.name.append(entry.nameText, entry.badge);
    entry.stateText = element('span', 'state');
    entry.outcomeText = element('span', 'outcome');
    entry.cells.state.append(entry.stateText, entry.outcomeText);
    entry.stopButton = element('button', 'stop small', 'Stop');
    entry.stopButton.type = 'button';
    entry.stopButton.addEventListener('click', (event) => {
      event.stopPropagation();
      stopJob(entry);
    });
    const actions = element('td', 'actions');
    actions.append(entry.stopButton);
    row.append(actions);
    row.addEventListener('click', () => selectJob(entry.job.id));
    entry.row = row;
  }

  function fillRow(entry) {
    const { job, cells } = entry;
    entry.nameText.textContent = job.name;
    cells.name.title = `${job.name} (connection ${job.id})`;
    for (const column of ['host', 'handle', 'transport', 'phase']) cells[column].textContent = job[column] ?? '';
    for (const column of ['step', 'increment', 'time', 'warnings', 'errors']) {
      cells[column].textContent = formatNumber(job[column]);
    }
    cells.time.title = job.time ?? '';
    cells.lastMessage.textContent = formatTime(job.lastMessage);
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
    entry.stopButton.disabled = job.state !== 'running';
    entry.row.classList.toggle('selected', view?.id === job.id);
    applyFilter(entry);
  }

  function applyJob(job) {
    let entry = jobs.get(job.id);
    if (!entry) {
      entry = { job };
      jobs.set(job.id, entry);
      createRow(entry);
    } else if ((job.messages ?? 0) < (entry.job.messages ?? 0)) {
      return;  // an older picture of the job than the one shown
    }
    entry.job = job;
    dirtyJobs.add(entry);
    queueFlush();
  }

  function queueFlush() {
    if (flushQueued) return;
    flushQueued = true;
    requestAnimationFrame(flushJobs);
  }

  // Rows change in one pass per frame, however many events came in between.
  function flushJobs() {
    flushQueued = false;
    const body = $('jobs').tBodies[0];
    const fresh = [];
    for (const entry of dirtyJobs) {
      fillRow(entry);
      if (!entry.row.parentNode) fresh.push(entry);
    }
    dirtyJobs.clear();
    if (fresh.length) {
      fresh.sort((a, b) => b.job.id - a.job.id);  // newest first
      const rows = document.createDocumentFragment();
      rows.append(...fresh.map((entry) => entry.row));
      if (body.firstChild && fresh[fresh.length - 1].job.id > Number(body.firstChild.dataset.jobId)) {
        body.prepend(rows);
      } else {
        body.append(rows);
      }
    }
    if (fresh.length || jobs.size === 0) $('jobs-empty').hidden = jobs.size > 0;
    updateSummary();
    if (view) view.showJob(jobs.get(view.id)?.job);
  }

  function updateSummary() {
    let running = 0;
    let troubled = 0;
    for (const { job } of jobs.values()) {
      if (job.state === 'running') running += 1;
      if (trouble(job)) troubled += 1;
    }
    const parts = [`${jobs.size} job${jobs.size === 1 ? '' : 's'}`, `${running} running`];
    if (troubled) parts.push(`${troubled} need${troubled === 1 ? 's' : ''} a look`);
    $('summary').textContent = parts.join(' · ');
  }

  let filterText = '';

  function applyFilter(entry) {
    const { job } = entry;
    entry.row.hidden = filterText !== '' &&
      ![job.name, job.host, job.state, job.phase, job.handle].some((text) =>
        String(text ?? '').toLowerCase().includes(filterText));
  }

  $('job-filter').addEventListener('input', (event) => {
    filterText = event.target.value.trim().toLowerCase();
    for (const entry of jobs.values()) applyFilter(entry);
  });

  async function stopJob(entry) {
    const { job } = entry;
    const where = job.host ? ` on ${job.host}` : '';
    if (!confirm(`Stop job "${job.name}" (connection ${job.id})${where}?\n\nThe job is sent Kill and ends at its next check.`)) {
      return;
    }
    entry.localOutcome = 'sending…';
    dirtyJobs.add(entry);
    queueFlush();
    try {
      if (!token) throw new Error('the page address has no access token');
      const answer = await fetchJson(`/api/jobs/${job.id}/stop`, { method: 'POST' });
      entry.localOutcome = answer.outcome || 'sent';
    } catch (error) {
      entry.localOutcome = `failed: ${error.message}`;
    }
    dirtyJobs.add(entry);
    queueFlush();
  }

  // ---- one job: charts and messages --------------------------------------

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

  // How many messages the type filter lets through.
  function countText(view) {
    const total = view.typeShown ? view.typeCounts.get(view.typeShown) || 0 : view.messages.length;
    const what = view.typeShown ? `${view.typeShown} message` : 'message';
    return total > shownMessages ? `newest ${shownMessages} of ${total} ${what}s shown` :
      `${total} ${what}${total === 1 ? '' : 's'}`;
  }

  // Who sent a message, not how it went: never charted, the name not repeated.
  const identityFields = new Set(['jobName', 'clientHost', 'handle']);
  const logScaleName = /resid|error|err$|norm|tol|delta/i;

  class ChartCard {
    constructor(field, container) {
      this.field = field;
      this.points = [];
      this.sorted = true;
      this.graph = null;
      this.card = element('figure', 'chart');
      this.card.dataset.field = field;
      const caption = element('figcaption');
      caption.append(element('span', 'chart-name', field));
      this.latest = element('span', 'chart-latest');
      const toggle = element('label', 'log-toggle');
      this.logBox = element('input');
      this.logBox.type = 'checkbox';
      this.logBox.checked = logScaleName.test(field);
      this.logBox.addEventListener('change', () => this.graph?.updateOptions({ logscale: this.logBox.checked }));
      toggle.append(this.logBox, document.createTextNode('log'));
      caption.append(this.latest, toggle);
      this.plot = element('div', 'plot');
      this.card.append(caption, this.plot);
      container.append(this.card);
    }

    add(x, y) {
      const last = this.points[this.points.length - 1];
      if (last && x < last[0]) this.sorted = false;
      this.points.push([x, y]);
    }

    draw(xLabel) {
      if (!this.points.length) return;
      if (!this.sorted) {
        this.points.sort((a, b) => a[0] - b[0]);
        this.sorted = true;
      }
      const lastY = this.points[this.points.length - 1][1];
      this.latest.textContent = lastY === null ? '' : formatNumber(lastY);
      this.card.dataset.points = this.points.length;
      if (this.graph) {
        this.graph.updateOptions({ file: this.points });
        return;
      }
      this.graph = new Dygraph(this.plot, this.points, chartOptions(this.field, xLabel, this.logBox.checked));
    }
  }

  function chartOptions(field, xLabel, logscale) {
    const style = getComputedStyle(document.body);
    const color = (name) => style.getPropertyValue(name).trim();
    const numberAxis = { valueFormatter: formatNumber, axisLabelFormatter: formatNumber };
    return {
      labels: [xLabel, field],
      logscale,
      colors: [color('--accent')],
      strokeWidth: 1.5,
      connectSeparatedPoints: true,
      gridLineColor: color('--grid'),
      axisLineColor: color('--line'),
      axisLabelFontSize: 11,
      axisLabelWidth: 60,
      labelsKMB: false,
      legend: 'follow',
      labelsSeparateLines: true,
      axes: {
        x: xLabel === 'time' ? { valueFormatter: formatTime } : numberAxis,
        y: numberAxis,
      },
    };
  }

  class JobView {
    constructor(id, name) {
      this.id = id;
      this.name = name;
      this.hidden = hiddenFields(name);
      this.typeCounts = new Map();
      this.messages = [];
      this.cursor = 0;
      this.loading = true;
      this.pending = [];
      this.types = new Set();
      this.fields = new Set();
      this.charts = new Map();
      this.xField = '';
      this.typeShown = '';
      this.newRows = [];
      this.drawTimer = null;
      this.lastDraw = 0;
      this.drawCost = 0;
      $('charts').replaceChildren();
      $('messages').tBodies[0].replaceChildren();
      $('type-filter').replaceChildren(new Option('all types', ''));
      $('x-axis').replaceChildren(new Option('message time', ''));
      $('chart-fields').replaceChildren();
      $('chart-note').textContent = 'loading history…';
      $('message-count').textContent = '';
      $('job-view').hidden = false;
    }

    showJob(job) {
      if (!job) return;
      $('job-title').textContent = job.name;
      $('job-state').textContent = job.state;
      $('job-state').dataset.state = job.state;
      const facts = [job.host, job.handle && `handle ${job.handle}`, job.transport, `connection ${job.id}`,
        job.phase && `phase ${job.phase}`, describeStop(job.stopOutcome || jobs.get(job.id)?.localOutcome)];
      $('job-meta').textContent = facts.filter(Boolean).join(' · ');
      $('job-stop').disabled = job.state !== 'running';
    }

    // History first, then whatever the stream brought meanwhile.
    async load() {
      this.loading = true;
      try {
        for (;;) {
          const page = await fetchJson(`/api/jobs/${this.id}/messages?after=${this.cursor}&limit=${pageSize}`);
          if (view !== this) return;
          for (const message of page.messages) this.add(message);
          if (page.messages.length < pageSize) break;
          this.scheduleRedraw();
        }
      } finally {
        this.loading = false;
        for (const message of this.pending.splice(0)) this.add(message);
        this.redraw();
      }
    }

    receive(message) {
      if (this.loading) {
        this.pending.push(message);
        return;
      }
      this.add(message);
      this.scheduleRedraw();
    }

    add(message) {
      if (message.id <= this.cursor) return;
      this.cursor = message.id;
      this.messages.push(message);
      this.typeCounts.set(message.type, (this.typeCounts.get(message.type) || 0) + 1);
      if (!this.types.has(message.type)) {
        this.types.add(message.type);
        $('type-filter').append(new Option(message.type, message.type));
      }
      this.plot(message);
      if (!this.typeShown || this.typeShown === message.type) this.newRows.push(message);
    }

    plot(message) {
      const x = this.xField ? message.fields[this.xField] : new Date(message.time);
      for (const [field, value] of Object.entries(message.fields)) {
        if (identityFields.has(field)) continue;
        if (typeof value !== 'number' && !['nan', 'inf', '-inf'].includes(value)) continue;
        this.noteField(field);
        if (field === this.xField || this.hidden.has(field) || !(typeof x === 'number' || x instanceof Date)) continue;
        this.chart(field).add(x, typeof value === 'number' ? value : null);
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
        chart = new ChartCard(field, $('charts'));
        this.charts.set(field, chart);
      }
      return chart;
    }

    setXField(field) {
      this.xField = field;
      this.charts.clear();
      $('charts').replaceChildren();
      for (const message of this.messages) this.plot(message);
      this.redraw();
    }

    scheduleRedraw() {
      if (this.drawTimer !== null) return;
      // A big chart draws less often, so that the page keeps answering.
      const interval = Math.max(redrawInterval, 4 * this.drawCost);
      const wait = Math.max(0, interval - (performance.now() - this.lastDraw));
      this.drawTimer = setTimeout(() => requestAnimationFrame(() => {
        this.drawTimer = null;
        this.redraw();
      }), wait);
    }

    redraw() {
      if (view !== this) return;
      const start = performance.now();
      for (const chart of this.charts.values()) chart.draw(this.xField || 'time');
      $('chart-note').textContent = this.charts.size || this.fields.size ? '' : 'no numeric fields yet';
      this.showNewRows();
      this.lastDraw = performance.now();
      this.drawCost = this.lastDraw - start;
    }

    showNewRows() {
      const body = $('messages').tBodies[0];
      const rows = document.createDocumentFragment();
      for (const message of this.newRows.slice(-shownMessages).reverse()) rows.append(messageRow(message));
      this.newRows = [];
      body.prepend(rows);
      while (body.rows.length > shownMessages) body.lastChild.remove();
      $('message-count').textContent = countText(this);
    }

    refilter() {
      const filter = $('type-filter').value;
      this.typeShown = filter;
      $('messages').tBodies[0].replaceChildren();
      this.newRows = this.messages.filter((message) => !filter || message.type === filter).slice(-shownMessages);
      this.showNewRows();
    }
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

  // Each view the user opens is a step of the browser's history, so that
  // Back and Forward go through them.
  function remember(id) {
    const address = id ? `${location.search}#job=${id}` : location.search;
    if (`${location.search}${location.hash}` !== address) history.pushState(null, '', address || location.pathname);
  }

  function selectJob(id, remembered = true) {
    if (view?.id === id) return;
    const previous = view && jobs.get(view.id);
    const entry = jobs.get(id);
    view = new JobView(id, entry?.job.name ?? '');
    if (previous) previous.row.classList.remove('selected');
    entry?.row.classList.add('selected');
    view.showJob(entry?.job);
    if (remembered) remember(id);
    view.load().catch((error) => { $('chart-note').textContent = `history failed: ${error.message}`; });
  }

  function closeView(remembered = true) {
    if (view) jobs.get(view.id)?.row.classList.remove('selected');
    view = null;
    $('job-view').hidden = true;
    if (remembered) remember(0);
  }

  const jobInAddress = () => Number((location.hash.match(/job=(\d+)/) || [])[1]);

  window.addEventListener('popstate', () => {
    const wanted = jobInAddress();
    if (jobs.has(wanted)) selectJob(wanted, false);
    else closeView(false);
  });

  $('job-close').addEventListener('click', () => closeView());
  $('job-stop').addEventListener('click', () => view && jobs.has(view.id) && stopJob(jobs.get(view.id)));
  $('x-axis').addEventListener('change', (event) => view?.setXField(event.target.value));
  $('type-filter').addEventListener('change', () => view?.refilter());

  // ---- the live stream --------------------------------------------------

  let syncing = 0;
  const held = [];

  function whenSynced(action) {
    if (syncing) held.push(action);
    else action();
  }

  // The table from the listener's list; the stream's events meanwhile wait.
  async function sync() {
    syncing += 1;
    try {
      const { jobs: list } = await fetchJson('/api/jobs');
      for (const job of list) applyJob(job);
      if (jobs.size === 0) queueFlush();
      const wanted = jobInAddress();
      if (!view && jobs.has(wanted)) selectJob(wanted, false);
    } catch (error) {
      $('summary').textContent = `cannot reach the listener: ${error.message}`;
    } finally {
      syncing -= 1;
      if (!syncing) held.splice(0).forEach((action) => action());
    }
  }

  function setConnection(state, text) {
    $('connection').dataset.state = state;
    $('connection').textContent = text;
  }

  // An event stream cannot carry a header: the token goes in its address.
  const events = new EventSource(`/api/events?token=${encodeURIComponent(token)}`);
  events.addEventListener('job', (event) => {
    const job = JSON.parse(event.data);
    whenSynced(() => applyJob(job));
  });
  events.addEventListener('message', (event) => {
    const { job, message } = JSON.parse(event.data);
    whenSynced(() => { if (view?.id === job) view.receive(message); });
  });
  // The list is read once the stream is open, so that nothing falls between
  // the two; again after a reconnection, for what happened in between. The
  // page shows the list anyway if the stream is slow to come.
  const withoutStream = setTimeout(sync, 2000);
  events.addEventListener('open', () => {
    clearTimeout(withoutStream);
    setConnection('live', 'live');
    sync();
    if (view && !view.loading) view.load().catch(() => {});
  });
  events.addEventListener('error', () => setConnection('lost', 'reconnecting…'));
})();
