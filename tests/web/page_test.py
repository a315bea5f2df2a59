#!/usr/bin/python3
"""The service's page in a real headless browser, against sharefetchd and share-sim started
here on free loopback ports.

  prompts  log in, paste a protected share's message with a wrong code, answer the password
           and captcha prompts in the page (a new picture on click among them), see the tree,
           open a folder and page through it; then the service goes away and comes back, and
           the page shows the lost stream and recovers by itself.
  phone    the layout at 390x844 and wide, light and dark (by the system and by the switch,
           which is remembered), the download list among it: nothing cut off sideways;
           screenshots of each. All of it through nginx serving the service under a sub-path
           (the small proxy here when nginx is not installed).
  download a protected share's message pasted, its tree, files and a folder chosen and then
           全部下载: every file ends 下载完毕 in the list, its bytes on disk exactly the share's.
           Then an aria2c started here is added as a downloader with a secret and tested, the
           share pasted again goes onto it whole, and its batch shows in 下载历史; the secret
           is never in the page nor in any answer or event the page received after saving.
  bulk     a throttled share downloading: the filter's rows paused and resumed all at once, one
           row by the keyboard, sorting by a column, a removal asked in the page first.

Exit 77 (skipped) only when the browser or its driver is not installed.
"""
import argparse
import hashlib
import http.client
import http.server
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service as DriverService
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("python3-selenium is not installed (tools/deps.sh installs it)")
    sys.exit(77)

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"
WAIT = 30  # the most any condition below is waited for, never a pause


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ShareSim:
    def __init__(self, program, fixture, log):
        # Its standard input is a pipe: if this script dies, the simulator stops with it.
        self.process = subprocess.Popen(
            [program, "--fixture", fixture, "--log", log, "--exit-on-eof"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.log = log
        first = self.process.stdout.readline()
        found = re.search(r"listening on (http://127\.0\.0\.1:\d+)", first)
        check(found, "share-sim did not start: " + first)
        self.url = found.group(1)
        self.shares = {}
        with open(fixture, encoding="utf-8") as f:
            wanted = len(json.load(f)["shares"])
        while len(self.shares) < wanted:
            line = self.process.stdout.readline()
            found = re.match(r"share (\w+): (\S+)", line)
            check(found, "share-sim printed: " + line)
            self.shares[found.group(1)] = found.group(2)

    def captcha_tokens(self):
        tokens = []
        with open(self.log, encoding="utf-8") as f:
            for line in f:
                target = json.loads(line).get("target")
                if isinstance(target, str) and target.startswith("/genimage?"):
                    tokens.append(target.split("?", 1)[1])
        return tokens

    def captcha_answer(self, token):
        with urllib.request.urlopen(self.url + "/__sim/captcha?" + token, timeout=10) as reply:
            return reply.read().decode()

    def stop(self):
        self.process.stdin.close()
        self.process.terminate()
        self.process.wait(timeout=20)


class Daemon:
    def __init__(self, program, state, port, share_host, downloads):
        self.downloads = downloads
        self.work = os.path.dirname(state)
        self.command = [program, "--state-dir", state, "--port", str(port),
                        "--share-host", share_host, "--download-dir", downloads]
        self.url = "http://127.0.0.1:%d/" % port
        self.password = None
        self.start()

    def start(self):
        self.process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, text=True)
        self.lines = []
        while True:
            line = self.process.stderr.readline()
            check(line, "sharefetchd stopped at start: " + "".join(self.lines))
            self.lines.append(line)
            found = re.search(r"the login password is (\S+)", line)
            if found:
                self.password = found.group(1)
            if "listening on" in line:
                break
        check(self.password, "sharefetchd showed no first password")
        # Whatever it writes later is kept, so a full pipe never stops it.
        threading.Thread(target=lambda: self.lines.extend(self.process.stderr), daemon=True).start()

    def stop(self):
        """Stops it as SIGTERM does and checks it ended well (a sanitizer's report ends it
        otherwise)."""
        self.process.terminate()
        code = self.process.wait(timeout=20)
        check(code == 0, "sharefetchd ended with %s: %s" % (code, "".join(self.lines[-20:])))


class Aria2:
    """aria2c with its JSON-RPC on a free loopback port and a secret; it ends with this script."""

    def __init__(self, directory, secret):
        os.makedirs(directory, exist_ok=True)
        self.directory = directory
        # Another process may take the free port before aria2c binds it: then it ends at once.
        for _ in range(5):
            port = free_port()
            self.process = subprocess.Popen(
                ["aria2c", "--no-conf", "--enable-rpc", "--rpc-listen-all=false",
                 "--rpc-listen-port=%d" % port, "--rpc-secret=" + secret, "--dir=" + directory,
                 "--stop-with-process=%d" % os.getpid(), "--file-allocation=none",
                 "--disable-ipv6", "--quiet"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.url = "http://127.0.0.1:%d/jsonrpc" % port
            for _ in range(400):
                if self.process.poll() is not None:
                    break
                try:
                    with socket.create_connection(("127.0.0.1", port), timeout=1):
                        return
                except OSError:
                    time.sleep(0.05)
            self.stop()
        raise Failure("aria2c did not start")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=20)


class SubPathProxy:
    """A reverse proxy that serves the service under /sharefetch/ on a port of its own, as a
    home server's would: the prefix is stripped, the headers passed as they came, the answers
    streamed (the event stream among them)."""

    PREFIX = "/sharefetch"

    def __init__(self, target_port):
        proxy = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def forward(self):
                if not self.path.startswith(proxy.PREFIX + "/"):
                    self.send_error(404)
                    return
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else None
                upstream = http.client.HTTPConnection("127.0.0.1", target_port, timeout=60)
                upstream.putrequest(self.command, self.path[len(proxy.PREFIX):],
                                    skip_host=True, skip_accept_encoding=True)
                for name, value in self.headers.items():
                    upstream.putheader(name, value)
                upstream.endheaders(body)
                answer = upstream.getresponse()
                self.send_response(answer.status)
                for name, value in answer.getheaders():
                    if name.lower() not in ("transfer-encoding", "connection", "content-length"):
                        self.send_header(name, value)
                self.send_header("Connection", "close")
                self.end_headers()
                try:
                    while True:
                        chunk = answer.read1(65536)
                        if not chunk:
                            break
                        self.wfile.write(chunk)
                        self.wfile.flush()
                except (OSError, http.client.HTTPException):
                    pass  # the browser left, or the service ended its stream as it stopped
                upstream.close()

            do_GET = do_POST = do_DELETE = forward

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = "http://127.0.0.1:%d%s/" % (self.server.server_address[1], self.PREFIX)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class Nginx:
    """Debian's nginx in front of the service under /sub/path/, as a home server would have it:
    its own configuration in a temporary folder, a free port, the event stream unbuffered."""

    PROGRAM = "/usr/sbin/nginx"
    PREFIX = "/sub/path"

    def __init__(self, target_port, work):
        self.work = os.path.join(work, "nginx")
        os.makedirs(self.work, exist_ok=True)
        port = free_port()
        config = os.path.join(self.work, "nginx.conf")
        with open(config, "w", encoding="utf-8") as f:
            f.write("""
%(user)s
daemon off;
master_process off;
worker_processes 1;
pid %(work)s/nginx.pid;
error_log %(work)s/error.log warn;
events { worker_connections 128; }
http {
  access_log off;
  client_body_temp_path %(work)s/body;
  proxy_temp_path %(work)s/proxy;
  fastcgi_temp_path %(work)s/fastcgi;
  uwsgi_temp_path %(work)s/uwsgi;
  scgi_temp_path %(work)s/scgi;
  types { text/html html; text/css css; application/javascript js; image/svg+xml svg; }
  server {
    listen 127.0.0.1:%(port)d;
    location %(prefix)s/ {
      proxy_pass http://127.0.0.1:%(target)d/;
      proxy_http_version 1.1;
      proxy_set_header Host $http_host;
      proxy_set_header Connection "";
      proxy_set_header X-Forwarded-For $remote_addr;
      proxy_buffering off;
      proxy_read_timeout 1h;
    }
  }
}
""" % {"user": "user root;" if os.geteuid() == 0 else "", "work": self.work, "port": port,
       "prefix": self.PREFIX, "target": target_port})
        self.process = subprocess.Popen(
            [self.PROGRAM, "-p", self.work, "-c", config, "-e", os.path.join(self.work, "error.log")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.url = "http://127.0.0.1:%d%s/" % (port, self.PREFIX)
        # Ready once it answers; an early exit says why.
        for _ in range(200):
            check(self.process.poll() is None, "nginx did not start: " + self.process.stderr.read())
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1):
                    return
            except OSError:
                time.sleep(0.05)
        raise Failure("nginx does not answer on port %d" % port)

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=20)


def sub_path_proxy(target_port, work):
    return Nginx(target_port, work) if os.path.exists(Nginx.PROGRAM) else SubPathProxy(target_port)


def browser(width, height, extra=(), network_log=False):
    for path in (CHROMIUM, DRIVER):
        if not os.path.exists(path):
            print(path + " is not installed (tools/deps.sh installs chromium and chromium-driver)")
            sys.exit(77)
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    options.add_argument("--headless=new")
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")
    options.add_argument("--disable-dev-shm-usage")
    options.add_argument("--disable-gpu")
    options.add_argument("--lang=zh-CN")
    options.add_argument("--window-size=%d,%d" % (width, height))
    for argument in extra:
        options.add_argument(argument)
    logs = {"browser": "ALL"}
    if network_log:
        # The performance log holds the network's events: what the page was answered is there.
        logs["performance"] = "ALL"
    options.set_capability("goog:loggingPrefs", logs)
    driver = webdriver.Chrome(service=DriverService(executable_path=DRIVER), options=options)
    view(driver, width, height)
    return driver


def view(driver, width, height, mobile=False):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})


