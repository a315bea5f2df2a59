// The service's API, by addresses relative to the page so that it works under a proxy's
// sub-path. The anti-forgery token lives in this tab's session storage: the session cookie is
// out of the page's reach, and a reload must not cost a new login.
const TOKEN_KEY = 'sharefetch.csrf';

export class ApiError extends Error {
  constructor(status, word, message) {
    super(message || word || String(status));
    this.status = status;
    this.word = word || '';
  }
}

// How far the service's clock is ahead of this one, from its answers' Date: a prompt's
// deadline is told in the service's time.
let clockOffset = 0;

export function serviceNow() {
  return (Date.now() + clockOffset) / 1000;
}

export function token() {
  return sessionStorage.getItem(TOKEN_KEY) || '';
}

export function forgetToken() {
  sessionStorage.removeItem(TOKEN_KEY);
}

export async function call(method, path, body) {
  const init = { method, headers: {}, credentials: 'same-origin' };
  if (method !== 'GET' && method !== 'HEAD') init.headers['X-CSRF-Token'] = token();
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch('api/v1/' + path, init);
  } catch (e) {
    throw new ApiError(0, 'network', '无法连接到服务');
  }
  const told = Date.parse(response.headers.get('Date') || '');
  if (!Number.isNaN(told)) clockOffset = told - Date.now();
  const text = await response.text();
  let data = null;
  try {
    data = text ? JSON.parse(text) : null;
  } catch (e) {
    data = null;
  }
  if (!response.ok) {
    throw new ApiError(response.status, data && data.error, data && data.message);
  }
  return data;
}

export async function login(password) {
  const answer = await call('POST', 'login', { password });
  sessionStorage.setItem(TOKEN_KEY, answer.csrfToken);
  return answer;
}

export async function logout() {
  try {
    await call('POST', 'logout');
  } finally {
    forgetToken();
  }
}

export const session = () => call('GET', 'session');
export const shares = () => call('GET', 'shares');
export const share = (id) => call('GET', `shares/${id}`);
export const paste = (text) => call('POST', 'shares', { text });
export const removeShare = (id) => call('DELETE', `shares/${id}`);
export const answerPassword = (id, password) =>
  call('POST', `shares/${id}/password`, { password });
export const answerCaptcha = (id, answer) => call('POST', `shares/${id}/captcha`, { answer });
export const renewCaptcha = (id) => call('POST', `shares/${id}/captcha/refresh`);
export const captchaAddress = (id, round) => `api/v1/shares/${id}/captcha?n=${round}`;

export function tree(id, folder, offset, limit) {
  const query = new URLSearchParams({ folder, offset: String(offset), limit: String(limit) });
  return call('GET', `shares/${id}/tree?${query}`);
}

// Downloads: onto our engine or a downloader, into a sub-folder if asked.
export const startDownloads = (id, what) => call('POST', `shares/${id}/downloads`, what);

export function downloads(query, offset, limit) {
  const params = new URLSearchParams({ offset: String(offset), limit: String(limit) });
  for (const [name, value] of Object.entries(query)) if (value) params.set(name, value);
  return call('GET', `downloads?${params}`);
}

// `act` is pause, resume, retry or remove; `body` names the rows by ids or by a filter.
export const actOnDownloads = (act, body) => call('POST', `downloads/${act}`, body);
export const putSettings = (changes) => call('PUT', 'settings', changes);

export const downloaders = () => call('GET', 'downloaders');
export const addDownloader = (fields) => call('POST', 'downloaders', fields);
export const changeDownloader = (id, fields) => call('PUT', `downloaders/${id}`, fields);
export const removeDownloader = (id) => call('DELETE', `downloaders/${id}`);
export const testDownloader = (id) => call('POST', `downloaders/${id}/test`);

export function history(offset, limit) {
  const params = new URLSearchParams({ offset: String(offset), limit: String(limit) });
  return call('GET', `history?${params}`);
}
export const removeHistory = (id) => call('DELETE', `history/${id}`);
