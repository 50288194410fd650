"""The Windows module's link server on Windows sockets, reached from Linux.

The Windows host program (velmorine_win_host.exe feed) runs under Wine and keeps one or two
components processing a known signal; Wine's Winsock listens on the Linux loopback, so Debian's
python3-websockets connects to 127.0.0.1:47800 as the app would, and what arrives is checked bit for
bit against what the host fed (the packet checks are the ones the Linux stream tests use, in
tests/web/linkwire.py).

Run through tests/windows/with-wine, with Debian's /usr/bin/python3, VELMORINE_WINE,
VELMORINE_WIN_HOST and VELMORINE_WIN_MODULE set. One argument picks the case class.
"""

import asyncio
import os
import queue
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
import linkwire  # noqa: E402
import websockets  # noqa: E402

READY_TIMEOUT = 120.0   # Wine starting and the module loading on a busy machine
LINE_TIMEOUT = 30.0
EXIT_TIMEOUT = 60.0
PORT_FREE_WAIT = 120.0  # a TIME_WAIT lasts 60 s; see wait_until_port_free
CONNECT_FOR = 20.0      # the server binds while the component is made; retry until then
RECEIVE_FOR = 20.0      # bound on collecting the wanted frames
TAKEOVER_BOUND = 5.0    # the design retries the bind every second; this bound is generous
WANTED_SECONDS = 0.75   # of audio per check, counted in frames

# The right channel is the left times this, per instance (HostSupport.h, rightSample).
INSTANCE_RATIO = {0: -0.25, 1: -0.125}

TCP_STATES = {"01": "ESTABLISHED", "06": "TIME_WAIT", "0A": "LISTEN"}


def windows_path(path):
    """Wine's Z: drive is the Linux root."""
    return "Z:" + os.path.abspath(path)


def sockets_on_port():
    """TCP states of this machine's IPv4 sockets whose local port is the plug-in's."""
    states = []
    with open("/proc/net/tcp") as table:
        next(table)
        for row in table:
            fields = row.split()
            if int(fields[1].split(":")[1], 16) == linkwire.PORT:
                states.append(TCP_STATES.get(fields[3], fields[3]))
    return states


def wait_until_port_free():
    """Waits until nothing holds the port, not even a closed connection's TIME_WAIT.

    Windows lets a listener bind over a TIME_WAIT connection; Wine, on Linux sockets, does not, so
    a connection that the server closed first keeps the Windows module from binding for a minute.
    Earlier tests of the same run leave such connections, and on a shared machine so may others.
    """
    deadline = time.monotonic() + PORT_FREE_WAIT
    while True:
        states = sockets_on_port()
        if not states:
            return
        if time.monotonic() > deadline:
            raise AssertionError("port %d stayed in use (%s) for %.0f s" % (linkwire.PORT, ", ".join(states), PORT_FREE_WAIT))
        time.sleep(1.0)


class WineFeedHost:
    """velmorine_win_host.exe feed under Wine. A context manager that kills it on the way out.

    stop() closes its input, which ends the feed, and returns each instance's fed frames.
    """

    def __init__(self, *args, instances=1, seconds=120.0):
        self.tmp = tempfile.TemporaryDirectory(prefix="velmorine-winfeed-")
        self.fed_prefix = os.path.join(self.tmp.name, "fed")
        self.stderr_path = os.path.join(self.tmp.name, "stderr.txt")
        self.instances = instances
        self.command = [os.environ["VELMORINE_WINE"], os.environ["VELMORINE_WIN_HOST"], "feed",
                        windows_path(os.environ["VELMORINE_WIN_MODULE"]), "--seconds", str(seconds),
                        "--instances", str(instances), "--fed", windows_path(self.fed_prefix), *args]
        self.process = None
        self.lines = queue.Queue()

    def __enter__(self):
        with open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(self.command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err)
        threading.Thread(target=self._read_stdout, daemon=True).start()
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(EXIT_TIMEOUT)
        self.tmp.cleanup()
        return False

    def _read_stdout(self):
        for line in self.process.stdout:
            self.lines.put(line.decode(errors="replace").strip())
        self.lines.put(None)

    def expect_line(self, prefix, timeout=LINE_TIMEOUT):
        """Waits for the next line starting with prefix and returns its words after the first."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("the host printed no %r within %.0f s%s" % (prefix, timeout, self.diagnostics()))
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise AssertionError("the host ended while %r was awaited (exit %s)%s"
                                     % (prefix, self.process.wait(EXIT_TIMEOUT), self.diagnostics()))
            if line.startswith(prefix):
                return line.split()[1:]

    def command_line(self, text):
        self.process.stdin.write((text + "\n").encode())
        self.process.stdin.flush()

    def fed_so_far(self):
        self.command_line("mark")
        return [int(word) for word in self.expect_line("mark")]

    def stop(self):
        self.process.stdin.close()
        try:
            code = self.process.wait(EXIT_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise AssertionError("the host did not exit within %.0f s%s" % (EXIT_TIMEOUT, self.diagnostics()))
        if code != 0:
            raise AssertionError("the host exited with %s%s" % (code, self.diagnostics()))
        fed = []
        for k in range(self.instances):
            with open("%s-%d.f32" % (self.fed_prefix, k), "rb") as f:
                fed.append(f.read())
        return fed

    def diagnostics(self):
        try:
            with open(self.stderr_path, "rb") as f:
                data = f.read()[-4000:].decode(errors="replace")
        except OSError:
            return ""
        return "\n--- host stderr ---\n" + data if data.strip() else ""


async def connect(retry_for):
    """A python3-websockets connection, retried while nobody listens yet.

    Its socket resets the connection when closed (SO_LINGER 0), so that ending it leaves no
    TIME_WAIT on the server's port (see wait_until_port_free). abort() ends it that way.
    """
    deadline = time.monotonic() + retry_for
    while True:
        try:
            ws = await websockets.connect(linkwire.URI, open_timeout=10, close_timeout=5, ping_interval=None,
                                          compression=None, max_size=None)
            break
        except (OSError, asyncio.TimeoutError, websockets.exceptions.InvalidHandshake):
            if time.monotonic() > deadline:
                raise
            await asyncio.sleep(0.05)
    ws.transport.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    return ws


def abort(ws):
    ws.transport.abort()


async def receive(ws, wanted_frames):
    """Messages until wanted_frames frames arrived, or RECEIVE_FOR passed."""
    messages, frames = [], 0
    deadline = time.monotonic() + RECEIVE_FOR
    while frames < wanted_frames and time.monotonic() < deadline:
        try:
            message = await asyncio.wait_for(ws.recv(), deadline - time.monotonic())
        except asyncio.TimeoutError:
            break
        messages.append(message)
        if isinstance(message, bytes) and len(message) >= linkwire.HEADER_BYTES:
            frames += int.from_bytes(message[12:16], "little")
    return messages


def sender_of(messages):
    """Which instance's signal the first frame is, from the ratio of its right to its left sample."""
    _, _, payload = linkwire.read_packet(messages[0])
    left, right = struct.unpack_from("<ff", payload)
    return next((k for k, ratio in INSTANCE_RATIO.items() if right == ratio * left), None)