def system_scheme(driver, scheme):
    driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
        "features": [{"name": "prefers-color-scheme", "value": scheme}]})


def wait(driver, condition, what):
    # The page redraws as events come: an element read as it goes is read again.
    waiting = WebDriverWait(driver, WAIT, poll_frequency=0.1,
                            ignored_exceptions=[StaleElementReferenceException])
    try:
        return waiting.until(lambda d: condition())
    except TimeoutException as e:
        raise Failure("waited in vain for " + what) from e


def shown(driver, css):
    found = driver.find_elements(By.CSS_SELECTOR, css)
    return bool(found) and found[0].is_displayed()


def text(driver, css):
    return driver.find_element(By.CSS_SELECTOR, css).text


def entry_names(driver):
    return [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#entries li .name")]


def page_errors(driver):
    """What the page's console said went wrong: a script error or a refused load (the CSP)."""
    # A service without downloaders answers 404 for their list; the page then offers our own
    # engine alone.
    without = "api/v1/downloaders - Failed to load resource: the server responded with a status of 404"
    return [entry["message"] for entry in driver.get_log("browser")
            if entry["level"] == "SEVERE" and "favicon" not in entry["message"]
            and without not in entry["message"]]


def log_in(driver, daemon, wrong_first, url=None):
    driver.get(url or daemon.url)
    wait(driver, lambda: shown(driver, "#login-password"), "the login form")
    check(not shown(driver, "#app"), "the page is shown before the login")
    field = driver.find_element(By.ID, "login-password")
    if wrong_first:
        field.send_keys("not the password", Keys.ENTER)
        wait(driver, lambda: text(driver, "#login-error") == "密码错误", "the wrong password's message")
        check(not shown(driver, "#app"), "a wrong password opened the page")
        field.clear()
    field.send_keys(daemon.password, Keys.ENTER)
    wait(driver, lambda: shown(driver, "#paste-text"), "the paste box after logging in")


def paste(driver, message):
    """Pastes `message` as the clipboard would (typed, its line breaks would be Enters), then
    presses Enter, which parses."""
    box = driver.find_element(By.ID, "paste-text")
    box.clear()
    driver.execute_script("arguments[0].value = arguments[1];"
                          "arguments[0].dispatchEvent(new Event('input'));", box, message)
    box.send_keys(Keys.END, Keys.ENTER)


def folder_button(driver, name):
    for button in driver.find_elements(By.CSS_SELECTOR, "#entries li.folder .name button"):
        if button.text.endswith(name):
            return button
    raise Failure("no folder %s among %s" % (name, entry_names(driver)))


def scenario_prompts(driver, sim, daemon, out):
    log_in(driver, daemon, wrong_first=True)
    paste(driver, "链接：" + sim.shares["1lock"] + " \n提取码：zz99 --来自分享的超级会员v1的分享")

    wait(driver, lambda: shown(driver, "#password-prompt"), "the password prompt")
    check(shown(driver, "#password-wrong"), "the tried code is not said to be wrong")
    check(text(driver, "#password-prompt h3") == "请输入提取密码", "the password prompt's title")
    check("请输入提取密码" in text(driver, "#share-list"), "the share list does not show the prompt")
    # The prompt's deadline, 600 s after it came, in the service's time.
    deadline = text(driver, "#password-prompt .prompt-time")
    check(re.match(r"请在 (10:00|9:[0-5]\d) 内回答", deadline), "the deadline: " + deadline)
    check(text(driver, "#paste-text") == "", "the paste box kept the parsed text")
    field = driver.find_element(By.ID, "password-input")
    field.send_keys(Keys.ENTER)
    wait(driver, lambda: text(driver, "#password-prompt .prompt-error") == "请输入提取密码!",
         "the reminder for an empty code")
    field.send_keys("ab12", Keys.ENTER)

    wait(driver, lambda: shown(driver, "#captcha-prompt"), "the captcha prompt")
    check(not shown(driver, "#password-prompt"), "the password prompt stays after its answer")
    loaded = "const i = document.getElementById('captcha-picture');" \
             "return i.complete && i.naturalWidth > 0 ? i.currentSrc : '';"
    first_picture = wait(driver, lambda: driver.execute_script(loaded), "the captcha picture")
    first_token = wait(driver, lambda: (sim.captcha_tokens() or [None])[-1], "a captcha fetched")
    driver.save_screenshot(os.path.join(out, "captcha-prompt.png"))

    # A click on an unreadable picture brings a new one, fetched again by the page.
    driver.find_element(By.ID, "captcha-renew").click()
    wait(driver, lambda: sim.captcha_tokens()[-1] != first_token, "a fresh captcha at the sim")
    wait(driver, lambda: driver.execute_script(loaded) not in ("", first_picture),
         "the fresh captcha picture in the page")
    token = sim.captcha_tokens()[-1]
    # The first picture's answer no longer counts; the fourth character answers at once.
    driver.find_element(By.ID, "captcha-input").send_keys(sim.captcha_answer(token))

    wait(driver, lambda: shown(driver, "#entries li"), "the share's tree")
    check(not shown(driver, "#captcha-prompt"), "the captcha prompt stays after its answer")
    check(text(driver, "#detail-state") == "解析完成", "state: " + text(driver, "#detail-state"))
    names = entry_names(driver)
    for name in ("相册", "文档", "说明.txt", "安装包.bin"):
        check(any(n.endswith(name) for n in names), "%s not in the tree: %s" % (name, names))
    sizes = [(e.find_element(By.CSS_SELECTOR, ".name").text, e.find_element(By.CSS_SELECTOR, ".size").text)
             for e in driver.find_elements(By.CSS_SELECTOR, "#entries li.file")]
    check(("700.00MB" in [size for name, size in sizes if name.endswith("安装包.bin")]),
          "the sizes as shown: %s" % sizes)
    check("共 134 个文件，3 个文件夹" in text(driver, "#totals"), "totals: " + text(driver, "#totals"))
    check(driver.find_element(By.ID, "download-all").is_enabled() and
          not driver.find_element(By.ID, "download-chosen").is_enabled(),
          "下载所选 is not disabled while nothing is chosen, or 全部下载 is")

    # A folder opens by itself, a page of 100 at a time.
    folder_button(driver, "相册").click()
    wait(driver, lambda: "IMG_0001.jpg" in " ".join(entry_names(driver)), "the folder's files")
    check(len(entry_names(driver)) == 100, "one page holds %d entries" % len(entry_names(driver)))
    check(text(driver, "#page-place") == "第 1–100 个，共 130 个", text(driver, "#page-place"))
    check(text(driver, "#crumbs").split() == ["全部文件", "›", "相册"], text(driver, "#crumbs"))
    driver.find_element(By.ID, "page-next").click()
    wait(driver, lambda: len(entry_names(driver)) == 30, "the second page")
    check(entry_names(driver)[-1].endswith("IMG_0130.jpg"), entry_names(driver)[-1])
    # Checking a folder chooses what is in it.
    driver.find_element(By.CSS_SELECTOR, "#crumbs button").click()
    wait(driver, lambda: len(entry_names(driver)) == 4, "the top folder again")
    folder_button(driver, "文档").find_element(By.XPATH, "../../label/input").click()
    folder_button(driver, "文档").click()
    wait(driver, lambda: any(n.endswith("报告.pdf") for n in entry_names(driver)), "文档's files")
    boxes = driver.find_elements(By.CSS_SELECTOR, "#entries input[type=checkbox]")
    check(boxes and all(b.is_selected() and not b.is_enabled() for b in boxes),
          "the files of a checked folder are not shown chosen")

    # The service goes away: the page says so, and once it is back, recovers by itself.
    daemon.stop()
    wait(driver, lambda: shown(driver, "#link-state"), "the lost connection shown")
    daemon.start()
    wait(driver, lambda: not shown(driver, "#link-state"), "the connection recovered")
    check(shown(driver, "#entries li") and not shown(driver, "#login"), "the view after recovery")
    # A link dropped onto the page is parsed as if pasted.
    driver.execute_script("""
      const data = new DataTransfer();
      data.setData('text/uri-list', '# dragged from a chat\\r\\n' + arguments[0]);
      document.querySelector('#detail').dispatchEvent(
          new DragEvent('drop', {dataTransfer: data, bubbles: true, cancelable: true}));""",
                          sim.shares["1trip"])
    wait(driver, lambda: len(driver.find_elements(By.CSS_SELECTOR, "#share-list li")) == 2,
         "a share dropped after the recovery")
    wait(driver, lambda: "解析完成" in text(driver, "#detail-state"), "the new share resolved")
    check(sim.shares["1trip"] in text(driver, "#detail-url"), "the dropped share is not shown")
    # Removed after a confirmation, it is gone from the service too, not only from the page.
    driver.find_element(By.ID, "remove").click()
    answer_dialog(driver, True)
    wait(driver, lambda: len(driver.find_elements(By.CSS_SELECTOR, "#share-list li")) == 1,
         "the removed share gone from the list")
    check(shown(driver, "#detail-empty"), "the removed share is still shown")
    driver.refresh()
    wait(driver, lambda: shown(driver, "#share-list li"), "the list after a reload")
    check(len(driver.find_elements(By.CSS_SELECTOR, "#share-list li")) == 1 and
          sim.shares["1lock"] in text(driver, "#share-list"), "the service kept the removed share")
    errors = page_errors(driver)
    check(not [e for e in errors if "api/v1/events" not in e and "ERR_CONNECTION" not in e
               and "401" not in e],
          "the page's console: %s" % errors)


def no_sideways_cut(driver, where, device_width):
    # A phone's browser widens its layout to a page wider than the device (and shrinks it to
    # fit), so the page is measured against the device's width, not against the window's.
    width = driver.execute_script("return document.documentElement.scrollWidth")
    check(width <= device_width, "%s: the page is %d px wide on a %d px screen"
          % (where, width, device_width))
    # Nothing shown may reach past the screen's right edge either (a clipped box hides it).
    past = driver.execute_script("""
      const out = [];
      for (const e of document.querySelectorAll('body *')) {
        const r = e.getBoundingClientRect();
        if (r.width && r.height && e.checkVisibility() && r.right > arguments[0] + 0.5)
          out.push(e.tagName + '#' + e.id + '.' + e.className + ' ' + Math.round(r.right));
      }
      return out;""", device_width)
    check(not past, "%s: cut off on the right: %s" % (where, past[:5]))


def scenario_phone(driver, sim, daemon, out):
    # All of it under a reverse proxy's sub-path: the page's addresses are relative.
    proxy = sub_path_proxy(int(daemon.url.rstrip("/").rsplit(":", 1)[1]), daemon.work)
    try:
        phone_and_themes(driver, sim, daemon, out, proxy.url)
    finally:
        proxy.stop()


def phone_and_themes(driver, sim, daemon, out, url):
    view(driver, 390, 844, mobile=True)
    system_scheme(driver, "light")
    driver.get(url)
    wait(driver, lambda: shown(driver, "#login-password"), "the login form")
    no_sideways_cut(driver, "the login form", 390)
    log_in(driver, daemon, wrong_first=False, url=url)
    no_sideways_cut(driver, "the paste box", 390)
    paste(driver, "这是我的旅行照片 " + sim.shares["1trip"] + " 快来看")
    wait(driver, lambda: shown(driver, "#entries li"), "the tree")
    check(shown(driver, "#missing") and "受限" in text(driver, "#missing-list"),
          "the folder left out is not named: " + text(driver, "#missing"))
    check(text(driver, "#detail-state") == "解析完成，有文件夹未能列出", text(driver, "#detail-state"))
    left_out = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#entries li .left-out")]
    check(left_out == ["未能列出"] and "未能列出" in folder_button(driver, "受限").find_element(
        By.XPATH, "..").text, "the folder left out is not marked in the tree")
    # Cards, not columns: a row's size sits under its name, and the targets are finger-sized.
    row = driver.find_elements(By.CSS_SELECTOR, "#entries li.file")[0]
    name = row.find_element(By.CSS_SELECTOR, ".name").rect
    size = row.find_element(By.CSS_SELECTOR, ".size").rect
    check(size["y"] >= name["y"] + name["height"] - 1, "the size is not under the name")
    check(driver.find_element(By.ID, "parse").rect["height"] >= 44, "the parse button is small")
    check(not shown(driver, ".tree-head"), "the column heads show on a phone")
    no_sideways_cut(driver, "the tree", 390)
    driver.save_screenshot(os.path.join(out, "phone-light.png"))

    # The download list as cards, through the proxy's event stream.
    paste(driver, "链接: %s 提取码: pk34" % sim.shares["1pack"])
    wait(driver, lambda: any(n.endswith("合集") for n in entry_names(driver)), "the second share's tree")
    driver.find_element(By.ID, "download-all").click()
    wait(driver, lambda: len(list_rows(driver)) == 5 and
         all(state == "下载完毕" for _, state, _ in list_rows(driver)), "the files done on a phone")
    # The totals are asked for once the last file has ended: they too say all is done.
    wait(driver, lambda: text(driver, "#all-files") == "已完成 5/5 个文件" and
         text(driver, "#all-speed") == "下载速度：0KB", "the totals once all is done")
    driver.execute_script("document.getElementById('transfers').scrollIntoView()")
    no_sideways_cut(driver, "the download list", 390)
    driver.save_screenshot(os.path.join(out, "phone-downloads-light.png"))
    driver.execute_script("window.scrollTo(0, 0)")

    # Dark by the system.
    system_scheme(driver, "dark")
    background = "return getComputedStyle(document.body).backgroundColor"
    wait(driver, lambda: driver.execute_script(background) != "rgb(243, 245, 248)", "dark colours")
    dark = driver.execute_script(background)
    no_sideways_cut(driver, "the tree, dark", 390)
    driver.save_screenshot(os.path.join(out, "phone-dark.png"))

    # Wide: two columns, the list beside the tree.
    view(driver, 1280, 800)
    wait(driver, lambda: shown(driver, ".tree-head"), "the column heads when wide")
    # The download rows take the wide layout's height: each right under the one before.
    stacked = """return [...document.querySelectorAll('#dl-space .dl-row')]
      .filter((r) => !r.hidden).sort((a, b) => a.index - b.index)
      .map((r) => r.getBoundingClientRect()).map((r) => [r.top, r.bottom])"""
    wait(driver, lambda: (lambda rows: len(rows) == 5 and all(
        abs(a[1] - b[0]) < 1 for a, b in zip(rows, rows[1:])))(driver.execute_script(stacked)),
        "the download rows stacked when wide")
    shares = driver.find_element(By.CSS_SELECTOR, ".shares").rect
    detail = driver.find_element(By.ID, "detail").rect
    check(detail["x"] >= shares["x"] + shares["width"], "the list and the tree are not side by side")
    no_sideways_cut(driver, "wide", 1280)
    driver.save_screenshot(os.path.join(out, "wide-dark.png"))

    # The switch beats the system's choice and is remembered.
    switch = driver.find_element(By.ID, "theme")
    check(switch.text == "跟随系统", "the switch starts at " + switch.text)
    switch.click()
    check(switch.text == "浅色", "the switch shows " + switch.text)
    wait(driver, lambda: driver.execute_script(background) == "rgb(243, 245, 248)", "light colours")
    driver.refresh()
    wait(driver, lambda: shown(driver, "#share-list li"), "the page after a reload")
    check(driver.find_element(By.ID, "theme").text == "浅色", "the switch is forgotten")
    check(driver.execute_script(background) == "rgb(243, 245, 248)", "light is not kept")
    check(not shown(driver, "#login"), "a reload asks for the login again")
    driver.find_element(By.CSS_SELECTOR, "#share-list li button").click()
    wait(driver, lambda: shown(driver, "#entries li"), "the tree after a reload")
    driver.save_screenshot(os.path.join(out, "wide-light.png"))
    driver.find_element(By.ID, "theme").click()
    check(driver.execute_script(background) == dark, "dark by the switch differs from the system's")
    errors = page_errors(driver)
    check(not errors, "the page's console: %s" % errors)

    # Logging out ends the session at the service: a reload asks for the password again.
    driver.find_element(By.ID, "logout").click()
    wait(driver, lambda: shown(driver, "#login-password"), "the login form after logging out")
    check(not shown(driver, "#app"), "the shares stay shown after logging out")
    status = driver.execute_async_script(
        "fetch('api/v1/session').then((r) => arguments[0](r.status))")
    check(status == 401, "the session still opens the API after logging out: %s" % status)
    driver.refresh()
    wait(driver, lambda: shown(driver, "#login-password"), "the login form after a reload")


def answer_dialog(driver, yes):
    """Answers the page's own question (not the browser's confirm)."""
    wait(driver, lambda: driver.execute_script("return document.getElementById('ask').open"),
         "the page's question")
    said = text(driver, "#ask-text")
    driver.find_element(By.CSS_SELECTOR, "#ask-yes" if yes else "#ask button[value=no]").click()
    wait(driver, lambda: not driver.execute_script("return document.getElementById('ask').open"),
         "the question closed")
    return said


def list_rows(driver):
    """The download rows in the page's document, top to bottom: (name, state, percent)."""
    return driver.execute_script("""
      return [...document.querySelectorAll('#dl-space .dl-row')]
        .filter((r) => !r.hidden && r.dataset.id)
        .sort((a, b) => a.index - b.index)
        .map((r) => [r.querySelector('.name').textContent, r.querySelector('.state').textContent,
                     r.querySelector('.percent').textContent]);""")


def list_row(driver, name):
    for row in driver.find_elements(By.CSS_SELECTOR, "#dl-space .dl-row"):
        if row.is_displayed() and row.find_element(By.CSS_SELECTOR, ".name").text.endswith(name):
            return row
    raise Failure("no row %s in the list: %s" % (name, list_rows(driver)))


def api_rows(driver):
    """Every download row as the service has it, asked by the page's own session."""
    return driver.execute_async_script(
        "fetch('api/v1/downloads?limit=1000').then((r) => r.json())"
        ".then((a) => arguments[0](a.downloads))")


def fixture_files(items, folder=""):
    for item in items:
        path = folder + "/" + item["name"]
        if "children" in item:
            yield from fixture_files(item["children"], path)
        elif "size" in item:
            yield path, item["fs_id"], item["size"]


def share_digests(sim, share, work):
    """SHA-256 of each file of `share` by its path, from the very bytes the simulator serves."""
    with open(sim.fixture, encoding="utf-8") as f:
        fixture = json.load(f)
    fixture["shares"] = [s for s in fixture["shares"] if s["id"] == share]
    alone = os.path.join(work, "one-share.json")
    with open(alone, "w", encoding="utf-8") as f:
        json.dump(fixture, f)
    written = os.path.join(work, "served")
    os.makedirs(written, exist_ok=True)
    subprocess.run([sim.program, "--fixture", alone, "--write-files", written], check=True,
                   stdout=subprocess.DEVNULL)
    found = {}
    for root, _, names in os.walk(written):
        for name in names:
            found[name] = digest(os.path.join(root, name))
    return {path: (found[str(fs_id)], size)
            for path, fs_id, size in fixture_files(fixture["shares"][0]["items"])}


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def scenario_download(driver, sim, daemon, out):
    # The browser's own notices, each one kept where the test can read it.
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": """
      window.noticesShown = [];
      if (window.Notification) {
        window.Notification = class extends window.Notification {
          constructor(title, options) {
            super(title, options);
            window.noticesShown.push([title, options.body]);
          }
        };
      }"""})
    log_in(driver, daemon, wrong_first=False)
    paste(driver, "链接: %s 提取码: pk34 复制这段内容后打开App，操作更方便哦" % sim.shares["1pack"])
    wait(driver, lambda: any(n.endswith("合集") for n in entry_names(driver)), "the share's tree")
    chosen = driver.find_element(By.ID, "download-chosen")
    check(not chosen.is_enabled(), "下载所选 is enabled with nothing chosen")
    # A file at the top and a folder further down, then 下载所选.
    readme = [row for row in driver.find_elements(By.CSS_SELECTOR, "#entries li.file")
              if row.find_element(By.CSS_SELECTOR, ".name").text.endswith("读我.txt")]
    check(readme, "读我.txt is not in the tree: %s" % entry_names(driver))
    readme[0].find_element(By.CSS_SELECTOR, "input").click()
    folder_button(driver, "合集").click()
    wait(driver, lambda: any(n.endswith("附录") for n in entry_names(driver)), "合集's entries")
    folder_button(driver, "附录").find_element(By.XPATH, "../../label/input").click()
    check(chosen.is_enabled(), "下载所选 stays disabled with files chosen")
    # A sub-folder that climbs out is refused before anything is asked of the service.
    field = driver.find_element(By.ID, "download-folder")
    field.send_keys("../外面")
    chosen.click()
    wait(driver, lambda: "不能" in text(driver, "#download-said"), "the refused sub-folder")
    check(api_rows(driver) == [], "a refused sub-folder started downloads")
    field.clear()
    chosen.click()
    wait(driver, lambda: text(driver, "#download-said") == "已加入下载列表 2 个文件",
         "the chosen file and folder added")
    check(not chosen.is_enabled(), "the choice stays after it was downloaded")
    driver.find_element(By.ID, "download-all").click()
    wait(driver, lambda: text(driver, "#download-said") == "已加入下载列表 3 个文件",
         "全部下载 adding only the files not listed yet")
    expected = share_digests(sim, "1pack", daemon.work)
    wait(driver, lambda: len(list_rows(driver)) == 5 and
         all(state == "下载完毕" and percent == "100.00%" for _, state, percent in list_rows(driver)),
         "every file 下载完毕 in the list")
    check(sorted(name for name, _, _ in list_rows(driver)) ==
          sorted(path.lstrip("/") for path in expected), "the list: %s" % list_rows(driver))
    for path, (sha, size) in expected.items():
        on_disk = os.path.join(daemon.downloads, path.lstrip("/"))
        check(os.path.isfile(on_disk), "not on disk: " + on_disk)
        check(os.path.getsize(on_disk) == size and digest(on_disk) == sha,
              "%s differs from the share's bytes" % path)

    # The same share onto an aria2 added in the page, its secret written and never read back.
    secret = "page-secret-%d" % os.getpid()
    aria2 = Aria2(os.path.join(daemon.work, "aria2"), secret)
    try:
        downloader_story(driver, sim, daemon, aria2, secret, expected, out)
    finally:
        aria2.stop()
    errors = page_errors(driver)
    check(not errors, "the page's console: %s" % errors)


def answers_received(driver):
    """Every API answer and event the page received since the performance log was last read."""
    bodies = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        params = message.get("params", {})
        if message["method"] == "Network.eventSourceMessageReceived":
            bodies.append(params["eventName"] + " " + params["data"])
        elif (message["method"] == "Network.loadingFinished" and
              params.get("requestId") in driver.api_requests):
            found = driver.execute_cdp_cmd("Network.getResponseBody",
                                           {"requestId": params["requestId"]})
            bodies.append(found["body"])
        elif (message["method"] == "Network.responseReceived" and
              "/api/v1/" in params["response"]["url"] and
              not params["response"]["url"].endswith("/events")):
            driver.api_requests.add(params["requestId"])
    return bodies


def downloader_story(driver, sim, daemon, aria2, secret, expected, out):
    driver.find_element(By.ID, "tab-downloaders").click()
    wait(driver, lambda: shown(driver, "#downloaders-empty"), "no downloader yet")
    driver.find_element(By.ID, "dr-name").send_keys("书房的 aria2")
    driver.find_element(By.ID, "dr-url").send_keys(aria2.url)
    driver.find_element(By.ID, "dr-secret").send_keys(secret)
    driver.api_requests = set()
    answers_received(driver)  # what came before saving is not looked at
    driver.find_element(By.CSS_SELECTOR, "#downloader-form button[type=submit]").click()
    wait(driver, lambda: text(driver, "#dr-said") == "已添加下载器“书房的 aria2”", "the downloader added")
    wait(driver, lambda: shown(driver, "#downloader-list li"), "the downloader listed")
    item = "#downloader-list li"
    check("已设密钥" in text(driver, item) and aria2.url in text(driver, item), text(driver, item))
    driver.find_element(By.XPATH, "//ul[@id='downloader-list']/li//button[.='测试']").click()
    wait(driver, lambda: shown(driver, item + " .ok") and "aria2 1." in text(driver, item + " .ok"),
         "the test's answer")
    check(re.fullmatch(r"连接成功，aria2 1\.\d+\.\d+", text(driver, item + " .ok")),
          text(driver, item + " .ok"))
    driver.execute_script("document.getElementById('transfers').scrollIntoView()")
    driver.save_screenshot(os.path.join(out, "wide-downloaders-light.png"))

    # 全部下载 onto it: a share pasted afresh, since files already listed are not asked twice.
    paste(driver, "链接: %s 提取码: pk34" % sim.shares["1pack"])
    # Newest first: the second share, shown and resolved, is the list's first.
    wait(driver, lambda: len(driver.find_elements(By.CSS_SELECTOR, "#share-list li")) == 2 and
         shown(driver, "#share-list li.state-resolved:first-child button[aria-current=true]") and
         any(n.endswith("合集") for n in entry_names(driver)), "the second share's tree")
    where = driver.find_element(By.ID, "download-where")
    wait(driver, lambda: len(where.find_elements(By.TAG_NAME, "option")) == 2, "the downloader to choose")
    where.find_element(By.XPATH, "option[.='下载器：书房的 aria2']").click()
    # Notices on (the browser's permission granted as the user would), then the page out of
    # sight before the batch can end: it is started by the button's own handler, since a
    # minimized window takes no clicks.
    origin = re.match(r"http://[^/]+", daemon.url).group(0)
    driver.execute_cdp_cmd("Browser.grantPermissions",
                           {"origin": origin, "permissions": ["notifications"]})
    driver.find_element(By.ID, "tab-downloads").click()
    driver.find_element(By.ID, "notify").click()
    wait(driver, lambda: text(driver, "#notify") == "下载结束时通知：开", "notices turned on")
    driver.minimize_window()
    check(driver.execute_script("return document.hidden"), "the minimized page is not hidden")
    driver.execute_script("document.getElementById('download-all').click()")
    wait(driver, lambda: driver.execute_script("return window.noticesShown.length") > 0,
         "the notice while the page is hidden")
    driver.maximize_window()
    view(driver, 1280, 800)
    notices = driver.execute_script("return window.noticesShown")
    check(len(notices) == 1 and notices[0][0] == "下载结束", "the notices: %s" % notices)
    wait(driver, lambda: text(driver, "#download-said") == "已加入下载列表 5 个文件", "5 files sent")
    wait(driver, lambda: len(list_rows(driver)) == 10 and
         all(state == "下载完毕" for _, state, _ in list_rows(driver)), "the aria2 rows 下载完毕")
    there = [r for r in api_rows(driver) if r["where"] == "书房的 aria2"]
    check(len(there) == 5, "rows on the downloader: %s" % there)
    for path, (sha, size) in expected.items():
        on_disk = os.path.join(aria2.directory, path.lstrip("/"))
        check(os.path.isfile(on_disk), "not on the downloader: " + on_disk)
        check(os.path.getsize(on_disk) == size and digest(on_disk) == sha,
              "%s differs on the downloader" % path)

    # The batch in 下载历史, newest first.
    driver.find_element(By.ID, "tab-history").click()
    first = "#history-list li:first-child"
    wait(driver, lambda: shown(driver, first) and "5 个文件已下载完毕" in text(driver, first),
         "the batch in the history: %s" % driver.find_element(By.ID, "history-list").text)
    total = sum(size for _, size in expected.values())
    check("失败" not in text(driver, first) and "%.2fMB" % (total / 1048576) in text(driver, first),
          text(driver, first))
    newest = driver.execute_async_script(
        "fetch('api/v1/history?limit=1').then((r) => r.json()).then((a) => arguments[0](a.history[0]))")
    check(newest["files"] == 5 and newest["filesFailed"] == 0 and
          newest["bytes"] == total, "the entry: %s" % newest)
    check(notices[0][1] == newest["title"] + "：5 个文件已下载完毕，0 个失败", "the notice: %s" % notices)

    answers = answers_received(driver)
    check(any('"hasSecret":true' in a.replace(" ", "") for a in answers) and
          any(a.startswith("download ") for a in answers),
          "the page's answers were not seen: %d" % len(answers))
    check(not [a for a in answers if secret in a], "the secret came back to the page")
    values = driver.execute_script(
        "return [...document.querySelectorAll('input')].map((i) => i.value).join(' ')")
    check(secret not in driver.page_source and secret not in values, "the secret is in the page")


def scenario_bulk(driver, sim, daemon, out):
    log_in(driver, daemon, wrong_first=False)
    paste(driver, sim.shares["1slow"])
    wait(driver, lambda: any(n.endswith("慢") for n in entry_names(driver)), "the share's tree")
    driver.find_element(By.ID, "download-all").click()
    wait(driver, lambda: text(driver, "#download-said") == "已加入下载列表 12 个文件", "12 files added")
    wait(driver, lambda: any(r["state"] == "downloading" and r["done"] > 0 for r in api_rows(driver)),
         "a file under way")
    wait(driver, lambda: any(state == "下载中" for _, state, _ in list_rows(driver)), "下载中 in the list")
    # The figures over the whole list, from the event stream.
    wait(driver, lambda: re.fullmatch(r"下载速度：([1-9]\d*KB|\d+\.\d\dMB)", text(driver, "#all-speed")),
         "the total speed")
    check(re.fullmatch(r"已完成 \d+/12 个文件", text(driver, "#all-files")), text(driver, "#all-files"))
    # By size, largest first: the service's order.
    by_size = driver.find_element(By.CSS_SELECTOR, ".dl-head [data-sort=size]")
    by_size.click()
    by_size.click()
    wait(driver, lambda: (list_rows(driver) or [("",)])[0][0].endswith("慢速-12.bin"), "the largest first")

    # Everything the filter matches, at once: 9 of the 12.
    driver.find_element(By.ID, "dl-q").send_keys("慢速-0")
    wait(driver, lambda: len(list_rows(driver)) == 9, "the filter's 9 rows")
    driver.find_element(By.ID, "dl-check-all").click()
    check(text(driver, "#dl-chosen") == "已选筛选出的全部 9 个", text(driver, "#dl-chosen"))
    driver.find_element(By.CSS_SELECTOR, ".dl-actions [data-act=pause]").click()
    wait(driver, lambda: text(driver, "#dl-said") == "已暂停 9 个下载任务", "9 paused")
    states = {r["path"].rsplit("/", 1)[1]: r["state"] for r in api_rows(driver)}
    filtered = ["慢速-%02d.bin" % i for i in range(1, 10)]
    check(all(states[n] == "paused" for n in filtered), "not all of the filter paused: %s" % states)
    check(all(states[n] != "paused" for n in ("慢速-10.bin", "慢速-11.bin", "慢速-12.bin")),
          "rows outside the filter paused: %s" % states)
    wait(driver, lambda: all(state == "已暂停" for _, state, _ in list_rows(driver)), "已暂停 shown")

    # One row by the keyboard: a click chooses it, Space resumes it.
    list_row(driver, "慢速-05.bin").find_element(By.CSS_SELECTOR, ".name").click()
    check(text(driver, "#dl-chosen") == "已选 1 个", text(driver, "#dl-chosen"))
    driver.find_element(By.ID, "dl-view").send_keys(Keys.SPACE)
    wait(driver, lambda: {r["path"].rsplit("/", 1)[1]: r["state"] for r in api_rows(driver)}[
        "慢速-05.bin"] in ("queued", "downloading"), "Space resuming the row")
    driver.find_element(By.ID, "dl-check-all").click()
    driver.find_element(By.CSS_SELECTOR, ".dl-actions [data-act=resume]").click()
    wait(driver, lambda: text(driver, "#dl-said") == "已继续 8 个下载任务", "the other 8 resumed")
    check(not [r for r in api_rows(driver) if r["state"] == "paused"], "rows stay paused")

    # The whole list, wide, light and dark.
    driver.find_element(By.ID, "dl-q").clear()
    driver.execute_script("const q = document.getElementById('dl-q');"
                          "q.dispatchEvent(new Event('input'));")
    wait(driver, lambda: len(list_rows(driver)) == 12, "the filter cleared")
    wait(driver, lambda: any(state == "下载中" for _, state, _ in list_rows(driver)), "下载中 again")
    driver.execute_script("document.getElementById('transfers').scrollIntoView()")
    driver.save_screenshot(os.path.join(out, "wide-downloads-light.png"))
    theme = driver.find_element(By.ID, "theme")
    while theme.text != "深色":
        theme.click()
    driver.execute_script("document.getElementById('transfers').scrollIntoView()")
    driver.save_screenshot(os.path.join(out, "wide-downloads-dark.png"))

    # Delete asks in the page: refused, nothing goes; agreed, the row goes.
    list_row(driver, "慢速-11.bin").find_element(By.CSS_SELECTOR, ".name").click()
    view = driver.find_element(By.ID, "dl-view")
    view.send_keys(Keys.DELETE)
    check("所选的 1 个下载任务" in answer_dialog(driver, False), "the question's words")
    check(len(api_rows(driver)) == 12, "a refused removal removed")
    view.send_keys(Keys.DELETE)
    answer_dialog(driver, True)
    wait(driver, lambda: len(list_rows(driver)) == 11, "the removed row gone from the list")
    check(not [r for r in api_rows(driver) if r["path"].endswith("慢速-11.bin")], "the service kept it")
    errors = page_errors(driver)
    check(not errors, "the page's console: %s" % errors)


SCENARIOS = {"prompts": scenario_prompts, "phone": scenario_phone,
             "download": scenario_download, "bulk": scenario_bulk}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scenario", choices=sorted(SCENARIOS), required=True)
    parser.add_argument("--bin", required=True, help="where sharefetchd and share-sim are")
    parser.add_argument("--fixture", required=True)
    parser.add_argument("--out", required=True, help="where screenshots go")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="sf-page-") as work:
        sim = ShareSim(os.path.join(args.bin, "share-sim"), args.fixture,
                       os.path.join(work, "sim.jsonl"))
        sim.program = os.path.join(args.bin, "share-sim")
        sim.fixture = args.fixture
        daemon = None
        driver = None
        try:
            daemon = Daemon(os.path.join(args.bin, "sharefetchd"), os.path.join(work, "state"),
                            free_port(), sim.url, os.path.join(work, "downloads"))
            driver = browser(1280, 800, network_log=args.scenario == "download")
            SCENARIOS[args.scenario](driver, sim, daemon, args.out)
            daemon.stop()
        except Failure as failure:
            print("FAILED:", failure)
            if driver:
                driver.save_screenshot(os.path.join(args.out, "failure-%s.png" % args.scenario))
                print("screenshot:", os.path.join(args.out, "failure-%s.png" % args.scenario))
                print("console:", page_errors(driver))
                print("download list:", list_rows(driver), text(driver, "#dl-said"))
            if daemon:
                print("sharefetchd:", "".join(daemon.lines))
            return 1
        finally:
            if driver:
                driver.quit()
            if daemon and daemon.process.poll() is None:
                daemon.process.terminate()
                daemon.process.wait(timeout=20)
            sim.stop()
    print("passed:", args.scenario)
    return 0


if __name__ == "__main__":
    sys.exit(main())
