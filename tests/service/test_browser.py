#!/usr/bin/env python3
"""The enrollment station in a real browser: headless Chromium, driven through
chromedriver, against kelvord and the simulated module. A person is named and
enrolled through the guided sequence (the image drawn is compared pixel by
pixel with the module's), identified on the Test page and by free scan on the
Events page, an image is captured and saved, a backup downloaded and restored,
the person's templates deleted; a killed simulator shows as a lost line and
then as open again. The page is used from the keyboard, at 1024x768 and at a
phone's width, and the browser reports no error (a policy violation included).
A screenshot of each page is kept in the directory --shots names.

Chromium, chromedriver and Selenium are required: without them the test fails.

Usage: test_browser.py --bin DIR --schema-dir DIR --shots DIR [unittest options]
"""
import argparse
import base64
import json
import os
import shutil
import struct
import sys
import tarfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rig  # noqa: E402
from rig import Rig, wait_for  # noqa: E402

SHOTS = None
CHROMIUM = ("/usr/bin/chromium", "/usr/bin/chromium-browser")
CHROMEDRIVER = ("/usr/bin/chromedriver", "/usr/lib/chromium/chromedriver")


def first_existing(paths, what):
    for p in paths:
        if os.path.exists(p):
            return p
    found = shutil.which(os.path.basename(paths[0]))
    if found:
        return found
    raise AssertionError(what + " is missing (Debian: apt-get install chromium chromium-driver python3-selenium)")


def bmp_pixels(bmp):
    """(width, height, grey value of each pixel top row first) of the tool's 8-bit BMP file."""
    offset, = struct.unpack("<I", bmp[10:14])
    width, height = struct.unpack("<ii", bmp[18:26])
    bits, = struct.unpack("<H", bmp[28:30])
    assert bits == 8, bits
    stride = (width + 3) & ~3
    rows = [bmp[offset + y * stride: offset + y * stride + width] for y in range(abs(height))]
    if height > 0:
        rows.reverse()
    palette_at = 14 + struct.unpack("<I", bmp[14:18])[0]
    grey = [bmp[palette_at + 4 * i] for i in range(256)]
    return width, abs(height), [grey[v] for row in rows for v in row]


