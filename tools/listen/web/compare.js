// Several jobs' numeric field on one chart, against the time since each job
// started or against another field, from the listener's downsampled series.

import { $, element, formatNumber } from './format.js';
import { fetchJson } from './api.js';
import { chartLibrary } from './chart.js';

const pickable = 300;          // jobs listed to choose from, newest first

export class CompareView {
  constructor(table) {
    this.table = table;
    this.graph = null;
    $('compare-open').addEventListener('click', () => this.open());
    $('compare-close').addEventListener('click', () => { $('compare-view').hidden = true; });
    $('compare-draw').addEventListener('click', () => this.draw().catch((error) => {
      $('compare-note').textContent = `cannot compare: ${error.message}`;
    }));
    $('compare-jobs').addEventListener('change', () => this.offerFields());
  }

  open() {
    const jobs = [...this.table.entries.values()].map((entry) => entry.job)
      .sort((a, b) => b.id - a.id).slice(0, pickable);
    $('compare-jobs').replaceChildren(...jobs.map((job) => {
      const label = element('label', 'pick');
      const box = element('input');
      box.type = 'checkbox';
      box.value = job.id;
      label.append(box, document.createTextNode(` ${job.name} #${job.id}`));
      return label;
    }));
    $('compare-view').hidden = false;
    $('compare-note').textContent = 'Choose two or more jobs and a field.';
  }

  chosen() {
    return [...$('compare-jobs').querySelectorAll('input:checked')].map((box) => Number(box.value));
  }

  // The numeric fields of the chosen jobs' latest messages.
  async offerFields() {
    const names = new Set();
    for (const id of this.chosen()) {
      const { messages } = await fetchJson(`/api/jobs/${id}/messages?before=${Number.MAX_SAFE_INTEGER}&limit=50`);
      for (const message of messages) {
        for (const [name, value] of Object.entries(message.fields)) if (typeof value === 'number') names.add(name);
      }
    }
    for (const select of [$('compare-field'), $('compare-x')]) {
      const keep = select.value;
      const fixed = select.id === 'compare-x' ? [['', 'time since start']] : [];
      select.replaceChildren(...[...fixed, ...[...names].sort().map((name) => [name, name])].map(([value, text]) => {
        const option = element('option', '', text);
        option.value = value;
        return option;
      }));
      if ([...select.options].some((option) => option.value === keep)) select.value = keep;
    }
  }

  async draw() {
    const ids = this.chosen();
    const field = $('compare-field').value;
    const x = $('compare-x').value;
    if (ids.length < 2 || !field) throw new Error('choose two or more jobs and a field');
    const [, ...answers] = await Promise.all([chartLibrary, ...ids.map((id) => fetchJson(
      `/api/jobs/${id}/series?field=${encodeURIComponent(field)}&x=${encodeURIComponent(x || 'time')}`))]);
    // One row per x, a column per job; the jobs' x values seldom meet, so
    // each line is drawn across the others' gaps.
    const rows = [];
    answers.forEach(({ points }, column) => {
      const start = this.table.job(ids[column])?.started ?? 0;
      for (const [px, py] of points) {
        const row = new Array(ids.length + 1).fill(null);
        row[0] = x ? px : (px - start) / 1000;
        row[column + 1] = py;
        rows.push(row);
      }
    });
    rows.sort((a, b) => a[0] - b[0]);
    const labels = [x || 'seconds since start', ...ids.map((id) => `${this.table.job(id)?.name ?? ''} #${id}`)];
    $('compare-note').textContent = `${field} of ${ids.length} jobs, ${rows.length} points`;
    $('compare-chart').dataset.series = ids.length;
    this.graph?.destroy();
    this.graph = new Dygraph($('compare-chart'), rows.length ? rows : [[0, ...ids.map(() => null)]], {
      labels, connectSeparatedPoints: true, legend: 'always', labelsSeparateLines: true, strokeWidth: 1.5,
      axes: { x: { valueFormatter: formatNumber }, y: { valueFormatter: formatNumber, axisLabelFormatter: formatNumber } },
    });
  }
}
