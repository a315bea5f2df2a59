// The download list: a window onto the service's rows. Only the rows in sight are in the
// document, fetched a block at a time in the order and under the filter the service applies,
// and patched from the event stream; 200 000 rows scroll as smoothly as 20.
import * as api from './api.js';
import { sizeText } from './tree.js';

export const STATE_TEXT = {
  queued: '等待中',
  downloading: '下载中',
  paused: '已暂停',
  finished: '下载完毕',
  failed: '失败',
};

// The service words a failure as the terminal does, in English; the window's words are these.
const REASONS = {
  'connection refused': '连接被拒绝',
  'disk full': '磁盘已满',
  'disk quota exceeded': '磁盘配额已满',
  'connection timed out': '连接超时',
  'server not found': '找不到服务器',
  'network unreachable': '网络不通',
  'certificate refused': '证书无效',
  'in use by another download': '正被另一个下载使用',
  'protocol error': '协议错误',
  'file too large': '文件太大',
  'connection reset': '连接被中断',
  'permission denied': '没有写入权限',
  'read-only file system': '磁盘只读',
  'file name too long': '文件名太长',
  "a link or a file is in the save folder's path": '保存目录无效',
  'no free file name': '没有可用的文件名',
  'too many redirects': '重定向太多',
  'unsupported address': '不支持的地址',
  'invalid address': '地址无效',
  'too many open files': '打开的文件太多',
  'too many open files in the system': '系统打开的文件太多',
  'out of memory': '内存不足',
  'input/output error': '读写错误',
  'the engine refused the task': '无法创建任务',
  'unknown error': '未知错误',
};

export function reasonText(reason) {
  if (!reason) return '';
  if (REASONS[reason]) return REASONS[reason];
  let found = /^no link(?::\s*(.*))?$/s.exec(reason);
  if (found) return '没有拿到下载地址' + (found[1] ? '：' + found[1] : '');
  found = /^error (-?\d+)$/.exec(reason);
  if (found) return '错误 ' + found[1];
  return reason;
}

// A speed as the window shows it, in a row and in the total alike: whole KB, or MB with two
// decimals from 1024 KB on.
export function speedText(bytesPerSecond) {
  const b = Math.max(0, bytesPerSecond);
  if (b / 1024 - 1024 >= -1e-7) return (Math.round((b / 1048576) * 100) / 100).toFixed(2) + 'MB';
  return Math.trunc(b / 1024) + 'KB';
}

// "0:07", "1:23", "1:02:03".
export function durationText(seconds) {
  const s = Math.max(0, Math.ceil(seconds));
  const two = (n) => String(n).padStart(2, '0');
  if (s >= 3600) return `${Math.floor(s / 3600)}:${two(Math.floor(s / 60) % 60)}:${two(s % 60)}`;
  return `${Math.floor(s / 60)}:${two(s % 60)}`;
}

// An empty file is whole once it is there.
export function percentText(done, size, finished) {
  if (!(size > 0)) return finished || done > 0 ? '100.00%' : '0.00%';
  return ((Math.round((done / size) * 10000) / 100).toFixed(2)) + '%';
}

const BLOCK = 100;  // rows per request
const EXTRA = 6;    // rows drawn beyond each edge of the view, so a quick flick shows no gap
const KEEP = 30;    // blocks kept in memory around the view
const ACTS = { pause: '暂停', resume: '继续', retry: '重试', remove: '删除', 'remove-files': '删除' };

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

