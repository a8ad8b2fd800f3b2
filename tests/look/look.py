#!/usr/bin/env python3
"""The site as a person sees it: checks of the pages of the real server.

    look.py crawl|browser|axe|shots --quil BIN --site-tool BIN --out DIR [--axe FILE]

Each check builds a populated conference (look_site), starts the real
`quil -server` on it at a free port and visits its pages:

  crawl    follows every link reachable from the top level as a guest, as the
           registered user "reader" and as the sysop: no broken link, no
           error page, no page without a <title>; every page passes
           `tidy -errors` with no error.
  browser  loads every page type in headless Chromium at 360 px and 1280 px
           (and in the dark colour scheme), saves screenshots under DIR, and
           fails on a console error, a failed resource load, a horizontal
           scroll bar at phone width or a form field without a label.
  axe      runs axe-core in the browser on the main pages, in the light and
           the dark colour scheme: no serious or critical finding.
  shots    screenshots of the top level, a discussion and the post form at
           1280 and 360 px into DIR, nothing checked (to compare a change's
           look before and after it).

A page type whose handler the server does not have answers "... server is
unable to process ..."; it is skipped with a note naming it, never faked.
The built-in page templates are also rendered as template pages of the
document directory (/std/NAME.tpl, written by look_site) and checked in the
browser, so that their markup is checked before every handler exists.

Exit status: 0 passed, 1 failed, 77 skipped (a tool is missing).
Only the Python standard library is used.
"""

import argparse
import base64
import fcntl
import html.parser
import http.cookiejar
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

SKIP = 77

# Error pages of the request processor: their titles end in " - " and one
# of these (the built-in pages and the handlers' own error pages).
ERROR_TITLES = (
    "Unable to process", "Pathname not found", "Missing template", "Sysop Function",
    "Not Found", "Not found", "Folder Pathname Not Found", "Discussion Pathname Not Found",
    "Message Not Posted", "New Discussion Not Posted", "New Folder Not Posted", "Error",
    "Post Message", "Login failed", "Log in failed",
)
NOT_HERE = "server is unable to process"

# Commands that change the site when fetched: a crawler never follows them
# (quit, restart, deletions, switches, resets, subscriptions, mail deletion,
# user removal, clearing pictures and statistics, indexing).
CHANGING = {29, 33, 36, 40, 42, 55, 73, 75, 90, 91, 92, 93, 96, 99, 132, 140, 195, 201,
            202, 203, 205, 206, 210, 211, 218, 255}
MAX_PAGES = 1500  # per crawl (a guard against a loop of ever new addresses)
# Pages of one command in one container differ only by their place (the
# 120 messages of the long discussion, the 130 discussions of the busy
# folder are one page type each): a crawl visits at
# most this many of them, so that it stays within a minute, and says how
# many it left.
PER_CONTAINER = 12


def note(text):
    print(text, flush=True)


# ---------------------------------------------------------------------------
# The site: a populated conference and the real server on it.

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Site:
    def __init__(self, quil, site_tool):
        self.dir = tempfile.mkdtemp(prefix="quil-look-")
        subprocess.run([site_tool, self.dir], check=True)
        with open(os.path.join(self.dir, "look.json")) as f:
            self.places = json.load(f)
        self.port = free_port()
        with open(os.path.join(self.dir, "quil.set"), "w") as f:
            f.write("webPort=127.0.0.1:%d\n" % self.port)
        self.log = open(os.path.join(self.dir, "quil.out"), "w")
        self.proc = subprocess.Popen([quil, "-server"], cwd=self.dir, stdout=self.log,
                                     stderr=subprocess.STDOUT)
        self.base = "http://127.0.0.1:%d" % self.port
        deadline = time.time() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                if self.proc.poll() is not None or time.time() > deadline:
                    self.close()
                    raise RuntimeError("quil did not start")
                time.sleep(0.05)

    def url(self, command, location="", cert=""):
        return "%s/Quil?%s@%s@%s" % (self.base, command, cert,
                                     urllib.parse.quote(location, safe="/"))

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


