// Runs before the page's modules load: what they share of the page's
// address, and the charts of the job it names, asked for now, so that the
// largest answer a job's view waits for comes while the scripts load. The
// view takes that answer if it asks for the same.

window.ipmPage = (() => {
  const token = new URLSearchParams(location.search).get('token') || '';
  const jobInAddress = () => Number((location.hash.match(/job=(\d+)/) || [])[1]);
  const answers = new Map();
  const job = jobInAddress();
  if (job) {
    const url = `/api/jobs/${job}/charts`;
    answers.set(url, fetch(url, { headers: { 'X-IPM-Token': token } }));
  }
  return { token, jobInAddress, answers };
})();