export class Downloads {
  // `ask(text, yes)` asks the user in the page and resolves true or false.
  constructor(onError, ask) {
    this.onError = onError;
    this.ask = ask;
    const $ = (id) => document.getElementById(id);
    this.view = $('dl-view');
    this.space = $('dl-space');
    this.empty = $('dl-empty');
    this.said = $('dl-said');
    this.chosenText = $('dl-chosen');
    this.checkAll = $('dl-check-all');
    this.buttons = [...document.querySelectorAll('.dl-actions button[data-act]')];
    this.query = { sort: 'name', order: 'asc', state: '', q: '' };
    this.total = 0;
    this.drawnTotal = -1;     // the list's length and row height as last drawn
    this.drawnHeight = 0;
    this.known = false;        // the first answer came
    this.blocks = new Map();   // block number -> rows, for the present query and generation
    this.stale = new Map();    // the blocks before the last refetch, shown until their turn comes
    this.asked = new Map();    // block number -> the generation it was asked for in
    this.generation = 0;
    this.byId = new Map();     // row id -> row, among the blocks held
    this.chosen = new Set();   // ids chosen one by one
    this.everything = false;   // or everything the filter matches
    this.pool = [];            // the row elements, reused as the view scrolls
    this.rowHeight = 0;
    this.drawing = 0;
    this.sight = [0, 0];       // the first and last block in sight
    this.fetching = 0;         // requests under way
    this.fetchTimer = 0;
    this.waitedAt = 0;         // the first block in sight when that wait began
    this.refetchTimer = 0;
    this.totalsTimer = 0;
    this.lastRefetch = 0;
    this.active = false;       // fetching only once logged in
    this.setUp(document);
  }

  setUp(document) {
    this.view.addEventListener('scroll', () => this.redraw(), { passive: true });
    new ResizeObserver(() => {
      this.rowHeight = 0;
      this.redraw();
    }).observe(this.view);
    for (const button of document.querySelectorAll('.dl-head .sort')) {
      button.addEventListener('click', () => {
        const sort = button.dataset.sort;
        if (this.query.sort === sort) this.query.order = this.query.order === 'asc' ? 'desc' : 'asc';
        else Object.assign(this.query, { sort, order: 'asc' });
        this.newQuery();
      });
    }
    const state = document.getElementById('dl-state');
    const q = document.getElementById('dl-q');
    let typing = 0;
    state.addEventListener('change', () => {
      this.query.state = state.value;
      this.newQuery();
    });
    q.addEventListener('input', () => {
      clearTimeout(typing);
      typing = setTimeout(() => {
        this.query.q = q.value.trim();
        this.newQuery();
      }, 250);
    });
    document.getElementById('dl-filter').addEventListener('submit', (e) => e.preventDefault());
    this.checkAll.addEventListener('change', () => {
      this.everything = this.checkAll.checked;
      this.chosen.clear();
      this.showChosen();
    });
    for (const button of this.buttons)
      button.addEventListener('click', () => this.act(button.dataset.act));
    this.view.addEventListener('keydown', (e) => this.key(e));
    this.view.addEventListener('click', (e) => this.click(e));
    this.showSort();
    this.showChosen();
  }

  // Everything again from the top: the filter or the order changed.
  newQuery() {
    this.chosen.clear();
    this.everything = false;
    this.stale.clear();
    this.blocks.clear();
    this.byId.clear();
    this.generation++;
    this.view.scrollTop = 0;
    this.showSort();
    this.showChosen();
    this.redraw();
  }

  // The rows again, keeping the place: the service added or removed some, or the rows moved
  // in the order. At most once a second, whatever the events' pace.
  refetch() {
    if (this.refetchTimer) return;
    const wait = Math.max(150, 1000 - (Date.now() - this.lastRefetch));
    this.refetchTimer = setTimeout(() => {
      this.refetchTimer = 0;
      this.lastRefetch = Date.now();
      this.reload();
    }, wait);
  }

  reload() {
    this.active = true;
    this.stale = this.blocks;
    this.blocks = new Map();
    this.byId.clear();
    this.generation++;
    // The first block at once, not a frame later: it is what the page shows first.
    if (!this.known) this.fetch(0);
    this.redraw();
  }