# The page types a person meets, as (name, command, location key, role).
# The location key names a place of look.json ("" is the top level).
PAGE_TYPES = [
    ("top level", 14, "", "guest"),
    ("folder", 14, "folder", "guest"),
    ("nested folder's discussion", 14, "nested", "guest"),
    ("discussion", 14, "discussion", "guest"),
    ("long discussion", 14, "longDiscussion", "guest"),
    ("folder of many discussions", 14, "busyFolder", "guest"),
    ("message", 14, "message", "guest"),
    ("discussion outline", 230, "discussion", "guest"),
    ("log-in form", 15, "", "guest"),
    ("registration form", 18, "", "guest"),
    ("search form", 126, "", "guest"),
    ("post form (new discussion)", 9, "folder", "user"),
    ("reply form", 229, "message", "user"),
    ("preferences", 25, "", "user"),
    ("control panel", 59, "", "sysop"),
]
MAIN_PAGES = {"top level", "folder", "discussion", "post form (new discussion)", "log-in form",
              "registration form", "control panel"}


# ---------------------------------------------------------------------------
# HTTP.

class Page:
    def __init__(self, url, status, ctype, body):
        self.url, self.status, self.ctype, self.body = url, status, ctype, body

    @property
    def html(self):
        return self.ctype.startswith("text/html")

    @property
    def title(self):
        m = re.search(r"<title>(.*?)</title>", self.body, re.I | re.S)
        return m.group(1).strip() if m else None

    def not_here(self):
        return NOT_HERE in self.body

    def error(self):
        """The error title when this is an error page, else None."""
        title = self.title or ""
        for e in ERROR_TITLES:
            if title == e or title.endswith(" - " + e):
                return e
        return None


class Client:
    """A browser-like HTTP client: one cookie jar, redirects followed."""

    def __init__(self, site):
        self.site = site
        self.cert = ""
        self.jar = http.cookiejar.CookieJar()
        self.opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(self.jar))

    def fetch(self, url, form=None):
        data = urllib.parse.urlencode(form).encode() if form is not None else None
        try:
            with self.opener.open(url, data=data, timeout=30) as r:
                body = r.read()
                return Page(r.geturl(), r.status, r.headers.get("Content-Type", ""),
                            body.decode("utf-8", "replace"))
        except urllib.error.HTTPError as e:
            return Page(url, e.code, e.headers.get("Content-Type", "") if e.headers else "",
                        e.read().decode("utf-8", "replace"))
        except (urllib.error.URLError, OSError) as e:
            return Page(url, 0, "", str(e))

    def log_in(self, name, password):
        """Logs in through the log-in form's own action.  Returns None when
        done, else the reason it cannot be done on this server."""
        form = self.fetch(self.site.url(15))
        if form.not_here():
            return "the log-in form (command 15) is not handled by this server"
        m = re.search(r'<form[^>]*action="([^"]*)"', form.body)
        action = urllib.parse.urljoin(form.url, html.unescape(m.group(1))) if m else \
            self.site.url(23)
        answer = self.fetch(action, {"username": name, "password": password})
        if answer.not_here():
            return "log-in (command 23) is not handled by this server"
        if answer.status != 200 or answer.error() or 'type="password"' in answer.body:
            return "log-in as %s failed: %s %s" % (
                name, answer.status, answer.error())
        self.landing = answer
        # The session travels in the links (a cookie only where the user
        # asks for one): the certificate of the landing page's links.
        m = re.search(r'href="\?\d+@([^@"]+)@', answer.body)
        self.cert = m.group(1) if m else ""
        return None


# ---------------------------------------------------------------------------
# Links and tidy.

class Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.links, self.resources = [], []
        self._a = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "a" and a.get("href"):
            self._a = [a["href"], ""]
            self.links.append(self._a)
        elif tag == "link" and a.get("href"):
            self.resources.append(a["href"])
        elif tag in ("img", "script", "source") and a.get("src"):
            self.resources.append(a["src"])

    def handle_data(self, data):
        if self._a is not None:
            self._a[1] += data

    def handle_endtag(self, tag):
        if tag == "a":
            self._a = None


def command_of(url):
    """The command of a URL of the conference (int, or the macro name), or
    None for other addresses."""
    parts = urllib.parse.urlsplit(url)
    if not parts.path.rstrip("/").endswith("/Quil"):
        return None
    q = urllib.parse.unquote(parts.query)
    head = q.split("@", 1)[0]
    return int(head) if head.isdigit() else head


def crawl_key(url):
    """What makes two addresses the same page: the command and the location,
    without the certificate between them."""
    parts = urllib.parse.urlsplit(url)
    q = urllib.parse.unquote(parts.query)
    if "@" in q:
        bits = q.split("@", 2)
        q = bits[0] + "@@" + (bits[2] if len(bits) > 2 else "")
    return parts.path + "?" + q


