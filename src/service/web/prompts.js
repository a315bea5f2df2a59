// The password and captcha prompts a share's resolution waits on, in the page as the window
// words them. A wrong answer brings the prompt back through the event stream.
import * as api from './api.js';

export class Prompts {
  constructor(onError) {
    this.onError = onError;
    this.password = document.getElementById('password-prompt');
    this.passwordInput = document.getElementById('password-input');
    this.passwordWrong = document.getElementById('password-wrong');
    this.captcha = document.getElementById('captcha-prompt');
    this.captchaInput = document.getElementById('captcha-input');
    this.picture = document.getElementById('captcha-picture');
    this.share = null;
    this.rounds = new Map();   // share id -> captcha picture round, so a fresh one is fetched
    this.shownPicture = '';
    this.answered = new Set();  // shares whose password prompt the user already answered
    this.sending = false;
    this.password.addEventListener('submit', (e) => {
      e.preventDefault();
      this.answerPassword();
    });
    this.captcha.addEventListener('submit', (e) => {
      e.preventDefault();
      this.answerCaptcha();
    });
    // Captchas have four characters: the fourth one typed answers at once, as in the window.
    this.captchaInput.addEventListener('input', () => {
      if ([...this.captchaInput.value.trim()].length === 4) this.answerCaptcha();
    });
    document.getElementById('captcha-renew').addEventListener('click', () => this.renew());
    this.picture.addEventListener('error', () => {
      if (this.share && this.share.prompt && this.share.prompt.kind === 'captcha')
        this.say(this.captcha, '验证码获取失败，点击图片换一张');
    });
    setInterval(() => this.tick(), 1000);
  }

  // A fresh picture for `id` is up: the next render fetches it.
  pictureChanged(id) {
    this.rounds.set(id, (this.rounds.get(id) || 0) + 1);
  }

  forget(id) {
    this.rounds.delete(id);
    this.answered.delete(id);
  }

  hide() {
    this.share = null;
    this.password.hidden = this.captcha.hidden = true;
  }

  show(share) {
    const before = this.share;
    const prompt = share.prompt;
    const kind = prompt ? prompt.kind : '';
    const wasKind = before && before.id === share.id && before.prompt ? before.prompt.kind : '';
    const passwordWasHidden = this.password.hidden;
    this.share = share;
    this.password.hidden = kind !== 'password';
    this.captcha.hidden = kind !== 'captcha';
    if (kind !== wasKind) {
      this.say(this.password, '');
      this.say(this.captcha, '');
    }
    if (kind === 'password') {
      // The code pasted with the link is tried first; a prompt after it, or after the user's
      // own answer, means that code was wrong.
      this.passwordWrong.hidden = !(share.hasCode || this.answered.has(share.id));
      if (passwordWasHidden) this.passwordInput.focus();
    }
    if (kind === 'captcha') {
      const address = api.captchaAddress(share.id, this.rounds.get(share.id) || 0);
      if (address !== this.shownPicture) {
        this.shownPicture = address;
        this.picture.src = address;
        this.captchaInput.value = '';
        this.captchaInput.focus();
        this.say(this.captcha, '');
      }
    } else {
      this.shownPicture = '';
    }
    this.tick();
  }

  tick() {
    if (!this.share || !this.share.prompt) return;
    const left = Math.max(0, Math.round(this.share.prompt.expires - api.serviceNow()));
    const text = `请在 ${Math.floor(left / 60)}:${String(left % 60).padStart(2, '0')} 内回答，否则放弃解析这个分享`;
    for (const form of [this.password, this.captcha])
      form.querySelector('.prompt-time').textContent = text;
  }

  say(form, text) {
    form.querySelector('.prompt-error').textContent = text;
  }

  async send(form, action) {
    if (this.sending || !this.share) return;
    this.sending = true;
    const id = this.share.id;
    try {
      await action(id);
      this.say(form, '');
      return true;
    } catch (e) {
      if (e.word === 'no-prompt') this.say(form, '这个提示已经结束');
      else this.onError(e, (text) => this.say(form, text));
      return false;
    } finally {
      this.sending = false;
    }
  }

  async answerPassword() {
    const code = this.passwordInput.value.trim();
    if (!code) return this.say(this.password, '请输入提取密码!');
    const id = this.share && this.share.id;
    if (await this.send(this.password, (shareId) => api.answerPassword(shareId, code))) {
      this.answered.add(id);
      this.passwordInput.value = '';
      this.password.hidden = true;
    }
  }

  async answerCaptcha() {
    const answer = this.captchaInput.value.trim();
    if (!answer) return this.say(this.captcha, '请输入验证码!');
    if (await this.send(this.captcha, (id) => api.answerCaptcha(id, answer))) this.captcha.hidden = true;
  }

  async renew() {
    // The picture changes when the service says a fresh one is up.
    await this.send(this.captcha, (id) => api.renewCaptcha(id));
  }
}
