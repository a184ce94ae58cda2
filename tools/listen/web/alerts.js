// The alerts the listener raised, newest first; a click opens the job.

import { $, element, formatTime } from './format.js';

const shown = 200;

export class AlertList {
  // `onSelect(jobId)` when an alert is clicked.
  constructor(onSelect) {
    this.onSelect = onSelect;
    this.alerts = [];
  }

  reset(alerts) {
    this.alerts = alerts.slice(0, shown);
    this.render();
  }

  add(alert) {
    if (this.alerts.some((known) => known.id === alert.id)) return;
    this.alerts.unshift(alert);
    this.alerts.length = Math.min(this.alerts.length, shown);
    this.render();
  }

  render() {
    $('alerts-panel').hidden = this.alerts.length === 0;
    $('alerts-count').textContent = `${this.alerts.length}`;
    $('alerts').replaceChildren(...this.alerts.map((alert) => {
      const item = element('li', 'alert');
      item.dataset.job = alert.job;
      const where = alert.host ? ` on ${alert.host}` : '';
      item.append(element('time', 'meta', formatTime(alert.time)), element('strong', '', alert.rule),
        element('span', '', ` ${alert.name} (#${alert.job})${where}`),
        element('span', 'meta', alert.detail && alert.detail !== alert.rule ? ` ${alert.detail}` : ''));
      item.addEventListener('click', () => this.onSelect(alert.job));
      return item;
    }));
  }
}