def tidy_errors(body):
    r = subprocess.run(["tidy", "-errors", "-quiet", "-utf8", "--show-warnings", "no"],
                       input=body.encode(), capture_output=True)
    if r.returncode >= 2:
        return r.stderr.decode("utf-8", "replace").strip()
    return None


def run_crawl(args):
    if not shutil.which("tidy"):
        note("SKIP: tidy is not installed (tools/install-deps installs it)")
        return SKIP
    site = Site(args.quil, args.site_tool)
    failures, skipped = [], []
    try:
        for role in ("guest", "user", "sysop"):
            client = Client(site)
            start = site.url(14)
            if role != "guest":
                who = site.places["user" if role == "user" else "sysop"]
                pw = site.places["userPassword" if role == "user" else "sysopPassword"]
                why = client.log_in(who, pw)
                if why:
                    skipped.append("crawl as %s: %s" % (role, why))
                    continue
            # A session may travel in the links (the certificate) rather
            # than in a cookie: the crawl also starts from the links of the
            # page that answered the log-in.
            starts = [start]
            if role != "guest":
                parser = Links()
                parser.feed(client.landing.body)
                for href, text in parser.links:
                    url = urllib.parse.urljoin(client.landing.url, href).split("#", 1)[0]
                    if url.startswith(site.base + "/") and \
                            command_of(url) not in CHANGING and \
                            not re.search(r"log\s*-?\s*out", text, re.I):
                        starts.append(url)
            failures += crawl(site, client, role, starts, skipped)
        failures += check_other_pages(site, Client(site))
        failures += check_paging(site, Client(site))
    finally:
        site.close()
    return report(failures, skipped, args.out, "crawl")


def crawl(site, client, role, starts, skipped):
    failures = []
    seen, resources = set(), set()
    start = starts[0]
    queue = [(url, "(start)") for url in starts]
    pages = 0
    unhandled = set()  # commands that answered "unable to process" once
    per_group, left = {}, {}
    while queue:
        url, came_from = queue.pop(0)
        key = crawl_key(url)
        command = command_of(url)
        if key in seen or command in unhandled:
            continue
        seen.add(key)
        # The container is the location's parent; a location written as an
        # item's identifier (".ee6b29a", no "/") has the page that links to
        # it for its container (the 130 discussions of the busy folder).
        place = key.split("@@", 1)[-1].split("!", 1)[0]
        group = (str(command), place.rsplit("/", 1)[0] if "/" in place
                 else "from " + crawl_key(came_from).split("!", 1)[0])
        if per_group.get(group, 0) >= PER_CONTAINER:
            left[group] = left.get(group, 0) + 1
            continue
        per_group[group] = per_group.get(group, 0) + 1
        if pages >= MAX_PAGES:
            failures.append("%s: more than %d pages reachable; stopped" % (role, MAX_PAGES))
            break
        page = client.fetch(url)
        pages += 1
        where = "%s: %s (linked from %s)" % (role, url, came_from)
        if page.status != 200:
            failures.append("%s: broken link, HTTP %d" % (where, page.status))
            continue
        if not page.html:
            continue
        if page.not_here():
            if url == start:
                skipped.append("crawl as %s: the top level (command 14) is not handled by "
                               "this server" % role)
            else:
                unhandled.add(command_of(url))
                skipped.append("%s: command %s (%s, linked from %s) is not handled by this "
                               "server" % (role, command_of(url), url, came_from))
            continue
        if page.error():
            failures.append("%s: error page \"%s\"" % (where, page.error()))
            continue
        if not page.title:
            failures.append("%s: no <title>" % where)
        errs = tidy_errors(page.body)
        if errs:
            failures.append("%s: tidy errors:\n    %s" % (where, errs.replace("\n", "\n    ")))
        parser = Links()
        parser.feed(page.body)
        for href in parser.resources:
            target = urllib.parse.urljoin(page.url, href)
            if target.startswith(site.base) and target not in resources:
                resources.add(target)
                res = client.fetch(target)
                if res.status != 200:
                    failures.append("%s: resource %s answers HTTP %d" % (where, target,
                                                                        res.status))
        for href, text in parser.links:
            target = urllib.parse.urljoin(page.url, href).split("#", 1)[0]
            if not target.startswith(site.base + "/"):
                continue
            command = command_of(target)
            if command in CHANGING or re.search(r"log\s*-?\s*out", text, re.I):
                continue
            queue.append((target, url))
    note("crawl as %s: %d pages, %d resources" % (role, pages, len(resources)))
    for (command, container), n in sorted(left.items()):
        note("  command %s in %s: %d further places of the same kind not visited"
             % (command, container or "/", n))
    return failures