class Station(unittest.TestCase):
    def open_station(self, sim_args=(), daemon_args=(), line_args=("-b", "115200", "-t", "5000")):
        try:
            from selenium import webdriver
            from selenium.webdriver.chrome.options import Options
            from selenium.webdriver.chrome.service import Service
        except ImportError as e:
            raise AssertionError("Selenium is missing (Debian: python3-selenium): %s" % e)
        self.r = Rig(self, sim_args=sim_args, daemon_args=["--http", "0", "--directory", "people.db", *daemon_args],
                     line_args=line_args)
        found = self.r.wait_log(r"the station: (http://localhost:(\d+)/)(#token=[0-9a-f]{64})?")
        self.port = int(found.group(2))
        # The address kelvord logs: the token it made, in the fragment (none with --token-file).
        self.url, self.token = found.group(1) + (found.group(3) or ""), (found.group(3) or "#token=")[7:]
        self.downloads = os.path.join(self.r.dir, "downloads")
        os.mkdir(self.downloads)
        o = Options()
        o.binary_location = first_existing(CHROMIUM, "chromium")
        for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                  "--window-size=1024,768", "--no-first-run", "--disable-extensions", "--disable-sync",
                  "--disable-background-networking", "--user-data-dir=" + os.path.join(self.r.dir, "profile")):
            o.add_argument(a)
        o.add_experimental_option("prefs", {"download.default_directory": self.downloads,
                                            "download.prompt_for_download": False})
        o.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.d = webdriver.Chrome(service=Service(first_existing(CHROMEDRIVER, "chromedriver")), options=o)
        self.addCleanup(self.d.quit)
        self.d.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": self.downloads})
        # Every message the page sends and gets on its WebSocket, kept for the schema's check
        # (a script the browser runs before the page's own; the page's policy does not govern it).
        self.d.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": """
            window.protocolSeen = [];
            const send = WebSocket.prototype.send;
            WebSocket.prototype.send = function (m) { window.protocolSeen.push(m); return send.call(this, m); };
            const on = Object.getOwnPropertyDescriptor(WebSocket.prototype, 'onmessage');
            Object.defineProperty(WebSocket.prototype, 'onmessage', {
                set(f) { on.set.call(this, (e) => { window.protocolSeen.push(e.data); return f(e); }); },
                get() { return on.get.call(this); } });"""})
        self.d.set_window_size(1024, 768)

    # ---- helpers ----
    def by(self, id_):
        return self.d.find_element("id", id_)

    def text(self, id_):
        return self.by(id_).text

    def until(self, predicate, what, seconds=30):
        wait_for(lambda: self._safe(predicate), seconds, what + " (the page shows: %s)" % self._notice())

    @staticmethod
    def _safe(predicate):
        try:
            return predicate()
        except Exception:  # an element replaced while it was read: ask again
            return False

    def _notice(self):
        try:
            return self.text("notice") or self.text("line-state")
        except Exception:
            return "?"

    def tab(self, name):
        self.by("tab-" + name).click()
        self.until(lambda: self.by("page-" + name).is_displayed(), "the page " + name)

    def shot(self, name):
        """The whole page, below the window's edge too."""
        os.makedirs(SHOTS, exist_ok=True)
        size = self.d.execute_cdp_cmd("Page.getLayoutMetrics", {})["cssContentSize"]
        shot = self.d.execute_cdp_cmd("Page.captureScreenshot", {
            "format": "png", "captureBeyondViewport": True,
            "clip": {"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1}})
        with open(os.path.join(SHOTS, name + ".png"), "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    def select(self, id_, value):
        from selenium.webdriver.support.ui import Select
        self.until(lambda: any(o.get_attribute("value") == value for o in Select(self.by(id_)).options),
                   "the choice %s in %s" % (value, id_))
        Select(self.by(id_)).select_by_value(value)

    def press(self, id_):
        """Clicks the button once it may be used (not while an action of the page runs)."""
        self.until(lambda: self.by(id_).is_enabled(), "the button " + id_ + " enabled")
        self.by(id_).click()

    def click_in(self, id_, css, what):
        """Clicks what `css` finds in the element `id_`, found again when the page redrew it meanwhile."""
        def click():
            self.by(id_).find_element("css selector", css).click()
            return True
        self.until(click, what)

    def confirm(self):
        self.until(lambda: self.by("confirm").get_attribute("open") is not None, "the confirmation")
        self.by("confirm-ok").click()

    def canvas_pixels(self, css):
        """(width, height, red channel of each pixel) of the canvas drawn on the page."""
        data = self.d.execute_script(
            "const c = document.querySelector(arguments[0]);"
            "const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
            "let s = ''; for (let i = 0; i < d.length; i += 4) s += String.fromCharCode(d[i]);"
            "return [c.width, c.height, btoa(s), c.getBoundingClientRect().width];", css)
        return data[0], data[1], list(base64.b64decode(data[2])), data[3]

    def check_protocol(self):
        """The page's requests, and what it got, are objects of the protocol's schema."""
        seen = self.d.execute_script("return window.protocolSeen;")
        self.assertGreater(len(seen), 10)
        for m in seen:
            rig.check(json.loads(m))
        return [json.loads(m)["class"] for m in seen]

    def browser_errors(self):
        return [e for e in self.d.get_log("browser") if e["level"] == "SEVERE"]

    # ---- the test ----
    def test_the_station_from_naming_to_a_lost_line(self):
        self.open_station()
        r, d = self.r, self.d
        c = r.client()
        # Two scans for an enrollment, a SCAN_SUCCESS after each: the guided sequence has four steps.
        c.request({"class": "command", "command": "SW", "flag": 0x65, "p2": 0x31})
        c.request({"class": "command", "command": "SW", "flag": 0x75, "p2": 0x31})
        r.control("--place", "3")

        d.get(self.url)
        self.until(lambda: self.text("line-state").startswith("Line open"), "the line shown open")
        # The token is taken off the address bar and kept for the tab alone.
        self.assertEqual(d.current_url, "http://localhost:%d/" % self.port)
        self.assertEqual(d.execute_script("return location.hash;"), "")
        self.assertEqual(d.execute_script("return sessionStorage.getItem('kelvord-token');"), self.token)
        self.until(lambda: "Module is in normal condition" in self.text("modules-table"), "the module's status")
        self.until(lambda: "0x" in self.by("modules-table").find_elements("css selector", "tbody td")[2].text,
                   "the firmware version")
        self.shot("1-line")

        # Every control is labelled.
        unlabelled = d.execute_script(
            "return Array.from(document.querySelectorAll('input, select, button'))"
            ".filter(e => !(e.labels && e.labels.length) && !e.getAttribute('aria-label') && !e.textContent.trim())"
            ".map(e => e.id || e.outerHTML);")
        self.assertEqual(unlabelled, [])

        # People, from the keyboard: the tabs follow the arrow keys, the form its fields.
        from selenium.webdriver.common.keys import Keys
        self.by("tab-line").send_keys(Keys.ARROW_RIGHT)
        self.until(lambda: self.by("tab-people").get_attribute("aria-selected") == "true", "the People tab")
        self.assertEqual(d.switch_to.active_element.get_attribute("id"), "tab-people")
        self.until(lambda: not self.by("person-form").get_attribute("hidden"), "the person's form")
        self.by("person-id").send_keys("5", Keys.TAB, "Ann Lee", Keys.TAB, "reception", Keys.ENTER)
        self.until(lambda: "Ann Lee" in self.text("people-table"), "Ann Lee in the table")
        self.assertEqual(c.request({"class": "people"})["people"][0]["name"], "Ann Lee")
        self.shot("2-people")

        # Enroll through the guided sequence.
        self.tab("enroll")
        self.select("enroll-person", "5")
        self.press("enroll-start")
        self.until(lambda: self.text("enroll-prompt").startswith("Enrolled: Ann Lee"), "the enrollment", 60)
        steps = self.text("enroll-steps")
        for step in ("Scan 1 is good.", "The module took the scan.", "Scan 2 is good.", "Enrolled Ann Lee (user 5)."):
            self.assertIn(step, steps)
        self.until(lambda: d.find_elements("css selector", "#enroll-images canvas"), "the captured image")
        # The image drawn is the module's, pixel for pixel, at its real size.
        module_image = base64.b64decode(c.request({"class": "command", "command": "RI",
                                                   "output_file": "i.bmp"})["output"])
        width, height, pixels = bmp_pixels(module_image)
        cw, ch, drawn, shown_width = self.canvas_pixels("#enroll-images canvas")
        self.assertEqual((cw, ch, shown_width), (width, height, width))
        self.assertEqual(drawn, pixels)
        self.assertGreater(len(set(drawn)), 8)  # a fingerprint, not a blank
        self.assertIn("%d × %d pixels" % (width, height), self.text("enroll-images"))
        self.shot("3-enroll")

        # A finger already enrolled is named.
        self.select("enroll-option", "132")
        self.press("enroll-start")
        self.until(lambda: "Already enrolled as Ann Lee (user 5)" in self.text("enroll-prompt"), "already enrolled", 60)

        # Identify on the Test page.
        self.tab("test")
        self.press("test-start")
        self.until(lambda: self.text("test-result").startswith("Identified: Ann Lee (user 5), score "),
                   "the identification", 60)
        self.until(lambda: d.find_elements("css selector", "#test-image canvas"), "the tested finger's image")
        # A finger nobody enrolled: the module's message, not silence.
        r.control("--place", "8")
        self.press("test-start")
        self.until(lambda: self.text("test-result").startswith("Not identified: "), "the failed identification", 60)
        self.shot("4-test")

        # Free scan: the identification comes as an event, with the name.
        self.tab("events")
        r.control("--place", "none")
        self.press("freescan-on")
        self.until(lambda: "Free scan is on" in self.text("notice"), "free scan on")
        r.control("--place", "3")
        self.until(lambda: "Identified Ann Lee (user 5)" in self.text("events-list"), "the event with the name")
        r.control("--place", "none")
        self.press("freescan-off")
        self.until(lambda: "Free scan is off" in self.text("notice"), "free scan off")
        self.shot("5-events")

        # An image: captured, shown at its size, saved as the tool's BMP file.
        self.tab("images")
        r.control("--place", "4")
        self.press("image-capture")
        self.until(lambda: "pixels" in self.text("image-view"), "the captured image", 60)
        self.assertIn("%d × %d pixels" % (width, height), self.text("image-view"))
        self.press("image-save")
        saved = os.path.join(self.downloads, "image.bmp")
        wait_for(lambda: os.path.exists(saved) and os.path.getsize(saved) > 54, 20, "the saved image")
        with open(saved, "rb") as f:
            self.assertEqual(bmp_pixels(f.read())[:2], (width, height))
        self.shot("6-images")

        # A backup downloaded, the person deleted, the backup restored.
        self.tab("backup")
        self.press("backup-download")
        self.until(lambda: self.text("backup-result").startswith("Saved "), "the backup", 60)
        wait_for(lambda: [n for n in os.listdir(self.downloads) if n.endswith(".tar")], 20, "the backup's file")
        archive = os.path.join(self.downloads, [n for n in os.listdir(self.downloads) if n.endswith(".tar")][0])
        with tarfile.open(archive) as t:
            names = t.getnames()
        self.assertTrue(any(n.count("/") == 1 for n in names), names)

        self.tab("people")
        self.until(lambda: "Delete on the module" in self.text("people-table"), "the delete button")
        self.click_in("people-table", "tr[data-user='5'] button.danger", "the delete button")
        self.confirm()
        self.until(lambda: "are deleted" in self.text("notice"), "the deletion")
        self.assertEqual(c.request({"class": "command", "command": "CT", "p1": 5})["result_name"], "not_found")

        self.tab("backup")
        self.by("restore-file").send_keys(archive)
        self.press("restore-start")
        self.confirm()
        self.until(lambda: self.text("backup-result").startswith("Restored "), "the restore", 60)
        self.assertEqual(c.request({"class": "command", "command": "CT", "p1": 5})["values"]["templates"], 1)
        self.shot("7-backup")

        # A phone's width: nothing wider than the window.
        d.set_window_size(390, 844)
        self.tab("people")
        self.until(lambda: "Ann Lee" in self.text("people-table"), "the people at a phone's width")
        overflow = d.execute_script("return document.documentElement.scrollWidth - window.innerWidth;")
        self.assertLessEqual(overflow, 0)
        self.shot("8-people-phone")
        d.set_window_size(1024, 768)

        # The simulator killed: the line shown lost, then open again.
        self.tab("line")
        r.kill_sim()
        self.until(lambda: self.text("line-state").startswith("Line lost"), "the lost line")
        self.shot("9-line-lost")
        r.start_sim()
        self.until(lambda: self.text("line-state").startswith("Line reopened")
                   or self.text("line-state").startswith("Line open"), "the line back", 60)
        self.tab("events")
        self.until(lambda: "Line reopened" in self.text("events-list"), "the reopened line in the events")

        classes = self.check_protocol()
        self.assertEqual(classes[0], "auth")  # nothing before the token
        for cls in ("auth", "watch", "devices", "people", "person_set", "command", "step", "event", "backup",
                    "restore"):
            self.assertIn(cls, classes)
        self.assertEqual(self.browser_errors(), [])

    def test_a_login_with_the_services_token(self):
        token = os.path.join(os.environ.get("TMPDIR", "/tmp"), "kelvord-browser-token-%d" % os.getpid())
        with open(token, "w") as f:
            f.write("s3cret-token-0123456789\n")
        os.chmod(token, 0o600)
        self.addCleanup(os.unlink, token)
        self.open_station(daemon_args=("--token-file", token))
        d = self.d
        d.get("http://localhost:%d/" % self.port)
        self.until(lambda: self.by("login").is_displayed(), "the login")
        self.assertFalse(self.by("app").is_displayed())
        self.assertEqual(d.execute_script("return window.protocolSeen;"), [])  # nothing without a token
        self.assertEqual(d.switch_to.active_element.get_attribute("id"), "login-token")
        from selenium.webdriver.common.keys import Keys
        self.by("login-token").send_keys("wrong-token-0123456789", Keys.ENTER)
        self.until(lambda: self.text("login-message") == "The token is not the service's.", "the refusal")
        self.shot("0-login")
        self.by("login-token").send_keys("s3cret-token-0123456789", Keys.ENTER)
        self.until(lambda: self.text("line-state").startswith("Line open"), "the station after the login")
        self.assertFalse(self.by("login").is_displayed())
        self.assertEqual(d.execute_script("return sessionStorage.getItem('kelvord-token');"),
                         "s3cret-token-0123456789")
        sent = [json.loads(m)["class"] for m in d.execute_script("return window.protocolSeen;")]
        self.assertEqual(sent[:2], ["auth", "error"])  # the wrong token, refused: nothing was sent before
        self.check_protocol()
        # A stale token in the address (kelvord made a new one since): refused clearly, the form shown.
        d.get("http://localhost:%d/#token=%s" % (self.port, "0" * 64))
        self.until(lambda: self.text("login-message") == "The token is not the service's.", "the stale token refused")
        self.assertEqual(d.execute_script("return location.hash;"), "")
        self.assertIsNone(d.execute_script("return sessionStorage.getItem('kelvord-token');"))
        self.assertEqual(self.browser_errors(), [])

    def test_cancel_stops_a_scan_that_waits_for_a_finger(self):
        # The module waits 9 s for a finger (Timeout Period "Z": 90 tenths), the
        # line 20 s for its answer: a Cancel that works brings the page back long before.
        self.open_station(line_args=("-b", "115200", "-t", "20000"))
        r, d = self.r, self.d
        c = r.client()
        r.control("--place", "none")
        self.assertEqual(c.request({"class": "command", "command": "SW", "flag": 0x62, "p2": 0x5A})["outcome"], "ok")
        c.request({"class": "person_set", "user_id": 5, "name": "Ann Lee"})
        d.get(self.url)
        self.until(lambda: self.text("line-state").startswith("Line open"), "the line shown open")
        for page, start, cancel, shown, idle in (
                ("test", "test-start", "test-cancel", "test-result", "Cancelled."),
                ("enroll", "enroll-start", "enroll-cancel", "enroll-prompt", "Cancelled: nothing was enrolled.")):
            with self.subTest(page=page):
                self.tab(page)
                if page == "enroll":
                    self.select("enroll-person", "5")
                self.assertFalse(self.by(cancel).is_enabled())  # nothing to cancel yet
                seen = len(d.execute_script("return window.protocolSeen;"))
                self.press(start)
                self.until(lambda: self.by(cancel).is_enabled(), "Cancel while the scan waits", 10)
                self.assertFalse(self.by(start).is_enabled())
                time.sleep(0.5)
                clicked = time.monotonic()
                self.by(cancel).click()
                self.until(lambda: self.by(start).is_enabled() and self.text(shown).startswith(idle),
                           "the page back to idle", 5)
                self.assertLess(time.monotonic() - clicked, 5)
                self.assertFalse(self.by(cancel).is_enabled())
                # The request sent names the running command's id ...
                sent = [json.loads(m) for m in d.execute_script("return window.protocolSeen;")[seen:]]
                command = [m for m in sent if m.get("class") == "command" and m.get("command") in ("IS", "ES")]
                self.assertEqual(len(command), 1, sent)
                self.assertIn({"class": "cancel", "id": command[0]["id"]}, sent)
                # ... and the job is stopped: the line answers another client at once.
                asked = time.monotonic()
                self.assertEqual(c.request({"class": "command", "command": "SS"}, timeout=10)["outcome"], "ok")
                self.assertLess(time.monotonic() - asked, 1.0)
        self.shot("11-cancelled")
        self.check_protocol()
        self.assertEqual(self.browser_errors(), [])

    def test_a_line_of_two_modules_scanned_and_a_person_copied_over(self):
        self.open_station(sim_args=("--modules", "1,2"), daemon_args=("--modules", "1,2"))
        r, d = self.r, self.d
        r.wait_open()
        c = r.client()
        r.control("--place", "3", "--module", "1")
        self.assertEqual(c.request({"class": "command", "command": "ES", "module_id": 1, "p1": 5,
                                    "flag": 0x71})["outcome"], "ok")
        c.request({"class": "person_set", "user_id": 5, "name": "Ann Lee"})
        d.get(self.url)
        self.until(lambda: len(self.by("modules-table").find_elements("css selector", "tbody tr")) == 2,
                   "both modules")
        self.press("line-scan")
        self.until(lambda: self.text("scan-result") == "Modules found: 1, 2", "the scan of the line", 60)
        self.tab("people")
        self.until(lambda: "missing" in self.text("people-table"), "user 5 missing on module 2")
        self.shot("10-people-two-modules")
        self.click_in("people-table", "tr[data-user='5'] button[aria-label$='to module 2']", "the copy button")
        self.until(lambda: "Copied 1 template of Ann Lee (user 5) to module 2." in self.text("notice"), "the copy")
        self.until(lambda: "missing" not in self.text("people-table"), "user 5 on both modules")
        self.assertEqual(c.request({"class": "command", "command": "CT", "module_id": 2, "p1": 5})["values"],
                         {"user_id": 5, "templates": 1})
        # The copy identifies the same finger on the other module.
        r.control("--place", "3", "--module", "2")
        self.assertEqual(c.request({"class": "command", "command": "IS", "module_id": 2})["values"]["user_id"], 5)
        self.check_protocol()
        self.assertEqual(self.browser_errors(), [])


def main():
    global SHOTS
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--schema-dir", required=True)
    parser.add_argument("--shots", required=True)
    args, rest = parser.parse_known_args()
    rig.setup(args.bin, args.schema_dir)
    SHOTS = os.path.abspath(args.shots)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