  // From the event stream.
  changed(data) {
    if (data.path !== undefined) return this.refetch();  // a new row
    const row = this.byId.get(data.id);
    const moves =
      (data.state !== undefined && (this.query.state || this.query.sort === 'state')) ||
      (data.done !== undefined && this.query.sort === 'progress') ||
      (data.size !== undefined && this.query.sort === 'size');
    if (moves) this.refetch();
    if (data.state !== undefined) this.totalsLater();
    if (!row) return;
    Object.assign(row, data);
    row.version = (row.version || 0) + 1;
    this.redraw();
    if (data.state !== undefined) this.showChosen();
  }

  // The totals come with the events while files move; when the last one ends they stop, and
  // the figures are asked for once instead.
  totalsLater() {
    clearTimeout(this.totalsTimer);
    this.totalsTimer = setTimeout(async () => {
      if (!this.active) return;
      try {
        const answer = await api.downloads(this.query, 0, 1);
        if (this.onAnswer) this.onAnswer(answer);
      } catch (e) {
        // the next event or fetch tells them
      }
    }, 2000);
  }

  totalsCame() {
    clearTimeout(this.totalsTimer);
  }

  removed(id) {
    this.chosen.delete(id);
    const row = this.byId.get(id);
    if (row) row.gone = true;
    this.refetch();
    this.showChosen();
  }

  redraw() {
    if (this.drawing) return;
    this.drawing = requestAnimationFrame(() => {
      this.drawing = 0;
      this.draw();
    });
  }

  rowAt(index) {
    const block = Math.floor(index / BLOCK);
    const rows = this.blocks.get(block) || this.stale.get(block);
    return rows ? rows[index - block * BLOCK] : undefined;
  }

  draw() {
    if (!this.rowHeight) {
      this.rowHeight = parseFloat(getComputedStyle(this.view).getPropertyValue('--row')) || 44;
    }
    const height = this.rowHeight;
    // Written only when it changes: even the same value restyles the list every frame.
    if (this.drawnTotal !== this.total || this.drawnHeight !== height) {
      this.drawnTotal = this.total;
      this.drawnHeight = height;
      this.view.setAttribute('aria-rowcount', String(this.total + 1));
      this.space.style.height = this.total * height + 'px';
    }
    const top = this.view.scrollTop;
    const first = Math.max(0, Math.floor(top / height) - EXTRA);
    const last = Math.min(this.total, Math.ceil((top + this.view.clientHeight) / height) + EXTRA);
    this.sight = [Math.floor(first / BLOCK), Math.floor((Math.max(last, 1) - 1) / BLOCK)];
    this.fetchSoon();
    while (this.pool.length < last - first) this.pool.push(this.makeRow());
    // Row `index` always lands on element `index % size`: a step of one row moves and
    // rewrites one element, not all of them, and an element keeps its row while in sight.
    const size = this.pool.length;
    for (let i = 0; i < size; i++) {
      const node = this.pool[i];
      const index = first + ((((i - first) % size) + size) % size);
      const row = index < last ? this.rowAt(index) : undefined;
      // A row not fetched yet stays blank until its block comes: a fling through rows still
      // unknown then moves no element at all, and no placeholder is laid out, painted and
      // thrown away each frame.
      if (!row) {
        if (!node.hidden) node.hidden = true;
        continue;
      }
      if (node.hidden) node.hidden = false;
      if (node.index !== index) {
        node.index = index;
        // The elements' order is not the rows' order: this tells a screen reader the place.
        node.setAttribute('aria-rowindex', String(index + 2));
      }
      // By the offset, not the index: a narrower window changes the rows' height.
      if (node.top !== index * height) {
        node.top = index * height;
        node.style.transform = `translateY(${node.top}px)`;
      }
      this.fill(node, row);
    }
    const empty = this.known && this.total === 0;
    if (this.empty.hidden === empty) this.empty.hidden = !empty;
  }

  // Logged out: nothing is fetched until the next reload.
  stop() {
    this.active = false;
    clearTimeout(this.refetchTimer);
    this.refetchTimer = 0;
  }