def check_other_pages(site, client):
    """The pages a crawl from the top level does not reach: the error pages
    and the built-in templates as template pages.  Each has a title, passes
    tidy, and its stylesheet and pictures load."""
    failures = []
    pages = [("error page", site.url(999)), ("missing template page", site.url("nosuchpage"))]
    std = os.path.join(site.dir, "html", "std")
    pages += [("template " + f[:-4], "%s/std/%s" % (site.base, f)) for f in sorted(os.listdir(std))]
    checked = 0
    for name, url in pages:
        page = client.fetch(url)
        if page.status != 200:
            failures.append("%s (%s): HTTP %d" % (name, url, page.status))
            continue
        if "<html" not in page.body.lower():
            continue  # the mail pages render nothing for a guest
        checked += 1
        if not page.title:
            failures.append("%s (%s): no <title>" % (name, url))
        errs = tidy_errors(page.body)
        if errs:
            failures.append("%s (%s): tidy errors:\n    %s" % (name, url,
                                                             errs.replace("\n", "\n    ")))
        parser = Links()
        parser.feed(page.body)
        for href in parser.resources:
            res = client.fetch(urllib.parse.urljoin(page.url, href))
            if res.status != 200:
                failures.append("%s (%s): resource %s answers HTTP %d" % (name, url, href,
                                                                         res.status))
    note("other pages: %d checked with tidy" % checked)
    return failures


PAGING_NAV = re.compile(r'<nav class="paging" aria-label="[^"]+">(.*?)</nav>', re.S)


def paging_of(page):
    """The paging of a page: ({rel or text: url}, the current page's text),
    or None when it has none."""
    m = PAGING_NAV.search(page.body)
    if not m:
        return None
    links = {}
    for a in re.finditer(r'<a href="([^"]*)"(?: rel="(\w+)")?>([^<]*)</a>', m.group(1)):
        url = urllib.parse.urljoin(page.url, html.unescape(a.group(1)))
        links[a.group(2) or a.group(3)] = url
    current = re.findall(r'<span aria-current="page">([^<]*)</span>', m.group(1))
    return links, current


def check_paging(site, client):
    """Walks the pages of the folder of many discussions by its "next"
    links and of the long discussion by its "prev" links: every item is on
    exactly one page, each page marks itself current, and the numbered
    links lead to the pages they name."""
    failures = []
    # The folder: pages 1, 2, ... by "next".
    url, number, titles = site.url(14, site.places["busyFolder"]), 1, []
    while url:
        page = client.fetch(url)
        paging = paging_of(page)
        if paging is None:
            failures.append("folder page %d (%s): no paging" % (number, url))
            break
        links, current = paging
        if current != [str(number)]:
            failures.append("folder page %d (%s): current page %s" % (number, url, current))
        titles += re.findall(r'">(Topic number \d+|A very long discussion)</a>', page.body)
        for text, target in links.items():
            if text.isdigit():
                other = paging_of(client.fetch(target))
                if not other or other[1] != [text]:
                    failures.append("folder page %d: the link to page %s (%s) shows %s" % (
                        number, text, target, other and other[1]))
        url, number = links.get("next"), number + 1
        if number > 10:
            failures.append("folder: more than 10 pages by \"next\"")
            break
    if sorted(titles) != sorted(set(titles)) or len(titles) != 130:
        failures.append("folder: %d items over %d pages, %d different (130 wanted)" % (
            len(titles), number - 1, len(set(titles))))
    # The discussion: the latest page, then earlier ones by "prev".
    url, seen, pages = site.url(14, site.places["longDiscussion"]), [], 0
    while url and pages < 10:
        page = client.fetch(url)
        pages += 1
        paging = paging_of(page)
        if paging is None or len(paging[1]) != 1:
            failures.append("discussion page %d (%s): no paging or no current page" % (pages,
                                                                                         url))
            break
        seen += [int(n) for n in re.findall(r"Reply (\d+) in a long discussion", page.body)]
        if pages > 1 and "Latest messages" not in paging[0]:
            failures.append("discussion page %d (%s): no link to the latest" % (pages, url))
        url = paging[0].get("prev")
    if sorted(seen) != list(range(120)):
        failures.append("discussion: pages by \"prev\" show %d messages, %d different (0 to "
                        "119 wanted)" % (len(seen), len(set(seen))))
    note("paging: %d folder pages, %d discussion pages walked" % (number - 1, pages))
    return failures


