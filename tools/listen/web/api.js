// The listener's API. Every request carries the access token, taken from the
// page's address.

export const token = new URLSearchParams(location.search).get('token') || '';

function withToken(options = {}) {
  return { ...options, headers: { ...options.headers, 'X-IPM-Token': token } };
}

export async function fetchJson(url, options) {
  const response = await fetch(url, withToken(options));
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.error || `${response.status} ${response.statusText}`);
  return body;
}
