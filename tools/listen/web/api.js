// The listener's API. Every request carries the access token, taken from the
// page's address.

export const { token } = window.ipmPage;

function withToken(options = {}) {
  return { ...options, headers: { ...options.headers, 'X-IPM-Token': token } };
}

// Whether the page asked for this before its modules loaded (early.js) and
// its answer is still to be taken.
export const askedEarly = (url) => window.ipmPage.answers.has(url);

function earlyAnswer(url) {
  const answer = window.ipmPage.answers.get(url);
  window.ipmPage.answers.delete(url);
  return answer;
}

export async function fetchJson(url, options) {
  const response = await ((!options && earlyAnswer(url)) || fetch(url, withToken(options)));
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.error || `${response.status} ${response.statusText}`);
  return body;
}