def report(failures, skipped, out=None, check=None):
    if out:
        with open(os.path.join(out, "%s-report.txt" % check), "w") as f:
            f.writelines("SKIPPED %s\n" % s for s in skipped)
            f.writelines("FAIL %s\n" % x for x in failures)
    for s in skipped:
        note("SKIPPED (not on this server yet): " + s)
    for f in failures:
        note("FAIL: " + f)
    note("%d failure(s), %d skipped" % (len(failures), len(skipped)))
    return 1 if failures else 0


# ---------------------------------------------------------------------------
# Headless Chromium over the DevTools protocol (the pipe transport: JSON
# messages ended by NUL on file descriptors 3 and 4 of the browser).

class Browser:
    def __init__(self):
        exe = shutil.which("chromium") or shutil.which("chromium-browser")
        if not exe:
            raise FileNotFoundError("chromium")
        self.profile = tempfile.mkdtemp(prefix="quil-look-chromium-")
        to_chrome_r, to_chrome_w = os.pipe()
        from_chrome_r, from_chrome_w = os.pipe()
        # Out of the way of 3 and 4 before the child puts them there.
        hi_r = fcntl.fcntl(to_chrome_r, fcntl.F_DUPFD, 10)
        hi_w = fcntl.fcntl(from_chrome_w, fcntl.F_DUPFD, 10)

        def child():
            os.dup2(hi_r, 3)
            os.dup2(hi_w, 4)

        argv = [exe, "--headless=new", "--remote-debugging-pipe", "--disable-gpu",
                "--no-first-run", "--no-default-browser-check", "--disable-extensions",
                "--disable-background-networking", "--disable-sync", "--mute-audio",
                "--hide-scrollbars", "--force-color-profile=srgb",
                "--user-data-dir=" + self.profile, "about:blank"]
        if os.geteuid() == 0:
            argv.insert(1, "--no-sandbox")
        self.proc = subprocess.Popen(argv, pass_fds=(3, 4), preexec_fn=child,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for fd in (to_chrome_r, from_chrome_w, hi_r, hi_w):
            os.close(fd)
        self.wfd, self.rfd = to_chrome_w, from_chrome_r
        self.buf = b""
        self.next_id = 0
        self.events = []

    def close(self):
        try:
            self.send("Browser.close", timeout=5)
        except Exception:
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self.wfd)
        os.close(self.rfd)
        shutil.rmtree(self.profile, ignore_errors=True)

    def _read(self, timeout):
        while b"\0" not in self.buf:
            r, _, _ = select.select([self.rfd], [], [], timeout)
            if not r:
                return None
            chunk = os.read(self.rfd, 1 << 20)
            if not chunk:
                raise RuntimeError("the browser closed its pipe")
            self.buf += chunk
        msg, self.buf = self.buf.split(b"\0", 1)
        return json.loads(msg)

    def send(self, method, params=None, session=None, timeout=30):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            msg["sessionId"] = session
        os.write(self.wfd, json.dumps(msg).encode() + b"\0")
        deadline = time.time() + timeout
        while True:
            m = self._read(max(0.0, deadline - time.time()))
            if m is None:
                raise TimeoutError(method)
            if m.get("id") == self.next_id:
                if "error" in m:
                    raise RuntimeError("%s: %s" % (method, m["error"]))
                return m.get("result", {})
            self.events.append(m)

    def wait_event(self, method, session, timeout=30):
        deadline = time.time() + timeout
        while True:
            for i, e in enumerate(self.events):
                if e.get("method") == method and e.get("sessionId") == session:
                    del self.events[i]
                    return e
            m = self._read(max(0.0, deadline - time.time()))
            if m is None:
                raise TimeoutError(method)
            self.events.append(m)

    def drain(self, session, quiet=0.2):
        """Events of session that came or come within quiet seconds."""
        while True:
            m = self._read(quiet)
            if m is None:
                break
            self.events.append(m)
        mine = [e for e in self.events if e.get("sessionId") == session]
        self.events = [e for e in self.events if e.get("sessionId") != session]
        return mine

    def open_tab(self):
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget",
                            {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.send(domain + ".enable", session=session)
        return target, session

    def close_tab(self, target):
        self.send("Target.closeTarget", {"targetId": target})

    def load(self, session, url, width, dark=False, cookies=()):
        self.send("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": 800 if width > 600 else 740,
                   "deviceScaleFactor": 1, "mobile": width < 600}, session)
        self.send("Emulation.setEmulatedMedia",
                  {"features": [{"name": "prefers-color-scheme",
                                 "value": "dark" if dark else "light"}]}, session)
        for c in cookies:
            self.send("Network.setCookie", dict(c), session)
        self.send("Page.navigate", {"url": url}, session)
        self.wait_event("Page.loadEventFired", session)

    def evaluate(self, session, expression, await_promise=False, timeout=30):
        r = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                           "awaitPromise": await_promise}, session, timeout)
        if "exceptionDetails" in r:
            raise RuntimeError("script failed: %s" % r["exceptionDetails"])
        return r["result"].get("value")

    def screenshot(self, session, path, width):
        height = self.evaluate(session, "document.documentElement.scrollHeight")
        height = max(200, min(int(height or 800), 6000))
        self.send("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1,
                   "mobile": width < 600}, session)
        data = self.send("Page.captureScreenshot", {"format": "png"}, session)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))


