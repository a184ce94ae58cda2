// The listener's event stream, with the jobs' list read whenever the stream
// (re)opens; the stream's events wait while the list is read.

import { $ } from './format.js';
import { fetchJson, token } from './api.js';

function setConnection(state, text) {
  $('connection').dataset.state = state;
  $('connection').textContent = text;
}

export class LiveStream {
  // `onList(jobs)` with the listener's list, `onJob(job)`,
  // `onMessage(jobId, message)`, `onRequests(jobId, requests)` and
  // `onAlert(alert)` for the stream's events, `onAlerts(alerts)` with the
  // listener's latest alerts, `onOpen()` when the stream (re)opens.
  constructor({ onList, onJob, onMessage, onRequests, onOpen, onAlerts, onAlert }) {
    this.onList = onList;
    this.onAlerts = onAlerts;
    this.syncing = 0;
    this.held = [];
    // An event stream cannot carry a header: the token goes in its address.
    const events = new EventSource(`/api/events?token=${encodeURIComponent(token)}`);
    events.addEventListener('job', (event) => {
      const job = JSON.parse(event.data);
      this.whenSynced(() => onJob(job));
    });
    events.addEventListener('alert', (event) => {
      const alert = JSON.parse(event.data);
      this.whenSynced(() => onAlert(alert));
    });
    events.addEventListener('requests', (event) => {
      const requests = JSON.parse(event.data);
      this.whenSynced(() => onRequests(requests.job, requests));
    });
    events.addEventListener('message', (event) => {
      const { job, message } = JSON.parse(event.data);
      this.whenSynced(() => onMessage(job, message));
    });
    // The list is read once the stream is open, so that nothing falls between
    // the two; again after a reconnection, for what happened in between. The
    // page shows the list anyway if the stream is slow to come.
    const withoutStream = setTimeout(() => this.sync(), 2000);
    events.addEventListener('open', () => {
      clearTimeout(withoutStream);
      setConnection('live', 'live');
      this.sync();
      onOpen();
    });
    events.addEventListener('error', () => setConnection('lost', 'reconnecting…'));
    // Sent by a listener that ends: there is nothing left to reconnect to.
    events.addEventListener('end', () => {
      events.close();
      setConnection('lost', 'the listener has ended');
    });
  }

  whenSynced(action) {
    if (this.syncing) this.held.push(action);
    else action();
  }

  async sync() {
    this.syncing += 1;
    try {
      const [{ jobs }, { alerts }] = await Promise.all([fetchJson('/api/jobs'), fetchJson('/api/alerts')]);
      this.onList(jobs);
      this.onAlerts(alerts);
    } catch (error) {
      $('summary').textContent = `cannot reach the listener: ${error.message}`;
    } finally {
      this.syncing -= 1;
      if (!this.syncing) this.held.splice(0).forEach((action) => action());
    }
  }
}
