#!/usr/bin/env python3
"""A walk through the conference in headless Chromium.

Drives the browser over the DevTools protocol on a pipe
(--remote-debugging-pipe: commands on file descriptor 3, answers on 4, each
message JSON ended by a NUL byte).  Each step loads a page or fills and
submits a form the way a person would (typing into the fields, pressing the
button), waits for the next page, checks what it shows and keeps a
screenshot of it under the artefact directory.

  browser_walk.py BASE_URL ARTEFACT_DIR

BASE_URL is the conference's script ("http://127.0.0.1:PORT/Quil").
Exit status 0 when every step passed; the failing step is printed
otherwise.  Steps: register, log out, log in with a wrong password, log in,
change the preferences, upload a picture, see the picture served back, log
out.
"""
import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time


class Browser:
    def __init__(self, chromium, profile):
        r3, w3 = os.pipe()  # commands: we write, the browser reads fd 3
        r4, w4 = os.pipe()  # answers: the browser writes fd 4, we read

        def child_fds():
            # Through numbers that cannot collide with 3 and 4; the fds
            # kept (pass_fds) are closed-over after this runs, by number.
            os.dup2(r3, 100)
            os.dup2(w4, 101)
            os.dup2(100, 3)
            os.dup2(101, 4)

        self.proc = subprocess.Popen(
            [chromium, "--headless", "--no-sandbox", "--disable-gpu",
             "--remote-debugging-pipe", "--no-first-run",
             "--disable-extensions", "--disable-dev-shm-usage",
             "--user-data-dir=" + profile, "--window-size=1000,900",
             "about:blank"],
            pass_fds=(3, 4), preexec_fn=child_fds,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(r3)
        os.close(w4)
        self.out = os.fdopen(w3, "wb", buffering=0)
        self.inp = os.fdopen(r4, "rb", buffering=0)
        self.buf = b""
        self.next_id = 0
        self.events = []
        self.session = None

    def _read_message(self, deadline):
        while b"\0" not in self.buf:
            if time.time() > deadline:
                raise TimeoutError("no answer from the browser")
            chunk = self.inp.read(65536)
            if not chunk:
                raise EOFError("the browser closed its pipe")
            self.buf += chunk
        raw, self.buf = self.buf.split(b"\0", 1)
        return json.loads(raw)

    def call(self, method, params=None, session=True, timeout=30):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            msg["sessionId"] = self.session
        self.out.write(json.dumps(msg).encode() + b"\0")
        deadline = time.time() + timeout
        while True:
            m = self._read_message(deadline)
            if m.get("id") == self.next_id:
                if "error" in m:
                    raise RuntimeError("%s: %s" % (method, m["error"]))
                return m.get("result", {})
            self.events.append(m)

    def wait_event(self, name, timeout=30):
        deadline = time.time() + timeout
        while True:
            for i, m in enumerate(self.events):
                if m.get("method") == name:
                    del self.events[i]
                    return m
            self.events.append(self._read_message(deadline))

    def open_page(self):
        targets = self.call("Target.getTargets", session=False)["targetInfos"]
        page = next(t for t in targets if t["type"] == "page")
        self.session = self.call("Target.attachToTarget",
                                 {"targetId": page["targetId"], "flatten": True},
                                 session=False)["sessionId"]
        self.call("Page.enable")
        self.call("Runtime.enable")

    def eval(self, expression):
        r = self.call("Runtime.evaluate", {"expression": expression,
                                           "returnByValue": True,
                                           "awaitPromise": True})
        if "exceptionDetails" in r:
            raise RuntimeError("script failed: %s" % r["exceptionDetails"])
        return r["result"].get("value")

    def goto(self, url):
        self.events = [m for m in self.events if m.get("method") != "Page.loadEventFired"]
        self.call("Page.navigate", {"url": url})
        self.wait_event("Page.loadEventFired")

    def submit(self, script):
        """Runs script (which fills in a form and presses its button) and
        waits for the page it leads to."""
        self.events = [m for m in self.events if m.get("method") != "Page.loadEventFired"]
        self.eval(script)
        self.wait_event("Page.loadEventFired")

    def set_file(self, selector, path):
        root = self.call("DOM.getDocument")["root"]["nodeId"]
        node = self.call("DOM.querySelector", {"nodeId": root, "selector": selector})["nodeId"]
        self.call("DOM.setFileInputFiles", {"nodeId": node, "files": [path]})

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        try:
            self.call("Browser.close", session=False, timeout=5)
        except Exception:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def fill(fields, button_text=None, form_action=None):
    """A script that types into the named fields of the form and presses
    its submit button."""
    lines = ["(() => {"]
    if form_action:
        lines.append("const form = [...document.forms].find(f => "
                     "f.getAttribute('action').indexOf(%s) >= 0);" % json.dumps(form_action))
    else:
        lines.append("const form = document.forms[0];")
    for name, value in fields.items():
        lines.append("{ const e = form.elements[%s];" % json.dumps(name))
        if isinstance(value, bool):
            lines.append("  e.checked = %s; }" % ("true" if value else "false"))
        else:
            lines.append("  e.focus(); e.value = %s; e.dispatchEvent(new Event('input')); }"
                         % json.dumps(value))
    lines.append("const b = form.querySelector('button[type=submit]');")
    lines.append("b.click(); return true; })()")
    return "\n".join(lines)


def main():
    base, artefacts, picture = sys.argv[1], sys.argv[2], sys.argv[3]
    os.makedirs(artefacts, exist_ok=True)
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        print("SKIP: no chromium")
        return 77
    profile = tempfile.mkdtemp(prefix="quil-chromium-")
    browser = Browser(chromium, profile)
    step_no = [0]

    def step(name, check):
        step_no[0] += 1
        title = browser.eval("document.title")
        text = browser.eval("document.body ? document.body.innerText : ''")
        browser.screenshot(os.path.join(artefacts, "%02d-%s.png" % (step_no[0], name)))
        with open(os.path.join(artefacts, "%02d-%s.html" % (step_no[0], name)), "w") as f:
            f.write(browser.eval("document.documentElement.outerHTML"))
        ok = check(title, text)
        print("%-24s %s  [%s]" % (name, "ok" if ok else "FAILED", title))
        if not ok:
            print(text[:2000])
            raise SystemExit(1)

    try:
        browser.open_page()
        browser.goto(base + "?18@@")
        step("registration-form", lambda t, x: t.endswith(" - Register"))
        browser.submit(fill({"username": "Walker Brown", "email": "walker@example.com",
                             "password": "walk-pw-1"}))
        step("registered", lambda t, x: t.endswith("- Registration Complete") and "The user has been registered." in x)
        link = browser.eval("[...document.querySelectorAll('a')].map(a => a.href)"
                            ".find(h => h.indexOf('?14@') >= 0) || ''")
        if "." not in link.split("?14@")[1].split("@")[0]:
            print("the page's links carry no session certificate:", link)
            return 1
        cert = link.split("?14@")[1].split("@")[0]

        browser.goto(base + "?25@" + cert + "@")
        step("preferences-form", lambda t, x: "Preferences of Walker Brown" in x)
        browser.submit(fill({"secondLine": "Walks a lot", "bio": "Out on the hills.",
                             "showPictures": True}, form_action="?26@"))
        step("preferences-saved", lambda t, x: t.endswith(" - Preferences saved"))

        browser.goto(base + "?25@" + cert + "@")
        browser.set_file("#picture", picture)
        browser.submit(fill({}, form_action="?26@"))
        step("picture-uploaded", lambda t, x: t.endswith(" - Preferences saved"))
        browser.goto(base + "?25@" + cert + "@")
        step("picture-shown", lambda t, x: browser.eval(
            "(() => { const i = document.querySelector('img.user-picture');"
            " return i ? i.complete && i.naturalWidth : 0; })()") == 37)

        browser.goto(base + "?25@" + cert + "@!logout=1")
        step("logged-out", lambda t, x: t.endswith(" - Log in"))
        browser.goto(base + "?25@" + cert + "@")
        step("old-certificate-refused", lambda t, x: t.endswith(" - Log in"))

        browser.goto(base + "?15@@")
        browser.submit(fill({"username": "Walker Brown", "password": "wrong"}))
        step("wrong-password", lambda t, x: "The name or password is not correct." in x)
        browser.submit(fill({"username": "Walker Brown", "password": "walk-pw-1"}))
        step("welcome", lambda t, x: t.endswith("- Welcome") and "Walker Brown" in x)
        # The cookie set at the login names the user without a certificate.
        browser.goto(base + "?25@@")
        step("preferences-by-cookie",
             lambda t, x: "Preferences of Walker Brown" in x and "Walks a lot" in
             browser.eval("document.getElementById('secondLine').value"))

        # The conference itself: a folder, a discussion in it, a reply and
        # its edit, all through the pages' own forms.
        browser.goto(base + "?3@@/")
        step("folder-form", lambda t, x: browser.eval(
            "!!document.querySelector('form[action*=\"?4@\"]')"))
        browser.submit(fill({"title": "Walking Routes"}, form_action="?4@"))
        step("folder-made", lambda t, x: "Walking Routes" in t or "Walking Routes" in x)
        browser.goto(base + "?9@@/Walking_Routes")
        step("discussion-form", lambda t, x: browser.eval(
            "!!document.querySelector('form[action*=\"?10@\"]')"))
        browser.submit(fill({"title": "Ridge walk", "header": "Who comes along on Sunday?"},
                            form_action="?10@"))
        step("discussion-made", lambda t, x: "Ridge walk" in t or "Ridge walk" in x)
        browser.goto(base + "?229@@/Walking_Routes/1")
        step("reply-form", lambda t, x: browser.eval(
            "!!document.querySelector('form[action*=\"?11@\"]')"))
        browser.submit(fill({"newresponse": "Count me in, I bring tea."}, form_action="?11@"))
        step("reply-posted", lambda t, x: "Count me in, I bring tea." in x)
        browser.goto(base + "?53@@/Walking_Routes/1/0")
        step("edit-form", lambda t, x: browser.eval(
            "!!document.querySelector('form[action*=\"?12@\"]')"))
        browser.submit(fill({"newresponse": "Count me in, I bring tea and cake."},
                            form_action="?12@"))
        step("reply-edited", lambda t, x: "I bring tea and cake." in x)
        browser.goto(base + "?25@@!logout=1")
        step("logged-out-at-the-end", lambda t, x: t.endswith(" - Log in"))

        # The sysop of this new site: the log-in leads to the first-start
        # wizard, whose steps are stored one by one; then the control panel.
        browser.goto(base + "?94@@")
        step("sysop-login-form", lambda t, x: browser.eval(
            "!!document.querySelector('form[action*=\"?95@\"]')"))
        browser.submit(fill({"username": "sysop", "password": "sysop"}, form_action="?95@"))
        step("wizard-welcome", lambda t, x: "Welcome to Quillmoot" in x)
        browser.goto(browser.eval("[...document.querySelectorAll('a')].map(a => a.href)"
                                  ".find(h => h.indexOf('?81@') >= 0) || ''"))
        step("wizard-images", lambda t, x: browser.eval(
            "!!document.querySelector('[name=imagesDir]')"))
        browser.submit(fill({"imagesDir": "/pics/"}, form_action="?81@"))
        step("wizard-email", lambda t, x: browser.eval(
            "!!document.querySelector('[name=sysopEmail]')"))
        browser.submit(fill({"sysopEmail": "sysop@example.com"}, form_action="?81@"))
        step("wizard-general", lambda t, x: browser.eval(
            "!!document.querySelector('form[action*=\"?85@\"]')"))
        browser.submit(fill({"siteTitle": "Hill Walkers", "serverName": "walk.example.com"},
                            form_action="?85@"))
        step("wizard-password", lambda t, x: browser.eval(
            "!!document.querySelector('[name=password2]')"))
        browser.submit(fill({"password": "sysop", "password2": "sysop"}, form_action="?84@"))
        step("wizard-factory-refused", lambda t, x: "cannot be the same as the user" in x)
        browser.submit(fill({"password": "hills-42", "password2": "hills-42"},
                            form_action="?84@"))
        step("wizard-done", lambda t, x: "The site is set up" in x)
        browser.goto(base + "?94@@59@")
        browser.submit(fill({"username": "sysop", "password": "hills-42"}, form_action="?95@"))
        step("control-panel", lambda t, x: "Control panel" in x and t.startswith("Hill Walkers"))
        return 0
    finally:
        browser.close()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