# What the page must not have, found in the page itself.
# WIDTH is the width the page was loaded at: a phone's browser widens its
# layout viewport (innerWidth) to what overflows, so that is no measure.
PAGE_CHECKS = r"""((width) => {
  const out = {unlabelled: [], overflow: null, title: document.title};
  const de = document.documentElement;
  if (de.scrollWidth > width) {
    const wide = [...document.querySelectorAll('body *')]
      .filter(e => e.getBoundingClientRect().right > width + 0.5)
      .slice(0, 5).map(e => e.tagName.toLowerCase() + (e.className ? '.' + e.className : ''));
    out.overflow = de.scrollWidth + ' > ' + width + ' (' + wide.join(', ') + ')';
  }
  for (const f of document.querySelectorAll('input, select, textarea')) {
    const type = (f.getAttribute('type') || '').toLowerCase();
    if (['hidden', 'submit', 'button', 'reset', 'image'].includes(type)) continue;
    const named = (f.labels && f.labels.length) || f.getAttribute('aria-label') ||
                  f.getAttribute('aria-labelledby') || f.getAttribute('title');
    if (!named) out.unlabelled.push(f.outerHTML.slice(0, 120));
  }
  // The shared header: the link past it to the content, who is reading;
  // one h1 in the content and no heading more than one level below the
  // one before it.
  const skip = document.querySelector('a.skip[href="#content"]');
  out.skip = !!skip && !!document.getElementById('content');
  out.who = !!document.querySelector('header nav.who');
  out.h1 = document.querySelectorAll('main h1').length;
  let level = 0;
  for (const h of document.querySelectorAll('h1, h2, h3, h4, h5, h6')) {
    const n = +h.tagName[1];
    if (n > level + 1 && !out.skipped)
      out.skipped = 'h' + n + ' "' + h.textContent.trim().slice(0, 40) + '" after h' + level;
    level = n;
  }
  const paging = [...document.querySelectorAll('nav.paging')];
  out.paging = paging.map(n => ({label: n.getAttribute('aria-label'),
                                 current: n.querySelectorAll('[aria-current="page"]').length}));
  for (const l of document.querySelectorAll('link[rel=stylesheet]'))
    if (!l.sheet) out.unstyled = (out.unstyled || []).concat(l.href);
  for (const i of document.images)
    if (i.complete && i.naturalWidth === 0) out.broken = (out.broken || []).concat(i.src);
  return out;
})(WIDTH)"""


# Pages that must show paging, by their name in PAGE_TYPES.
PAGED = {"long discussion", "folder of many discussions"}


def header_problems(name, checks):
    """What the shared header, the headings and the paging of a page lack."""
    found = []
    if not checks["skip"]:
        found.append("no link past the header to #content")
    if not checks["who"]:
        found.append("no \"who is reading\" part in the header")
    if checks["h1"] != 1:
        found.append("%d h1 headings in the content (one wanted)" % checks["h1"])
    if checks.get("skipped"):
        found.append("headings out of order: " + checks["skipped"])
    for nav in checks["paging"]:
        if not nav["label"] or nav["current"] != 1:
            found.append("paging without a label or one current page: %s" % nav)
    if name in PAGED and not checks["paging"]:
        found.append("no paging")
    return found


