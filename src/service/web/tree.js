// A share's files, one folder at a time and one page of it at a time, with check boxes. What
// is checked stays in the page, share by share, until it is downloaded.
import * as api from './api.js';

export const PAGE = 100;

// Sizes as the window writes them: bytes below a KB, then KB, MB and GB with two decimals, so a
// small file never reads "0.00MB".
export function sizeText(bytes) {
  if (bytes === null || bytes === undefined) return '';
  const two = (v) => (Math.round(v * 100) / 100).toFixed(2);
  if (bytes / 1024 - 1 < -1e-7) return Math.trunc(bytes) + 'B';
  if (bytes / 1024 - 1024 < -1e-7) return two(bytes / 1024) + 'KB';
  const mib = bytes / 1048576;
  if (mib - 1024 >= -1e-7) return two(bytes / 1073741824) + 'GB';
  return two(mib) + 'MB';
}

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

export class Tree {
  constructor(onError, onChosen) {
    this.onError = onError;
    this.onChosen = onChosen || (() => {});
    this.root = document.getElementById('tree');
    this.crumbs = document.getElementById('crumbs');
    this.list = document.getElementById('entries');
    this.place = document.getElementById('page-place');
    this.back = document.getElementById('page-back');
    this.next = document.getElementById('page-next');
    this.checkPage = document.getElementById('check-page');
    this.totals = document.getElementById('totals');
    this.views = new Map();  // share id -> {folder, offset, checked: path -> is a folder}
    this.share = null;
    this.missing = new Set();  // the paths of the folders the share service would not list
    this.page = null;
    this.loading = 0;
    this.back.addEventListener('click', () => this.go(this.view().folder, this.view().offset - PAGE));
    this.next.addEventListener('click', () => this.go(this.view().folder, this.view().offset + PAGE));
    this.checkPage.addEventListener('change', () => this.checkAll(this.checkPage.checked));
  }

  view() {
    const id = this.share.id;
    if (!this.views.has(id)) this.views.set(id, { folder: '/', offset: 0, checked: new Map() });
    return this.views.get(id);
  }

  forget(id) {
    this.views.delete(id);
  }

  hide() {
    this.share = null;
    this.page = null;
    this.root.hidden = true;
  }

  // Shows `share`'s tree where the user left it; `reload` fetches the page again.
  async show(share, reload) {
    const same = this.share && this.share.id === share.id;
    this.share = share;
    this.missing = new Set((share.missingFolders || []).map((folder) => '/' + folder.path));
    this.showTotals();
    this.root.hidden = false;
    if (same && this.page && !reload) return;
    const view = this.view();
    await this.go(view.folder, view.offset);
  }

  async go(folder, offset) {
    if (!this.share) return;
    const id = this.share.id;
    const ticket = ++this.loading;  // a slower earlier answer must not overwrite a later one
    let page;
    try {
      page = await api.tree(id, folder, Math.max(0, offset), PAGE);
    } catch (e) {
      if (ticket !== this.loading) return;
      if (e.status === 404 && folder !== '/') return this.go('/', 0);
      this.onError(e);
      return;
    }
    if (ticket !== this.loading || !this.share || this.share.id !== id) return;
    const view = this.view();
    view.folder = page.folder;
    view.offset = page.offset;
    this.page = page;
    this.render();
  }

  // True when `path` or a folder above it is checked.
  chosen(path) {
    const checked = this.view().checked;
    for (let at = path; at; at = at.slice(0, Math.max(0, at.lastIndexOf('/')))) {
      if (checked.has(at)) return true;
    }
    return false;
  }

  checkAll(on) {
    const checked = this.view().checked;
    for (const entry of this.page.entries) {
      if (on) checked.set(entry.path, entry.folder);
      else checked.delete(entry.path);
    }
    this.render();
  }

  render() {
    const { folder, checked } = this.view();
    this.renderCrumbs(folder);
    this.list.replaceChildren();
    const parentChosen = folder !== '/' && this.chosen(folder);
    for (const entry of this.page.entries) {
      const row = element('li', entry.folder ? 'folder' : 'file');
      const box = element('label', 'check');
      const input = element('input');
      input.type = 'checkbox';
      input.checked = parentChosen || checked.has(entry.path);
      input.disabled = parentChosen;
      input.setAttribute('aria-label', '选择 ' + entry.name);
      input.addEventListener('change', () => {
        if (input.checked) checked.set(entry.path, entry.folder);
        else checked.delete(entry.path);
        this.showTotals();
      });
      box.append(input);
      const name = element('span', 'name');
      if (entry.folder) {
        const open = element('button', '', '');
        open.type = 'button';
        open.append(element('span', 'icon'), document.createTextNode(entry.name));
        open.addEventListener('click', () => this.go(entry.path, 0));
        name.append(open);
        if (this.missing.has(entry.path)) name.append(element('span', 'left-out', '未能列出'));
      } else {
        name.append(element('span', 'icon'), document.createTextNode(entry.name));
      }
      row.append(box, name, element('span', 'size', entry.folder ? '' : sizeText(entry.size)));
      this.list.append(row);
    }
    if (this.page.entries.length === 0) this.list.append(element('li', 'hint', '这个文件夹是空的'));
    const { offset, total } = this.page;
    const last = Math.min(total, offset + this.page.entries.length);
    this.place.textContent = total ? `第 ${offset + 1}–${last} 个，共 ${total} 个` : '';
    this.back.hidden = this.next.hidden = total <= PAGE;
    this.back.disabled = offset === 0;
    this.next.disabled = last >= total;
    this.checkPage.checked =
      this.page.entries.length > 0 && this.page.entries.every((e) => parentChosen || checked.has(e.path));
    this.checkPage.disabled = parentChosen;
    this.showTotals();
  }

  renderCrumbs(folder) {
    this.crumbs.replaceChildren();
    const parts = folder === '/' ? [] : folder.slice(1).split('/');
    const steps = [{ name: '全部文件', path: '/' }];
    parts.forEach((part, i) => steps.push({ name: part, path: '/' + parts.slice(0, i + 1).join('/') }));
    steps.forEach((step, i) => {
      if (i > 0) this.crumbs.append(element('span', 'sep', '›'));
      const button = element('button', '', step.name);
      button.type = 'button';
      if (i === steps.length - 1) button.setAttribute('aria-current', 'page');
      else button.addEventListener('click', () => this.go(step.path, 0));
      this.crumbs.append(button);
    });
  }

  // What is checked in the share shown: files by path, folders whole. A path inside a folder
  // that is checked itself is left to the folder.
  chosenPaths() {
    const files = [];
    const folders = [];
    if (!this.share) return { files, folders };
    for (const [path, folder] of this.view().checked) {
      const parent = path.slice(0, Math.max(0, path.lastIndexOf('/')));
      if (parent && this.chosen(parent)) continue;
      (folder ? folders : files).push(path);
    }
    return { files, folders };
  }

  // Forgets the choice once it is downloaded.
  clearChosen() {
    if (!this.share) return;
    this.view().checked.clear();
    if (this.page) this.render();
  }

  showTotals() {
    const s = this.share;
    this.onChosen(s && this.views.has(s.id) ? this.view().checked.size : 0);
    if (!s || s.files === undefined) {
      this.totals.textContent = '';
      return;
    }
    const chosen = this.views.has(s.id) ? this.view().checked.size : 0;
    let text = `共 ${s.files} 个文件，${s.folders} 个文件夹，${sizeText(s.bytes)}`;
    if (chosen) text += `；已选 ${chosen} 项`;
    this.totals.textContent = text;
  }
}
