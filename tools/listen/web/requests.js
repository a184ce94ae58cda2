// A job's requests beside Stop: a button for each request the job offers,
// an optional value, and each request's state as the job answers it.

import { $, element, formatTime } from './format.js';
import { fetchJson, token } from './api.js';

export class RequestPanel {
  constructor() {
    // By job id: {offered, requests, answerTime} as the listener last told.
    this.known = new Map();
    this.job = null;
    // A request still "requested" past the answer time turns "no answer"
    // without a word from the listener.
    setInterval(() => this.job && this.render(), 1000);
  }

  // From the jobs' list or a "requests" event.
  take(id, { offered, requests, answerTime }) {
    if (!offered) return;
    this.known.set(id, { offered, requests, answerTime });
    if (this.job?.id === id) this.render();
  }

  show(job) {
    this.job = job;
    this.render();
  }

  render() {
    const panel = $('job-requests');
    const data = this.job && this.known.get(this.job.id);
    panel.hidden = !data || (data.offered.length === 0 && data.requests.length === 0);
    if (panel.hidden) return;
    const running = this.job.state === 'running';
    // Redrawn only when something shown changed, so that a button is not
    // replaced under the pointer.
    const late = data.requests.map((sent) => Date.now() - sent.requested > data.answerTime * 1000);
    const shown = JSON.stringify([this.job.id, running, data, late]);
    if (shown === this.shown) return;
    this.shown = shown;
    const buttons = data.offered.map(({ name, label }) => {
      const button = element('button', 'request small', label || name);
      button.type = 'button';
      button.dataset.request = name;
      button.title = `Send the job the request "${name}"`;
      button.disabled = !running;
      button.addEventListener('click', () => this.send(this.job.id, name));
      return button;
    });
    const value = $('request-value') || element('input');
    value.id = 'request-value';
    value.placeholder = 'value (optional)';
    value.maxLength = 256;
    value.disabled = !running;
    const note = element('span', 'meta',
      `A request without an answer after ${data.answerTime} s shows "no answer".`);
    const list = element('ul', 'request-list');
    for (const sent of data.requests.slice(-5).reverse()) list.append(this.describe(sent, data.answerTime));
    panel.replaceChildren(...buttons, value, note, list);
  }

  describe(sent, answerTime) {
    const late = sent.state === 'requested' && Date.now() - sent.requested > answerTime * 1000;
    const state = late ? 'no answer' : sent.state;
    const item = element('li', '', `${formatTime(sent.requested)} ${sent.name}${sent.value ? ` "${sent.value}"` : ''}: `);
    const stateText = element('span', 'request-state', state);
    stateText.dataset.state = state;
    item.append(stateText);
    if (sent.text) item.append(` — ${sent.text}`);
    return item;
  }

  async send(id, name) {
    const note = element('span', 'meta');
    try {
      if (!token) throw new Error('the page address has no access token');
      const value = $('request-value').value;
      await fetchJson(`/api/jobs/${id}/requests`, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify(value ? { name, value } : { name }),
      });
      $('request-value').value = '';
    } catch (error) {
      note.textContent = `request failed: ${error.message}`;
      $('job-requests').append(note);
    }
  }
}
