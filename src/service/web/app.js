// The page: log in, paste shares, follow them through the event stream, answer their prompts
// and look through their files.
import * as api from './api.js';
import { Prompts } from './prompts.js';
import { Tree } from './tree.js';

const STATES = {
  queued: '排队等待解析',
  resolving: '正在解析',
  password: '请输入提取密码',
  captcha: '请输入验证码',
  resolved: '解析完成',
  incomplete: '解析完成，有文件夹未能列出',
  failed: '解析失败',
};
const WORDS = {
  'no-link': '没有识别到分享链接',
  network: '无法连接到服务',
  banned: '登录失败次数过多，请稍后再试',
  'too-large': '粘贴的文字太长',
};

const $ = (id) => document.getElementById(id);
const shares = new Map();  // id -> the share as last told
let selected = 0;
let stream = null;
let lastEventId = '';
let retry = 0;
const tickets = new Map();  // share id -> the number of its latest fetch

const prompts = new Prompts(failed);
const tree = new Tree((e) => failed(e, (text) => ($('detail-message').textContent = text)));

// Every refusal goes through here: a lost login brings the login form back, anything else is
// told where it happened.
function failed(error, say) {
  if (error.status === 401 || error.word === 'csrf') {
    showLogin(error.word === 'csrf' || api.token() ? '登录已过期，请重新登录' : '');
    return;
  }
  const text = WORDS[error.word] || error.message || '出错了';
  if (say) say(text);
}

function showLogin(why) {
  api.forgetToken();
  if (stream) stream.close();
  stream = null;
  clearTimeout(retry);
  $('link-state').hidden = true;
  $('app').hidden = true;
  $('logout').hidden = true;
  $('login').hidden = false;
  $('login-error').textContent = why || '';
  $('login-password').focus();
}

async function showApp() {
  $('login').hidden = true;
  $('app').hidden = false;
  $('logout').hidden = false;
  $('paste-text').focus();
  connect();
  await reload();
}

// The whole view again: at start and when the stream says events were missed.
async function reload() {
  let list;
  try {
    list = await api.shares();
  } catch (e) {
    return failed(e, (text) => ($('paste-error').textContent = text));
  }
  shares.clear();
  for (const share of list.shares) shares.set(share.id, share);
  if (!shares.has(selected)) selected = 0;
  renderList();
  if (selected) await refresh(selected);
  else renderDetail();
}

function renderList() {
  const list = $('share-list');
  list.replaceChildren();
  const ordered = [...shares.values()].sort((a, b) => b.id - a.id);
  $('shares-empty').hidden = ordered.length > 0;
  for (const share of ordered) {
    const item = document.createElement('li');
    item.className = 'state-' + share.state;
    const button = document.createElement('button');
    button.type = 'button';
    button.dataset.id = share.id;
    if (share.id === selected) button.setAttribute('aria-current', 'true');
    const url = document.createElement('span');
    url.className = 'share-url';
    url.textContent = share.url;
    const state = document.createElement('span');
    state.className = 'share-state';
    const badge = document.createElement('span');
    badge.className = 'badge';
    badge.textContent = STATES[share.state] || share.state;
    state.append(badge);
    if ((share.state === 'resolved' || share.state === 'incomplete') && share.files !== undefined)
      state.append(`${share.files} 个文件`);
    button.append(url, state);
    button.addEventListener('click', () => select(share.id));
    item.append(button);
    list.append(item);
  }
}

async function select(id) {
  selected = id;
  renderList();
  await refresh(id);
}

// Fetches one share again and shows it if it is the one selected. Fetches cross as events
// come: only a share's latest answer counts, so an older one never shows over a newer.
async function refresh(id) {
  const ticket = (tickets.get(id) || 0) + 1;
  tickets.set(id, ticket);
  let share;
  try {
    share = await api.share(id);
  } catch (e) {
    if (tickets.get(id) !== ticket) return;
    if (e.status === 404) return forget(id);
    return failed(e, (text) => ($('detail-message').textContent = text));
  }
  if (tickets.get(id) !== ticket) return;
  shares.set(id, share);
  renderList();
  if (id === selected) renderDetail();
}

function forget(id) {
  tickets.set(id, (tickets.get(id) || 0) + 1);  // a fetch under way must not bring it back
  shares.delete(id);
  prompts.forget(id);
  tree.forget(id);
  if (selected === id) selected = 0;
  renderList();
  renderDetail();
}

function renderDetail() {
  const share = shares.get(selected);
  $('detail-empty').hidden = !!share;
  $('detail-body').hidden = !share;
  if (!share) {
    prompts.hide();
    tree.hide();
    return;
  }
  $('detail-url').textContent = share.url;
  $('detail-state').textContent = STATES[share.state] || share.state;
  $('detail-message').textContent = share.message || '';
  prompts.show(share);
  const missing = share.missingFolders || [];
  $('missing').hidden = missing.length === 0;
  $('missing-list').replaceChildren(
    ...missing.map((folder) => {
      const item = document.createElement('li');
      item.textContent = folder.reason ? `/${folder.path}：${folder.reason}` : `/${folder.path}`;
      return item;
    }),
  );
  if (share.state === 'resolved' || share.state === 'incomplete') tree.show(share, false);
  else tree.hide();
}

