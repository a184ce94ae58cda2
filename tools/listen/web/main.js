// The monitor page: the jobs table, one job's charts and messages, live
// through the listener's event stream. Every text a job sends is put into the
// page as text, never as markup.

import { $ } from './format.js';
import { JobsTable } from './jobs.js';
import { JobView } from './job.js';
import { LiveStream } from './events.js';
import { AlertList } from './alerts.js';
import { CompareView } from './compare.js';
import { askedEarly, fetchJson, token } from './api.js';
import { RequestPanel } from './requests.js';

let view = null;
const requests = new RequestPanel();

const table = new JobsTable({
  onSelect: (id) => selectJob(id),
  onChange: () => {
    view?.showJob(table.job(view.id));
    requests.show(view && table.job(view.id));
  },
});

// Each view the user opens is a step of the browser's history, so that
// Back and Forward go through them.
function remember(id) {
  const address = id ? `${location.search}#job=${id}` : location.search;
  if (`${location.search}${location.hash}` !== address) history.pushState(null, '', address || location.pathname);
}

const alerts = new AlertList((id) => table.has(id) && selectJob(id));
new CompareView(table);

function offerDownloads(id) {
  for (const format of ['csv', 'json']) {
    const link = $(`job-${format}`);
    link.href = `/api/jobs/${id}/export?format=${format}&token=${encodeURIComponent(token)}`;
    link.download = `job-${id}.${format}`;
  }
}

function selectJob(id, remembered = true) {
  if (view?.id === id) return;
  view?.close();
  view = new JobView(id, table.job(id), table);
  table.select(id);
  offerDownloads(id);
  view.showJob(table.job(id));
  requests.show(table.job(id));
  if (remembered) remember(id);
  view.load().catch((error) => { $('chart-note').textContent = `history failed: ${error.message}`; });
}

function closeView(remembered = true) {
  view?.close();
  view = null;
  table.select(null);
  $('job-view').hidden = true;
  if (remembered) remember(0);
}

const { jobInAddress } = window.ipmPage;

window.addEventListener('popstate', () => {
  const wanted = jobInAddress();
  if (table.has(wanted)) selectJob(wanted, false);
  else closeView(false);
});

$('job-close').addEventListener('click', () => closeView());
$('job-stop').addEventListener('click', () => view && table.stop(view.id));
$('x-axis').addEventListener('change', (event) => view?.setXField(event.target.value));
$('type-filter').addEventListener('change', () => view?.refilter().catch(() => {}));
$('older-messages').addEventListener('click', () => view?.showOlder().catch(() => {}));

function showList(jobs) {
  for (const job of jobs) {
    table.apply(job);
    requests.take(job.id, job);
  }
  if (table.size === 0) table.queueFlush();
  const wanted = jobInAddress();
  if (!view && table.has(wanted)) selectJob(wanted, false);
}

// The list asked for before the modules loaded opens the job in the address
// without waiting for the event stream; the list read once the stream is
// open follows, and holds.
let listed = false;
if (askedEarly('/api/jobs')) fetchJson('/api/jobs').then(({ jobs }) => listed || showList(jobs), () => {});

new LiveStream({
  onList(jobs) {
    listed = true;
    showList(jobs);
  },
  onJob: (job) => table.apply(job),
  onAlerts: (list) => alerts.reset(list),
  onAlert: (alert) => alerts.add(alert),
  onRequests: (id, offers) => requests.take(id, offers),
  onMessage(id, message) {
    if (view?.id === id) view.receive(message);
  },
  onOpen() {
    if (view && !view.loading) view.load().catch(() => {});
  },
});