  // The blocks in sight that are missing, asked for once the view rests a moment and two at
  // a time: a fling through 200 000 rows must not queue a request for every block it passed.
  fetchSoon() {
    if (!this.active) return;
    // The wait starts again when the view has left the blocks it began at: what it would ask
    // for now would be out of sight before it came, and its answer would only cost frames.
    // A slow scroll stays near them and gets its rows as it goes.
    if (this.fetchTimer && Math.abs(this.sight[0] - this.waitedAt) <= 1) return;
    clearTimeout(this.fetchTimer);
    this.waitedAt = this.sight[0];
    const resting = this.known ? 60 : 0;
    this.fetchTimer = setTimeout(() => {
      this.fetchTimer = 0;
      const [from, to] = this.sight;
      for (let block = from; block <= to && this.fetching < 2; block++) this.fetch(block);
    }, resting);
  }

  async fetch(block) {
    if (!this.active || this.blocks.has(block) || this.asked.get(block) === this.generation) return;
    const generation = this.generation;
    this.asked.set(block, generation);
    this.fetching++;
    let answer;
    try {
      answer = await api.downloads(this.query, block * BLOCK, BLOCK);
    } catch (e) {
      if (this.asked.get(block) === generation) this.asked.delete(block);
      return this.onError(e, (text) => (this.said.textContent = text));
    } finally {
      this.fetching--;
      this.fetchSoon();
    }
    if (generation !== this.generation) return;
    this.known = true;
    this.stale.delete(block);
    this.blocks.set(block, answer.downloads);
    this.forgetFar();
    for (const row of answer.downloads) this.byId.set(row.id, row);
    if (answer.total !== this.total) {
      this.total = answer.total;
      // Blocks past the end are gone; so is a choice of everything when nothing is left.
      for (const held of [...this.blocks.keys()]) if (held * BLOCK >= this.total) this.blocks.delete(held);
      this.showChosen();
    }
    if (this.onAnswer) this.onAnswer(answer);
    this.redraw();
  }

  // Only the blocks near the view are kept, whatever the list's length.
  forgetFar() {
    if (this.blocks.size <= KEEP) return;
    const here = this.sight[0];
    const far = [...this.blocks.keys()].sort((a, b) => Math.abs(b - here) - Math.abs(a - here));
    for (const block of far.slice(0, this.blocks.size - KEEP)) {
      for (const row of this.blocks.get(block)) this.byId.delete(row.id);
      this.blocks.delete(block);
      this.asked.delete(block);
    }
  }

  makeRow() {
    const row = element('div', 'dl-row');
    row.setAttribute('role', 'row');
    const box = element('label', 'check');
    const input = element('input');
    input.type = 'checkbox';
    input.tabIndex = -1;
    box.append(input);
    const bar = element('span', 'meter');
    bar.append(element('span'));
    const progress = element('span', 'progress');
    progress.append(bar, element('span', 'percent'));
    row.append(
      box,
      element('span', 'name'),
      element('span', 'num size'),
      element('span', 'num done'),
      element('span', 'num speed'),
      progress,
      element('span', 'num left'),
      element('span', 'state'),
    );
    row.parts = {
      input,
      name: row.children[1],
      size: row.children[2],
      done: row.children[3],
      speed: row.children[4],
      fill: bar.firstChild,
      percent: progress.lastChild,
      left: row.children[6],
      state: row.children[7],
    };
    this.space.append(row);
    return row;
  }

  // Writes only what changed: most of a row stays the same from one update to the next.
  static put(part, text) {
    if (part.textContent !== text) part.textContent = text;
  }

