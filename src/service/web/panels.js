// The tabs under the shares: the downloaders files may go to, the history of finished
// batches, and the notice when a batch ends while the page is out of sight.
import * as api from './api.js';
import { sizeText } from './tree.js';

const $ = (id) => document.getElementById(id);

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function button(text, className, action) {
  const node = element('button', className, text);
  node.type = 'button';
  node.addEventListener('click', action);
  return node;
}

// "2026-12-10 03:28" in the browser's time zone.
export function timeText(seconds) {
  const t = new Date(seconds * 1000);
  const two = (n) => String(n).padStart(2, '0');
  return `${t.getFullYear()}-${two(t.getMonth() + 1)}-${two(t.getDate())} ${two(t.getHours())}:${two(t.getMinutes())}`;
}

// A page dialog in place of the browser's confirm(): it can be styled, and the page goes on
// drawing while it waits.
export function ask(text, yes) {
  const dialog = $('ask');
  $('ask-text').textContent = text;
  $('ask-yes').textContent = yes || '确定';
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'yes'), { once: true });
    dialog.returnValue = '';
    dialog.showModal();
    $('ask-yes').focus();
  });
}

export function setUpTabs(onShow) {
  const tabs = [...document.querySelectorAll('.tabs [role=tab]')];
  const show = (chosen) => {
    for (const tab of tabs) {
      const on = tab === chosen;
      tab.setAttribute('aria-selected', String(on));
      tab.tabIndex = on ? 0 : -1;
      $(tab.getAttribute('aria-controls')).hidden = !on;
    }
    onShow(chosen.id);
  };
  for (const tab of tabs) tab.addEventListener('click', () => show(tab));
  return (id) => show($(id));
}

export class Downloaders {
  constructor(onError, ask, onList) {
    this.onError = onError;
    this.ask = ask;
    this.onList = onList;  // told the list whenever it is fetched
    this.list = [];
    this.available = true;
    this.editing = 0;  // the id being edited, 0 while adding
    this.results = new Map();  // id -> the last test's words
    this.form = $('downloader-form');
    this.form.addEventListener('submit', (e) => {
      e.preventDefault();
      this.save();
    });
    $('dr-cancel').addEventListener('click', () => this.edit(null));
  }

  async load() {
    let answer;
    try {
      answer = await api.downloaders();
    } catch (e) {
      if (e.status === 404) {
        // A service without downloaders: our own engine is the only one.
        this.available = false;
        this.list = [];
        this.render();
        this.onList(this.list);
        return;
      }
      return this.onError(e, (text) => ($('dr-said').textContent = text));
    }
    this.available = true;
    this.list = answer.downloaders || [];
    this.render();
    this.onList(this.list);
  }

  render() {
    $('downloaders-none').hidden = this.available;
    $('downloaders-body').hidden = !this.available;
    $('downloaders-empty').hidden = this.list.length > 0;
    const items = this.list.map((d) => {
      const item = element('li');
      item.dataset.id = d.id;
      const about = element('div', 'about');
      about.append(element('strong', '', d.name), element('span', 'url', d.url));
      const facts = [d.directory ? `下载目录：${d.directory}` : '下载目录：aria2 自己的'];
      facts.push(d.hasSecret ? '已设密钥' : '无密钥');
      about.append(element('span', 'hint', facts.join(' · ')));
      const result = this.results.get(d.id);
      if (result) about.append(element('span', result.ok ? 'ok' : 'error', result.text));
      const tools = element('div', 'tools');
      tools.append(
        button('测试', 'quiet', () => this.test(d)),
        button('修改', 'quiet', () => this.edit(d)),
        button('删除', 'quiet danger', () => this.remove(d)),
      );
      item.append(about, tools);
      return item;
    });
    $('downloader-list').replaceChildren(...items);
  }

  edit(d) {
    this.editing = d ? d.id : 0;
    $('downloader-form-title').textContent = d ? `修改下载器“${d.name}”` : '添加下载器';
    $('dr-name').value = d ? d.name : '';
    $('dr-url').value = d ? d.url : '';
    $('dr-directory').value = d ? d.directory || '' : '';
    // The secret is never shown: it can be replaced or cleared, not read.
    $('dr-secret').value = '';
    $('dr-secret').placeholder = d && d.hasSecret ? '已设置；留空则不变' : '没有可不填';
    $('dr-clear').checked = false;
    $('dr-clear-line').hidden = !(d && d.hasSecret);
    $('dr-cancel').hidden = !d;
    $('dr-said').textContent = '';
    if (d) $('dr-name').focus();
  }

  async save() {
    const fields = {
      name: $('dr-name').value.trim(),
      url: $('dr-url').value.trim(),
      directory: $('dr-directory').value.trim(),
    };
    const secret = $('dr-secret').value;
    if (secret) fields.secret = secret;
    else if (this.editing && $('dr-clear').checked) fields.secret = '';
    try {
      if (this.editing) await api.changeDownloader(this.editing, fields);
      else await api.addDownloader(fields);
    } catch (e) {
      return this.onError(e, (text) => ($('dr-said').textContent = text));
    }
    const saved = this.editing ? '已保存' : `已添加下载器“${fields.name}”`;
    this.edit(null);
    $('dr-said').textContent = saved;
    await this.load();
  }

  async test(d) {
    this.results.set(d.id, { ok: true, text: '正在连接……' });
    this.render();
    let answer;
    try {
      answer = await api.testDownloader(d.id);
    } catch (e) {
      answer = { ok: false, message: e.message };
    }
    this.results.set(
      d.id,
      answer.ok
        ? { ok: true, text: `连接成功，aria2 ${answer.version || ''}`.trim() }
        : { ok: false, text: '连接失败：' + (answer.message || '') },
    );
    this.render();
  }