// The event stream. The browser reconnects by itself and asks for what it missed; when it gives
// up (the service was away too long), a new stream starts from the last event seen.
function connect() {
  if (stream) stream.close();
  const query = lastEventId ? '?lastEventId=' + encodeURIComponent(lastEventId) : '';
  const source = new EventSource('api/v1/events' + query);
  stream = source;
  const keep = (e) => {
    if (e.lastEventId) lastEventId = e.lastEventId;
  };
  source.addEventListener('open', () => {
    $('link-state').hidden = true;
  });
  source.addEventListener('error', () => {
    if (stream !== source) return;
    $('link-state').hidden = false;
    if (source.readyState !== EventSource.CLOSED) return;
    clearTimeout(retry);
    retry = setTimeout(async () => {
      try {
        await api.session();
        connect();
      } catch (e) {
        if (e.status === 401) failed(e);
        else connect();
      }
    }, 3000);
  });
  source.addEventListener('share', (e) => {
    keep(e);
    const data = JSON.parse(e.data);
    const known = shares.get(data.id);
    if (known) {
      known.state = data.state;
      known.message = data.message;
      renderList();
    }
    // An unknown share, the one shown, or one that is done (its totals are told then).
    if (!known || data.id === selected || ['resolved', 'incomplete'].includes(data.state))
      refresh(data.id);
  });
  source.addEventListener('prompt', (e) => {
    keep(e);
    const data = JSON.parse(e.data);
    if (data.kind === 'captcha') prompts.pictureChanged(data.share);
    if (!selected) selected = data.share;
    refresh(data.share);
  });
  source.addEventListener('share-removed', (e) => {
    keep(e);
    forget(JSON.parse(e.data).id);
  });
  source.addEventListener('reset', (e) => {
    keep(e);
    reload();
  });
}

async function paste(text) {
  text = text.trim();
  if (!text) return;
  $('paste-error').textContent = '';
  $('parse').disabled = true;
  try {
    const answer = await api.paste(text);
    $('paste-text').value = '';
    for (const share of answer.shares) {
      if (!shares.has(share.id)) shares.set(share.id, { ...share, message: '' });
    }
    await select(answer.shares[0].id);
  } catch (e) {
    failed(e, (message) => ($('paste-error').textContent = message));
  } finally {
    $('parse').disabled = false;
  }
}

function setUpPaste() {
  const box = $('paste-text');
  $('paste-form').addEventListener('submit', (e) => {
    e.preventDefault();
    paste(box.value);
  });
  // Enter parses, as in the window; Shift+Enter keeps a line break for a pasted list.
  box.addEventListener('keydown', (e) => {
    if (e.key === 'Enter' && !e.shiftKey && !e.isComposing) {
      e.preventDefault();
      paste(box.value);
    }
  });
  // Text or a link dropped anywhere on the page is parsed as if pasted.
  const app = $('app');
  document.addEventListener('dragover', (e) => {
    if (app.hidden || !e.dataTransfer) return;
    e.preventDefault();
    app.classList.add('dropping');
  });
  document.addEventListener('dragleave', (e) => {
    if (!e.relatedTarget) app.classList.remove('dropping');
  });
  document.addEventListener('drop', (e) => {
    app.classList.remove('dropping');
    if (app.hidden || !e.dataTransfer) return;
    e.preventDefault();
    const links = (e.dataTransfer.getData('text/uri-list') || '')
      .split(/\r?\n/)
      .filter((line) => line && !line.startsWith('#'));
    const text = e.dataTransfer.getData('text/plain') || links.join('\n');
    if (!text) return;
    box.value = text;
    paste(text);
  });
}

function setUpLogin() {
  $('login-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    const input = $('login-password');
    const button = e.target.querySelector('button');
    button.disabled = true;
    $('login-error').textContent = '';
    try {
      await api.login(input.value);
      input.value = '';
      await showApp();
    } catch (error) {
      $('login-error').textContent =
        error.word === 'password' ? '密码错误' : WORDS[error.word] || error.message;
      input.select();
    } finally {
      button.disabled = false;
    }
  });
  $('logout').addEventListener('click', async () => {
    try {
      await api.logout();
    } catch (e) {
      // the session is left to expire; this tab forgets it either way
    }
    shares.clear();
    selected = 0;
    showLogin('');
  });
}

function setUpRemove() {
  $('remove').addEventListener('click', async () => {
    const id = selected;
    if (!id || !confirm('删除这个分享？它的解析结果不再保留。')) return;
    try {
      await api.removeShare(id);
      forget(id);
    } catch (e) {
      failed(e, (text) => ($('detail-message').textContent = text));
    }
  });
}

async function start() {
  setUpLogin();
  setUpPaste();
  setUpRemove();
  // A session cookie alone is not enough: changes need the token this tab got at login.
  if (!api.token()) return showLogin('');
  try {
    await api.session();
  } catch (e) {
    return showLogin('');
  }
  await showApp();
}

start();