class WindowsStream(unittest.TestCase):
    """A client gets exactly the audio processed after its handshake, in well-formed packets."""

    CASES = [
        # name, host options, rate, playing, mono
        ("stereo 48 kHz playing", [], 48000, True, False),
        ("mono 44.1 kHz stopped", ["--mono", "--stopped"], 44100, False, True),
    ]

    def test_client_receives_the_processed_signal_from_its_handshake_on(self):
        for name, options, rate, playing, mono in self.CASES:
            with self.subTest(name):
                wait_until_port_free()
                with WineFeedHost(*options, "--rate", str(rate)) as host:
                    host.expect_line("ready", READY_TIMEOUT)

                    # Let audio flow with nobody listening first: none of it may reach the client.
                    deadline = time.monotonic() + LINE_TIMEOUT
                    while host.fed_so_far()[0] < rate // 2 and time.monotonic() < deadline:
                        time.sleep(0.1)
                    before_handshake = host.fed_so_far()[0]

                    async def session():
                        ws = await connect(CONNECT_FOR)
                        try:
                            return await receive(ws, int(rate * WANTED_SECONDS))
                        finally:
                            abort(ws)

                    messages = asyncio.run(session())
                    fed = host.stop()[0]

                linkwire.check_stream(self, messages, fed, rate, playing, mono)
                first = linkwire.locate_run(fed, b"".join(linkwire.read_packet(m)[2] for m in messages))
                self.assertGreaterEqual(first // linkwire.FRAME_BYTES, before_handshake,
                                        "audio processed before the handshake was sent")


class WindowsTakeover(unittest.TestCase):
    """Two instances in one host: one holds the port, the other takes over once it is released."""

    RATE = 48000

    def test_second_instance_takes_over_when_the_first_is_released(self):
        wait_until_port_free()
        with WineFeedHost("--rate", str(self.RATE), instances=2) as host:
            host.expect_line("ready", READY_TIMEOUT)
            wanted = int(self.RATE * WANTED_SECONDS)

            async def scenario():
                # While both instances live, every connection reaches the same one: the other
                # cannot bind the port.
                first_sessions = []
                for _ in range(3):
                    ws = await connect(CONNECT_FOR)
                    first_sessions.append(await receive(ws, wanted))
                    if len(first_sessions) < 3:
                        abort(ws)

                self.assertTrue(all(first_sessions), "a connection received no packet")
                owners = {sender_of(messages) for messages in first_sessions}
                self.assertEqual(len(owners), 1, "connections reached different instances: %s" % owners)
                owner = owners.pop()
                self.assertIsNotNone(owner, "the stream is neither instance's signal")

                # Releasing the owner ends its connection; the other instance then binds and serves.
                host.command_line("release %d" % owner)
                host.expect_line("released")
                released_at = time.monotonic()
                with self.assertRaises(websockets.exceptions.ConnectionClosed):
                    await asyncio.wait_for(receive(ws, 10 ** 9), LINE_TIMEOUT)
                abort(ws)

                ws = await connect(TAKEOVER_BOUND)
                takeover = time.monotonic() - released_at
                try:
                    after = await receive(ws, wanted)
                finally:
                    # The one orderly close of these tests: the WebSocket closing handshake.
                    await ws.close()
                print("the other instance served a client %.2f s after the release" % takeover)
                self.assertLess(takeover, TAKEOVER_BOUND)
                return owner, first_sessions, after

            owner, first_sessions, after = asyncio.run(scenario())
            fed = host.stop()

        for index, messages in enumerate(first_sessions):
            with self.subTest("connection %d to instance %d" % (index, owner)):
                linkwire.check_stream(self, messages, fed[owner], self.RATE, True)
        with self.subTest("connection to instance %d after the takeover" % (1 - owner)):
            linkwire.check_stream(self, after, fed[1 - owner], self.RATE, True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
