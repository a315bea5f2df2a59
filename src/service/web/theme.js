// Light or dark: the system's choice unless the user picked one, kept across visits. A plain
// script in the head, so the stored choice holds before the first paint and no light page
// flashes before a dark one.
(function () {
  const KEY = 'sharefetch.theme';
  const MODES = ['system', 'light', 'dark'];
  const LABELS = { system: '跟随系统', light: '浅色', dark: '深色' };
  let mode = 'system';
  try {
    const stored = localStorage.getItem(KEY);
    if (MODES.includes(stored)) mode = stored;
  } catch (e) {
    // storage refused (a private window): the system's choice
  }

  // The root always carries the theme in force, the system's resolved here, so that the
  // stylesheet holds the dark palette once.
  const systemDark = window.matchMedia('(prefers-color-scheme: dark)');
  function apply() {
    document.documentElement.dataset.theme =
      mode === 'system' ? (systemDark.matches ? 'dark' : 'light') : mode;
    const button = document.getElementById('theme');
    if (button) button.textContent = LABELS[mode];
  }

  apply();
  systemDark.addEventListener('change', apply);
  document.addEventListener('DOMContentLoaded', () => {
    apply();
    document.getElementById('theme').addEventListener('click', () => {
      mode = MODES[(MODES.indexOf(mode) + 1) % MODES.length];
      try {
        localStorage.setItem(KEY, mode);
      } catch (e) {
        // kept for this page only
      }
      apply();
    });
  });
})();