def page_problems(events):
    """Console errors and failed loads among a page's events."""
    found = []
    for e in events:
        m, p = e.get("method"), e.get("params", {})
        if m == "Runtime.consoleAPICalled" and p.get("type") in ("error", "assert"):
            texts = [a.get("value", a.get("description", "")) for a in p.get("args", [])]
            found.append("console error: %s" % " ".join(str(t) for t in texts))
        elif m == "Runtime.exceptionThrown":
            found.append("script error: %s" % p.get("exceptionDetails", {}).get("text"))
        elif m == "Log.entryAdded" and p.get("entry", {}).get("level") == "error":
            entry = p["entry"]
            found.append("console error: %s %s" % (entry.get("text"), entry.get("url", "")))
        elif m == "Network.loadingFailed" and not p.get("canceled"):
            found.append("failed load: %s" % p.get("errorText"))
        elif m == "Network.responseReceived":
            r = p.get("response", {})
            if r.get("status", 0) >= 400:
                found.append("failed load: HTTP %d %s" % (r["status"], r.get("url")))
            # A browser ignores a stylesheet or picture of the wrong type.
            elif p.get("type") == "Stylesheet" and r.get("mimeType") != "text/css":
                found.append("stylesheet %s served as %s" % (r.get("url"), r.get("mimeType")))
            elif p.get("type") == "Image" and not r.get("mimeType", "").startswith("image/"):
                found.append("picture %s served as %s" % (r.get("url"), r.get("mimeType")))
    return found


def browser_cookies(client, site):
    return [{"name": c.name, "value": c.value, "url": site.base + "/"} for c in client.jar]


def visit_list(site, skipped):
    """The pages to load: (name, url, client, main page?) for every page type
    this server handles, then the built-in templates as template pages."""
    clients = {"guest": Client(site)}
    for role in ("user", "sysop"):
        c = Client(site)
        who = site.places["user" if role == "user" else "sysop"]
        pw = site.places["userPassword" if role == "user" else "sysopPassword"]
        why = c.log_in(who, pw)
        clients[role] = None if why else c
        if why:
            skipped.append("pages of the %s: %s" % (role, why))
    visits = []
    for name, command, place, role in PAGE_TYPES:
        client = clients[role]
        if client is None:
            skipped.append("%s (command %d, as the %s)" % (name, command, role))
            continue
        url = site.url(command, site.places.get(place, "") if place else "", client.cert)
        page = client.fetch(url)
        if page.not_here():
            skipped.append("%s (command %d answers \"unable to process\")" % (name, command))
            continue
        visits.append((name, url, client, name in MAIN_PAGES))
    # The error page of the template layer, which every failed request shows.
    visits.append(("error page", site.url(999), clients["guest"], True))
    std = os.path.join(site.dir, "html", "std")
    for f in sorted(os.listdir(std)):
        name = f[:-4]
        page = clients["guest"].fetch("%s/std/%s" % (site.base, f))
        if "<html" not in page.body.lower():
            # The mail pages render nothing for a guest.
            continue
        visits.append(("template " + name, "%s/std/%s" % (site.base, f), clients["guest"],
                       name in ("login", "register", "addDiscussion", "replyToMessage")))
    return visits


def run_browser(args):
    if not (shutil.which("chromium") or shutil.which("chromium-browser")):
        note("SKIP: chromium is not installed (tools/install-deps installs it)")
        return SKIP
    shots = os.path.join(args.out, "screenshots")
    shutil.rmtree(shots, ignore_errors=True)
    os.makedirs(shots)
    site = Site(args.quil, args.site_tool)
    failures, skipped = [], []
    browser = Browser()
    try:
        visits = visit_list(site, skipped)
        for name, url, client, _ in visits:
            for width, dark in ((360, False), (1280, False), (360, True)):
                target, session = browser.open_tab()
                browser.load(session, url, width, dark, browser_cookies(client, site))
                checks = browser.evaluate(session, PAGE_CHECKS.replace("WIDTH", str(width)))
                problems = page_problems(browser.drain(session))
                if width < 600 and checks["overflow"]:
                    problems.append("horizontal scroll bar at %d px: %s" % (width,
                                                                            checks["overflow"]))
                for field in checks["unlabelled"] if width == 1280 else []:
                    problems.append("form field without a label: %s" % field)
                if not checks["title"]:
                    problems.append("no title")
                problems += header_problems(name, checks)
                for sheet in checks.get("unstyled") or []:
                    problems.append("stylesheet not applied: %s" % sheet)
                for img in checks.get("broken") or []:
                    problems.append("picture not shown: %s" % img)
                file = re.sub(r"[^A-Za-z0-9]+", "-", name).strip("-")
                browser.screenshot(session, os.path.join(
                    shots, "%s-%d%s.png" % (file, width, "-dark" if dark else "")), width)
                browser.close_tab(target)
                for p in problems:
                    failures.append("%s at %d px%s (%s): %s" % (name, width,
                                                                " dark" if dark else "", url, p))
        note("browser: %d pages at 360 and 1280 px and dark at 360 px; screenshots in %s"
             % (len(visits), shots))
    finally:
        browser.close()
        site.close()
    return report(failures, skipped, args.out, "browser")


