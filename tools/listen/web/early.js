// Runs before the page's modules load: what they share of the page's
// address, and what a view of the job it names needs first (the jobs' list,
// the job's charts and newest messages, as job.js asks), asked for now, so
// that the answers come while the scripts load. A module takes an answer if
// it asks for the same.

window.ipmPage = (() => {
  const token = new URLSearchParams(location.search).get('token') || '';
  const jobInAddress = () => Number((location.hash.match(/job=(\d+)/) || [])[1]);
  const answers = new Map();
  const job = jobInAddress();
  if (job) {
    for (const url of ['/api/jobs', `/api/jobs/${job}/charts`,
      `/api/jobs/${job}/messages?before=${Number.MAX_SAFE_INTEGER}&limit=100`]) {
      const answer = fetch(url, { headers: { 'X-IPM-Token': token } });
      // A failure is for the module that takes the answer to report, if one does.
      answer.catch(() => {});
      answers.set(url, answer);
    }
  }
  return { token, jobInAddress, answers };
})();