  async remove(d) {
    if (!(await this.ask(`删除下载器“${d.name}”吗？`, '删除'))) return;
    try {
      await api.removeDownloader(d.id);
    } catch (e) {
      if (e.word === 'in-use') {
        $('dr-said').textContent = `下载器“${d.name}”还有没有结束的下载，结束或删除它们后才能删除`;
        return;
      }
      return this.onError(e, (text) => ($('dr-said').textContent = text));
    }
    this.results.delete(d.id);
    if (this.editing === d.id) this.edit(null);
    await this.load();
  }
}

const HISTORY_PAGE = 20;

export class History {
  constructor(onError, ask) {
    this.onError = onError;
    this.ask = ask;
    this.offset = 0;
    this.total = 0;
    this.shown = false;
    this.fresh = false;  // the list changed while it was out of sight
    $('history-back').addEventListener('click', () => this.load(this.offset - HISTORY_PAGE));
    $('history-next').addEventListener('click', () => this.load(this.offset + HISTORY_PAGE));
  }

  show(on) {
    this.shown = on;
    if (on) this.load(this.offset);
  }

  added() {
    if (this.shown) this.load(this.offset);
    else this.fresh = true;
  }

  async load(offset) {
    offset = Math.max(0, offset);
    let answer;
    try {
      answer = await api.history(offset, HISTORY_PAGE);
    } catch (e) {
      if (e.status === 404) answer = { total: 0, history: [] };
      else return this.onError(e, (text) => ($('history-place').textContent = text));
    }
    if (answer.history.length === 0 && offset > 0 && answer.total > 0)
      return this.load(offset - HISTORY_PAGE);
    this.offset = offset;
    this.total = answer.total;
    this.fresh = false;
    $('history-empty').hidden = answer.total > 0;
    $('history-list').replaceChildren(...answer.history.map((entry) => this.item(entry)));
    const last = offset + answer.history.length;
    $('history-place').textContent = answer.total ? `第 ${offset + 1}–${last} 条，共 ${answer.total} 条` : '';
    $('history-back').hidden = $('history-next').hidden = answer.total <= HISTORY_PAGE;
    $('history-back').disabled = offset === 0;
    $('history-next').disabled = last >= answer.total;
  }

  item(entry) {
    const item = element('li', entry.filesFailed ? 'some-failed' : '');
    const about = element('div', 'about');
    about.append(element('strong', '', entry.title || entry.url));
    if (entry.title) about.append(element('span', 'url', entry.url));
    const done = entry.files - entry.filesFailed;
    let figures = `${done} 个文件已下载完毕`;
    if (entry.filesFailed) figures += `，${entry.filesFailed} 个失败`;
    figures += ` · ${sizeText(entry.bytes)} · ${timeText(entry.started)} 至 ${timeText(entry.ended)}`;
    about.append(element('span', 'hint', figures));
    item.append(about, button('删除', 'quiet danger', () => this.remove(entry)));
    return item;
  }

  async remove(entry) {
    if (!(await this.ask(`从下载历史中删除“${entry.title || entry.url}”吗？文件留在磁盘上。`, '删除')))
      return;
    try {
      await api.removeHistory(entry.id);
    } catch (e) {
      if (e.status !== 404) return this.onError(e, (text) => ($('history-place').textContent = text));
    }
    await this.load(this.offset);
  }
}

// A notice from the browser when a batch ends out of sight. Permission is asked once, on the
// user's click; whether they want notices at all is remembered.
export class Notices {
  static KEY = 'sharefetch.notify';

  constructor() {
    this.button = $('notify');
    this.supported = 'Notification' in window;
    this.button.hidden = !this.supported;
    if (!this.supported) return;
    this.button.addEventListener('click', () => this.toggle());
    this.render();
  }

  wanted() {
    try {
      return localStorage.getItem(Notices.KEY) === 'on';
    } catch (e) {
      return false;
    }
  }

  remember(on) {
    try {
      localStorage.setItem(Notices.KEY, on ? 'on' : 'off');
    } catch (e) {
      // this page only
    }
  }

  async toggle() {
    if (Notification.permission === 'default') {
      const answer = await Notification.requestPermission();
      this.remember(answer === 'granted');
    } else {
      this.remember(!this.wanted());
    }
    this.render();
  }

  render() {
    const denied = Notification.permission === 'denied';
    const on = !denied && Notification.permission === 'granted' && this.wanted();
    this.button.disabled = denied;
    this.button.setAttribute('aria-pressed', String(on));
    this.button.textContent = on ? '下载结束时通知：开' : '下载结束时通知：关';
    this.button.title = denied ? '浏览器不允许这个页面发通知，可在浏览器的网站设置里改' : '';
  }

  async batchEnded(id) {
    if (!this.supported || !document.hidden || !this.wanted() || Notification.permission !== 'granted')
      return;
    let entry = null;
    try {
      const answer = await api.history(0, 10);
      entry = answer.history.find((e) => e.id === id) || null;
    } catch (e) {
      entry = null;
    }
    const body = entry
      ? `${entry.title || entry.url}：${entry.files - entry.filesFailed} 个文件已下载完毕，${entry.filesFailed} 个失败`
      : '一批文件下载结束';
    try {
      new Notification('下载结束', { body, tag: 'sharefetch-history-' + id, icon: 'icon.svg' });
    } catch (e) {
      // phones' browsers give notices through a service worker only; the history shows it
    }
  }
}