def run_axe(args):
    if not (shutil.which("chromium") or shutil.which("chromium-browser")):
        note("SKIP: chromium is not installed (tools/install-deps installs it)")
        return SKIP
    if not args.axe or not os.path.exists(args.axe):
        note("SKIP: axe-core is not installed at %s (tools/install-deps installs it)" % args.axe)
        return SKIP
    with open(args.axe) as f:
        axe_source = f.read()
    site = Site(args.quil, args.site_tool)
    failures, skipped = [], []
    browser = Browser()
    results = {}
    try:
        visits = [v for v in visit_list(site, skipped) if v[3]]
        for name, url, client, _ in visits:
            for dark in (False, True):
                target, session = browser.open_tab()
                browser.load(session, url, 1280, dark, browser_cookies(client, site))
                browser.evaluate(session, axe_source)
                found = browser.evaluate(
                    session, "axe.run(document, {resultTypes: ['violations']})"
                    ".then(r => r.violations.map(v => ({id: v.id, impact: v.impact, "
                    "help: v.help, nodes: v.nodes.slice(0, 3).map(n => n.html + ' -- ' + "
                    "n.failureSummary)})))", await_promise=True, timeout=60)
                browser.close_tab(target)
                results["%s%s" % (name, " (dark)" if dark else "")] = found
                for v in found:
                    if v["impact"] in ("serious", "critical"):
                        failures.append("%s%s (%s): %s %s: %s\n    %s" % (
                            name, " dark" if dark else "", url, v["impact"], v["id"], v["help"],
                            "\n    ".join(v["nodes"])))
                    else:
                        note("minor (%s) on %s: %s" % (v["impact"], name, v["id"]))
        note("axe: %d pages checked in light and dark" % len(visits))
        os.makedirs(args.out, exist_ok=True)
        with open(os.path.join(args.out, "axe.json"), "w") as f:
            json.dump(results, f, indent=1)
    finally:
        browser.close()
        site.close()
    return report(failures, skipped, args.out, "axe")


SHOTS = ("top level", "discussion", "post form (new discussion)")


def run_shots(args):
    if not (shutil.which("chromium") or shutil.which("chromium-browser")):
        note("SKIP: chromium is not installed (tools/install-deps installs it)")
        return SKIP
    site = Site(args.quil, args.site_tool)
    browser = Browser()
    skipped = []
    try:
        for name, url, client, _ in visit_list(site, skipped):
            if name not in SHOTS:
                continue
            for width in (1280, 360):
                target, session = browser.open_tab()
                browser.load(session, url, width, False, browser_cookies(client, site))
                file = "%s-%d.png" % (re.sub(r"[^A-Za-z0-9]+", "-", name).strip("-"), width)
                browser.screenshot(session, os.path.join(args.out, file), width)
                browser.close_tab(target)
                note(os.path.join(args.out, file))
    finally:
        browser.close()
        site.close()
    return report([], skipped)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("check", choices=("crawl", "browser", "axe", "shots"))
    ap.add_argument("--quil", required=True)
    ap.add_argument("--site-tool", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--axe")
    args = ap.parse_args()
    args.quil, args.site_tool = os.path.abspath(args.quil), os.path.abspath(args.site_tool)
    os.makedirs(args.out, exist_ok=True)
    started = time.time()
    rc = {"crawl": run_crawl, "browser": run_browser, "axe": run_axe,
          "shots": run_shots}[args.check](args)
    note("%s took %.1f s" % (args.check, time.time() - started))
    return rc


if __name__ == "__main__":
    sys.exit(main())