  fill(node, row) {
    const chosen = this.everything || this.chosen.has(row.id);
    const key = `${row.id}.${row.version || 0}.${chosen}.${row.gone || false}`;
    if (node.key === key) return;
    node.key = key;
    const p = node.parts;
    const put = Downloads.put;
    node.className = `dl-row ${row.state}${chosen ? ' chosen' : ''}${row.gone ? ' gone' : ''}`;
    if (node.dataset.id !== String(row.id)) {
      node.dataset.id = row.id;
      p.input.setAttribute('aria-label', '选择 ' + row.path);
      p.name.title = row.path + (row.where ? `\n下载器：${row.where}` : '');
    }
    node.setAttribute('aria-selected', String(chosen));
    p.input.checked = chosen;
    put(p.name, row.path.replace(/^\//, ''));
    put(p.size, row.size >= 0 ? sizeText(row.size) : '');
    put(p.done, sizeText(row.done));
    const running = row.state === 'downloading';
    put(p.speed, running ? speedText(row.speed) : '');
    const whole = row.size > 0 ? Math.min(1, row.done / row.size) : row.state === 'finished' ? 1 : 0;
    // A transform, not a width: the bar moves without laying the row out again.
    p.fill.style.transform = `scaleX(${whole.toFixed(4)})`;
    put(p.percent, percentText(row.done, row.size, row.state === 'finished'));
    put(p.left, running && row.speed > 0 && row.size > row.done ? durationText((row.size - row.done) / row.speed) : '');
    const reason = row.state === 'failed' ? reasonText(row.reason) : '';
    put(p.state, (STATE_TEXT[row.state] || row.state) + (reason ? '：' + reason : ''));
    p.state.title = reason ? '失败：' + reason : '';
  }

  showSort() {
    for (const button of document.querySelectorAll('.dl-head .sort')) {
      const on = button.dataset.sort === this.query.sort;
      button.classList.toggle('sorted', on);
      button.dataset.order = on ? this.query.order : '';
      button.setAttribute('aria-sort', on ? (this.query.order === 'asc' ? 'ascending' : 'descending') : 'none');
    }
  }

  // How many rows an action would touch, worded so that acting on a whole filter is plain.
  showChosen() {
    if (this.everything && this.total === 0) this.everything = false;
    const count = this.everything ? this.total : this.chosen.size;
    this.checkAll.checked = this.everything;
    this.checkAll.indeterminate = !this.everything && this.chosen.size > 0;
    const filtered = this.query.state || this.query.q;
    this.checkAll.setAttribute('aria-label', `选择${filtered ? '筛选出的' : ''}全部 ${this.total} 个`);
    this.chosenText.textContent = this.everything
      ? `已选${filtered ? '筛选出的' : ''}全部 ${this.total} 个`
      : count
        ? `已选 ${count} 个`
        : '未选择';
    for (const button of this.buttons) {
      button.disabled = count === 0;
      const word = ACTS[button.dataset.act];
      const scope = this.everything ? `全部 ${this.total} 个` : count ? `所选的 ${count} 个` : '';
      button.title = scope ? `${word}${scope}下载任务` : '先在列表中选择下载任务';
    }
    this.redraw();
  }

  // What a POST names: the ids chosen, or the filter itself, so that rows beyond those fetched
  // are acted on too.
  target() {
    if (!this.everything) return { ids: [...this.chosen] };
    const filter = {};
    if (this.query.state) filter.state = this.query.state;
    if (this.query.q) filter.q = this.query.q;
    return { filter };
  }

  async act(kind) {
    const count = this.everything ? this.total : this.chosen.size;
    if (!count) return;
    const scope = this.everything ? `全部 ${count} 个` : `所选的 ${count} 个`;
    const body = this.target();
    if (kind === 'remove' || kind === 'remove-files') {
      const text =
        kind === 'remove'
          ? `确定从列表删除${scope}下载任务吗？\n已下载的文件留在磁盘上。`
          : `确定删除${scope}下载任务和它们已下载的文件吗？\n删除后无法恢复；已下载完毕的文件不会被删除。`;
      if (!(await this.ask(text, '删除'))) return;
      if (kind === 'remove-files') body.files = true;
    }
    const path = kind === 'remove-files' ? 'remove' : kind;
    let answer;
    try {
      answer = await api.actOnDownloads(path, body);
    } catch (e) {
      return this.onError(e, (text) => (this.said.textContent = text));
    }
    const acted = answer ? answer.acted : 0;
    const done = {
      pause: `已暂停 ${acted} 个下载任务`,
      resume: `已继续 ${acted} 个下载任务`,
      retry: `已重试 ${acted} 个下载任务`,
      remove: `已从列表删除 ${acted} 个下载任务`,
      'remove-files': `已删除 ${acted} 个下载任务和它们的文件`,
    }[kind];
    this.said.textContent = done;
    if (path === 'remove') {
      this.chosen.clear();
      this.everything = false;
      this.showChosen();
    }
    this.refetch();
  }

  click(e) {
    const node = e.target.closest('.dl-row');
    if (!node || !node.dataset.id) return;
    const id = Number(node.dataset.id);
    const onBox = e.target.closest('.check');
    if (onBox && e.target.tagName !== 'INPUT') return;  // the label passes the click on
    if (this.everything) {
      this.everything = false;
      this.chosen.clear();
    }
    if (onBox || e.ctrlKey || e.metaKey) {
      if (this.chosen.has(id)) this.chosen.delete(id);
      else this.chosen.add(id);
    } else {
      this.chosen.clear();
      this.chosen.add(id);
    }
    this.focused = node.index;
    this.showChosen();
  }

  // Delete removes the choice (asked first), Space pauses it, or resumes it when nothing in it
  // runs; the arrows move a single choice.
  key(e) {
    if (e.target !== this.view && !this.view.contains(e.target)) return;
    if (e.key === 'Delete') {
      e.preventDefault();
      this.act('remove');
    } else if (e.key === ' ') {
      e.preventDefault();
      const rows = this.everything
        ? [...this.byId.values()]
        : [...this.chosen].map((id) => this.byId.get(id)).filter(Boolean);
      const running = rows.some((row) => row.state === 'downloading' || row.state === 'queued');
      this.act(running || rows.length === 0 ? 'pause' : 'resume');
    } else if (e.key === 'ArrowDown' || e.key === 'ArrowUp') {
      e.preventDefault();
      const at = Math.max(0, Math.min(this.total - 1, (this.focused ?? -1) + (e.key === 'ArrowDown' ? 1 : -1)));
      const row = this.rowAt(at);
      if (!row) return;
      this.focused = at;
      this.everything = false;
      this.chosen.clear();
      this.chosen.add(row.id);
      const top = at * this.rowHeight;
      if (top < this.view.scrollTop) this.view.scrollTop = top;
      else if (top + this.rowHeight > this.view.scrollTop + this.view.clientHeight)
        this.view.scrollTop = top + this.rowHeight - this.view.clientHeight;
      this.showChosen();
    }
  }
}

// The figures over every row: speed, files done and failed, the bytes, the time left.
export function showTotals(totals) {
  const $ = (id) => document.getElementById(id);
  if (!totals) return;
  const speed = totals.speed || 0;
  $('all-speed').textContent = '下载速度：' + speedText(speed);
  $('all-files').textContent = `已完成 ${totals.filesDone || 0}/${totals.files || 0} 个文件`;
  $('all-failed').textContent = totals.filesFailed ? `${totals.filesFailed} 个下载失败` : '';
  const left = (totals.bytesTotal || 0) - (totals.bytesDone || 0);
  $('all-left').textContent = speed > 0 && left > 0 ? '剩余时间 ' + durationText(left / speed) : '';
  const whole = totals.bytesTotal > 0 ? Math.min(1, totals.bytesDone / totals.bytesTotal) : 0;
  $('all-meter').style.transform = `scaleX(${whole.toFixed(4)})`;
  $('all-percent').textContent = percentText(totals.bytesDone || 0, totals.bytesTotal || 0);
}
