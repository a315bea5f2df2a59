// The page: log in, paste shares, follow them through the event stream, answer their prompts,
// look through their files and download them, here or onto a downloader.
import * as api from './api.js';
import { Downloads, showTotals } from './downloads.js';
import { Downloaders, History, Notices, ask, setUpTabs } from './panels.js';
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
const tree = new Tree(
  (e) => failed(e, (text) => ($('detail-message').textContent = text)),
  (count) => ($('download-chosen').disabled = count === 0),
);
const downloads = new Downloads(failed, ask);
const downloaders = new Downloaders(failed, ask, showDownloaders);
const history = new History(failed, ask);
const notices = new Notices();
downloads.onAnswer = (answer) => {
  if (answer.totals) showTotals(answer.totals);
  if (answer.settings) showSettings(answer.settings);
};

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
  downloads.stop();
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
  if (!downloads.active) downloads.reload();
  downloaders.load();
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
  source.addEventListener('download', (e) => {
    keep(e);
    downloads.changed(JSON.parse(e.data));
  });
  source.addEventListener('download-removed', (e) => {
    keep(e);
    downloads.removed(JSON.parse(e.data).id);
  });
  source.addEventListener('downloads-totals', (e) => {
    keep(e);
    downloads.totalsCame();
    showTotals(JSON.parse(e.data));
  });
  source.addEventListener('downloaders', (e) => {
    keep(e);
    downloaders.load();
  });
  source.addEventListener('history', (e) => {
    keep(e);
    const id = JSON.parse(e.data).id;
    history.added();
    notices.batchEnded(id);
  });
  source.addEventListener('reset', (e) => {
    keep(e);
    reload();
    downloads.reload();
    downloaders.load();
    history.added();
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
    if (!id || !(await ask('删除这个分享？它的解析结果不再保留。', '删除'))) return;
    try {
      await api.removeShare(id);
      forget(id);
    } catch (e) {
      failed(e, (text) => ($('detail-message').textContent = text));
    }
  });
}

// 下载所选 and 全部下载: into the download folder or a sub-folder of it, or onto a downloader.
function setUpDownloadStart() {
  $('download-all').addEventListener('click', () => startDownloads(true));
  $('download-chosen').addEventListener('click', () => startDownloads(false));
}

function showDownloaders(list) {
  const select = $('download-where');
  const kept = select.value;
  const options = [new Option('本机的下载目录', '')];
  for (const d of list) options.push(new Option(`下载器：${d.name}`, String(d.id)));
  select.replaceChildren(...options);
  select.value = list.some((d) => String(d.id) === kept) ? kept : '';
  select.disabled = list.length === 0;
  select.closest('.where').classList.toggle('local-only', list.length === 0);
}

// A sub-folder as the service takes it: relative, no step up, no empty step.
function folderOf(text) {
  const folder = text.trim().replace(/\\/g, '/');
  if (!folder) return { folder: '' };
  const steps = folder.split('/');
  if (folder.startsWith('/') || steps.some((s) => s === '' || s === '.' || s === '..'))
    return { error: '子文件夹要写成相对的路径，如“照片/2026”：不能以 / 开头，不能有 .. 或空的一级' };
  return { folder };
}

async function startDownloads(all) {
  const share = shares.get(selected);
  const said = (text) => ($('download-said').textContent = text);
  if (!share) return;
  const { folder, error } = folderOf($('download-folder').value);
  if (error) return said(error);
  const where = {};
  if ($('download-where').value) where.downloader = Number($('download-where').value);
  if (folder) where.folder = folder;
  const asks = [];
  if (all) {
    asks.push({ all: true, ...where });
  } else {
    const { files, folders } = tree.chosenPaths();
    if (files.length) asks.push({ paths: files, ...where });
    // A folder is taken whole, by a glob over the paths below it ("?" for a name's own glob
    // characters, which nothing can escape).
    const glob = (path) => path.replace(/^\//, '').replace(/[*?]/g, '?') + '/**';
    if (folders.length) asks.push({ all: true, include: folders.map(glob), ...where });
  }
  if (!asks.length) return;
  said('');
  for (const button of ['download-all', 'download-chosen']) $(button).disabled = true;
  let added = 0;
  try {
    for (const body of asks) added += (await api.startDownloads(share.id, body)).ids.length;
  } catch (e) {
    failed(e, (text) => said(e.status === 409 ? '这个分享还没有解析完成' : text));
    return;
  } finally {
    $('download-all').disabled = false;
    $('download-chosen').disabled = tree.chosenPaths().files.length + tree.chosenPaths().folders.length === 0;
  }
  if (!all) tree.clearChosen();
  said(added ? `已加入下载列表 ${added} 个文件` : '这些文件都已在下载列表中');
  showTab('tab-downloads');
}

// 限速 and 同时下载, kept by the service.
function showSettings(settings) {
  for (const [id, value] of [['speed-limit', settings.speedLimit], ['jobs', settings.jobs]]) {
    if (value !== undefined && document.activeElement !== $(id)) $(id).value = value;
  }
}

function setUpSettings() {
  const change = async (field, input, low, high) => {
    const value = Number(input.value);
    if (!Number.isInteger(value) || value < low || value > high) {
      $('settings-said').textContent =
        field === 'jobs' ? '同时下载的文件数是 1 到 64' : '请输入需要限制的速度后继续！';
      return;
    }
    try {
      const taken = await api.putSettings({ [field]: value });
      $('settings-said').textContent =
        field === 'jobs' ? `同时下载 ${taken.jobs} 个文件` : taken.speedLimit ? `限速 ${taken.speedLimit}KB` : '不限速';
    } catch (e) {
      failed(e, (text) => ($('settings-said').textContent = text));
    }
  };
  $('speed-limit').addEventListener('change', (e) => change('speedLimit', e.target, 0, 2147483647));
  $('jobs').addEventListener('change', (e) => change('jobs', e.target, 1, 64));
}

const showTab = setUpTabs((id) => {
  history.show(id === 'tab-history');
  if (id === 'tab-downloads') downloads.redraw();
});

async function start() {
  setUpLogin();
  setUpPaste();
  setUpRemove();
  setUpDownloadStart();
  setUpSettings();
  // A session cookie alone is not enough: changes need the token this tab got at login.
  if (!api.token()) return showLogin('');
  // The list is asked for beside the session: with a long one, that is what takes longest.
  downloads.reload();
  try {
    await api.session();
  } catch (e) {
    return showLogin('');
  }
  await showApp();
}

start();
