"""A real browser against the built plug-in: headless Chromium loads a page that opens a WebSocket to
the plug-in. A page served from this computer must get the exact stream; a page whose origin is a
foreign name must be refused, which is what keeps web sites from listening to the DAW.

Every byte stays on loopback: the page server listens on 127.0.0.1 and Chromium resolves every name
to 127.0.0.1, so the foreign name is only the page's origin, never a place on the network.

Run with Debian's /usr/bin/python3 and VELMORINE_HOST set.
"""

import http.server
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import unittest

import linkwire

RATE = 48000
WANTED_FRAMES = RATE      # one second of audio
PAGE_BOUND_MS = 10000     # the page stops collecting after this, whatever arrived
RESULT_TIMEOUT = 30.0     # Chromium's start on a busy machine included
PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "stream_page.html")


class PageServer(http.server.ThreadingHTTPServer):
    """Serves the page and takes the one result the page posts back."""

    def __init__(self):
        super().__init__(("127.0.0.1", 0), PageHandler)
        with open(PAGE, "rb") as f:
            self.page = f.read()
        self.result = None
        self.posted = threading.Event()


class PageHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path.split("?")[0] != "/":
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(self.server.page)))
        self.end_headers()
        self.wfile.write(self.server.page)

    def do_POST(self):
        if self.path != "/result":
            self.send_error(404)
            return
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        self.send_response(204)
        self.end_headers()
        if not self.server.posted.is_set():
            self.server.result = body
            self.server.posted.set()

    def log_message(self, *args):
        pass


def parse_result(body):
    """Returns None for a refused socket, else (text message count, binary messages)."""
    if body == b"REFUSED":
        return None
    if not body.startswith(b"OPENED") or len(body) < 10:
        raise AssertionError("the page posted %r" % body[:40])
    texts = int.from_bytes(body[6:10], "little")
    messages, at = [], 10
    while at < len(body):
        length = int.from_bytes(body[at:at + 4], "little")
        messages.append(body[at + 4:at + 4 + length])
        at += 4 + length
    return texts, messages


def open_in_chromium(url, scratch):
    """Loads url in headless Chromium and returns what the page posted (None if nothing in time)."""
    profile = os.path.join(scratch, "profile")
    log_path = os.path.join(scratch, "chromium.log")
    command = [
        shutil.which("chromium") or "/usr/bin/chromium",
        "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        # No proxy from the environment: every connection goes straight to loopback.
        "--no-proxy-server",
        "--user-data-dir=" + profile,
        "--host-resolver-rules=MAP * 127.0.0.1",
        url,
    ]
    with open(log_path, "wb") as log:
        # Its own process group, so that its helpers go with it.
        browser = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    return browser, log_path


class BrowserOrigin(unittest.TestCase):
    """Which pages may listen: decided by the Origin that Chromium itself sends."""

    CASES = [
        # page host, streams
        ("localhost", True),
        ("velmorine-test.example", False),
    ]

    def test_only_pages_from_this_computer_get_the_stream(self):
        for page_host, streams in self.CASES:
            with self.subTest(page_host):
                self.check_page(page_host, streams)

    def check_page(self, page_host, streams):
        scratch = tempfile.mkdtemp(prefix="velmorine-browser-")
        server = PageServer()
        threading.Thread(target=server.serve_forever, daemon=True).start()
        browser = None
        try:
            with linkwire.FeedHost("--rate", str(RATE)) as host:
                host.wait_ready()
                # Proves the server is up, so that a refusal below is the server's answer.
                linkwire.receive_frames(1)

                url = "http://%s:%d/?frames=%d&bound=%d" % (page_host, server.server_address[1], WANTED_FRAMES, PAGE_BOUND_MS)
                browser, log_path = open_in_chromium(url, scratch)
                posted = server.posted.wait(RESULT_TIMEOUT)
                stop_browser(browser)

                if not posted:
                    self.fail("the page posted nothing within %.0f s%s" % (RESULT_TIMEOUT, tail(log_path)))
                result = parse_result(server.result)

                if not streams:
                    self.assertTrue(result is None, "a page from %s was let in" % page_host)
                    # The refusal leaves the server serving the next client.
                    linkwire.receive_frames(1)
                    host.stop()
                    return

                self.assertTrue(result is not None, "a page from %s was refused%s" % (page_host, tail(log_path)))
                texts, messages = result
                fed = host.stop()

            self.assertEqual(texts, 0, "text messages arrived")
            linkwire.check_stream(self, messages, fed, RATE, playing=True)
        finally:
            stop_browser(browser)
            server.shutdown()
            server.server_close()
            shutil.rmtree(scratch, ignore_errors=True)


def stop_browser(browser):
    # Until it is reaped the leader's id cannot be reused, so the group is still Chromium's.
    if browser is not None and browser.returncode is None:
        try:
            os.killpg(browser.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        browser.wait(linkwire.EXIT_TIMEOUT)


def tail(path):
    try:
        with open(path, "rb") as f:
            text = f.read()[-3000:].decode(errors="replace")
    except OSError:
        return ""
    return "\n--- chromium ---\n" + text if text.strip() else ""


if __name__ == "__main__":
    unittest.main(verbosity=2)
