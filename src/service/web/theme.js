// Light or dark: the system's choice unless the user picked one, kept across visits.
const KEY = 'sharefetch.theme';
const MODES = ['system', 'light', 'dark'];
const LABELS = { system: '跟随系统', light: '浅色', dark: '深色' };

function stored() {
  try {
    const mode = localStorage.getItem(KEY);
    return MODES.includes(mode) ? mode : 'system';
  } catch (e) {
    return 'system';  // storage refused (a private window): the system's choice
  }
}

function apply(mode, button) {
  if (mode === 'system') delete document.documentElement.dataset.theme;
  else document.documentElement.dataset.theme = mode;
  button.textContent = LABELS[mode];
}

export function setUpTheme(button) {
  let mode = stored();
  apply(mode, button);
  button.addEventListener('click', () => {
    mode = MODES[(MODES.indexOf(mode) + 1) % MODES.length];
    try {
      localStorage.setItem(KEY, mode);
    } catch (e) {
      // kept for this page only
    }
    apply(mode, button);
  });
}
