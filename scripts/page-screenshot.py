#!/usr/bin/env python3
"""Takes a PNG of a page as a screen of WIDTHxHEIGHT CSS pixels shows it.

    page-screenshot.py URL OUT.png WIDTH HEIGHT [--mobile]

Headless Chromium's window is at least 500 pixels wide, so its --screenshot cannot show a
phone; this drives it through the DevTools protocol on a pipe (--remote-debugging-pipe: JSON
messages ended by a NUL byte, on descriptors 3 and 4) and sets the screen's size itself. It
waits for the line page's data (body data-fresh="yes") or a device page's (an attempt, or the
sentence that there is none), at most LIMIT_S seconds. The picture is kept with a palette of
its 256 most used colours (each other one becomes the nearest of them: the edges of letters),
a third of the size of Chromium's for a page of flat colours.
"""
import fcntl
import json
import os
import subprocess
import sys
import tempfile
import time
import base64
import struct
import zlib
from collections import Counter

LIMIT_S = 30
READY = """(() => {
  const b = document.body;
  if (!b) return false;
  if (b.dataset.fresh) return b.dataset.fresh === 'yes';
  return document.querySelector('.attempt, #no-attempts:not([hidden]), #error:not([hidden])') !== null;
})()"""


PALETTE = 256


def chunks(png):
    at = 8  # after the signature
    while at < len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        yield kind, png[at + 8:at + 8 + length]
        at += 12 + length


def pixels(png):
    """The RGB bytes of an 8-bit RGB PNG, its filters undone; its width and height."""
    header = dict(chunks(png))[b"IHDR"]
    width, height, depth, colour = struct.unpack(">IIBB", header[:10])
    if (depth, colour) != (8, 2):
        sys.exit("Chromium's PNG is not 8-bit RGB")
    data = zlib.decompress(b"".join(body for kind, body in chunks(png) if kind == b"IDAT"))
    stride, out, prev = width * 3, bytearray(), bytearray(width * 3)
    for y in range(height):
        kind = data[y * (stride + 1)]
        line = bytearray(data[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 3] if i >= 3 else 0
            b, c = prev[i], prev[i - 3] if i >= 3 else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + ((a + b) >> 1)) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        out += line
        prev = line
    return bytes(out), width, height


def with_palette(png):
    rgb, width, height = pixels(png)
    colours = [rgb[i:i + 3] for i in range(0, len(rgb), 3)]
    kept = [c for c, _ in Counter(colours).most_common(PALETTE)]
    index = {c: n for n, c in enumerate(kept)}
    for c in set(colours) - set(index):
        index[c] = min(range(len(kept)),
                       key=lambda n: sum((x - y) ** 2 for x, y in zip(c, kept[n])))
    rows = b"".join(b"\0" + bytes(index[c] for c in colours[y * width:(y + 1) * width])
                    for y in range(height))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body)))
    return (png[:8] + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 3, 0, 0, 0)) +
            chunk(b"PLTE", b"".join(kept)) + chunk(b"IDAT", zlib.compress(rows, 9)) +
            chunk(b"IEND", b""))


def moved(fd):
    high = fcntl.fcntl(fd, fcntl.F_DUPFD, 10)
    os.close(fd)
    return high


class Browser:
    def __init__(self, profile):
        # The child's descriptors 3 and 4 are the pipes' other ends; they are moved above 4
        # first, so that neither is overwritten by the other's dup2.
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()
        to_browser_r, from_browser_w = (moved(fd) for fd in (to_browser_r, from_browser_w))

        def wire():
            os.dup2(to_browser_r, 3)
            os.dup2(from_browser_w, 4)
        self.proc = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
             "--disable-lcd-text",
             "--remote-debugging-pipe", "--user-data-dir=" + profile, "about:blank"],
            preexec_fn=wire, pass_fds=(3, 4),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.next_id = 0
        self.pending = b""

    def call(self, method, params=None, session=None):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self.pending:
                chunk = os.read(self.from_browser, 1 << 16)
                if not chunk:
                    sys.exit("chromium ended before it answered " + method)
                self.pending += chunk
            text, self.pending = self.pending.split(b"\0", 1)
            reply = json.loads(text)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    sys.exit(method + ": " + json.dumps(reply["error"]))
                return reply.get("result", {})

    def close(self):
        try:
            os.write(self.to_browser, json.dumps({"id": 0, "method": "Browser.close"}).encode() + b"\0")
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    url, out, width, height = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as profile:
        browser = Browser(profile)
        try:
            target = browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
            session = browser.call("Target.attachToTarget",
                                   {"targetId": target, "flatten": True})["sessionId"]
            browser.call("Emulation.setDeviceMetricsOverride",
                         {"width": width, "height": height, "deviceScaleFactor": 1,
                          "mobile": "--mobile" in sys.argv}, session)
            browser.call("Page.navigate", {"url": url}, session)
            deadline = time.monotonic() + LIMIT_S
            while not browser.call("Runtime.evaluate", {"expression": READY,
                                                        "returnByValue": True},
                                   session)["result"].get("value"):
                if time.monotonic() > deadline:
                    sys.exit(url + " showed no data within " + str(LIMIT_S) + " s")
                time.sleep(0.2)
            shot = browser.call("Page.captureScreenshot", {"format": "png"}, session)
            with open(out, "wb") as f:
                f.write(with_palette(base64.b64decode(shot["data"])))
        finally:
            browser.close()


main()
