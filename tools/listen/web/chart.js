// One numeric field's chart in a job's view.

import { element, formatNumber, formatTime } from './format.js';

// The chart library loads beside the page's modules, not before them.
const libraryScript = document.getElementById('chart-library');
export const chartLibrary = window.Dygraph ? Promise.resolve() : new Promise((resolve, reject) => {
  libraryScript.addEventListener('load', resolve);
  libraryScript.addEventListener('error', () => reject(new Error('the chart library did not load')));
});

const logScaleName = /resid|error|err$|norm|tol|delta/i;

const dateLabel = (x, granularity, options) => Dygraph.dateAxisLabelFormatter(new Date(x), granularity, options);

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
      // Times stay numbers (milliseconds), which the chart handles faster than dates.
      x: xLabel === 'time' ? { valueFormatter: formatTime, ticker: Dygraph.dateTicker, axisLabelFormatter: dateLabel }
        : numberAxis,
      y: numberAxis,
    },
  };
}

export class ChartCard {
  // `onZoom(chart, from, to)` when the user zooms into a range.
  constructor(field, container, onZoom) {
    this.field = field;
    this.onZoom = onZoom;
    this.points = [];
    this.range = null;           // [from, to] while zoomed in
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

  // The listener's points (at most about 1,000, extremes kept) for the
  // whole series or, zoomed, for the range shown.
  setPoints(points) {
    this.points = points.map(([x, y]) => [x, typeof y === 'number' ? y : null]);
    this.sorted = false;
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
    const options = chartOptions(this.field, xLabel, this.logBox.checked);
    options.zoomCallback = (from, to) => this.onZoom(this, from, to);
    this.graph = new Dygraph(this.plot, this.points, options);
  }
}
