"""What the stream tests share: the feed host, and a reading of the plug-in's packets.

The wire numbers are written out here again on purpose, apart from source/server/WireFormat.h, so
that a wrong constant in the server shows up as a failure instead of being agreed with.
"""

import asyncio
import os
import queue
import signal
import struct
import subprocess
import tempfile
import threading
import time

import websockets

PORT = 47800
URI = "ws://127.0.0.1:%d" % PORT

MAGIC = b"VMLK"
HEADER_BYTES = 16
FRAME_BYTES = 8
MAX_FRAMES = 1024

READY_TIMEOUT = 60.0   # loading the bundle on a busy machine can be slow
PORT_WAIT = 90.0       # other test programs load the plug-in too, and hold the port meanwhile
EXIT_TIMEOUT = 30.0
CONNECT_FOR = 5.0      # retry a refused or dropped connection for this long
RECEIVE_FOR = 20.0     # bound on collecting the wanted frames
MIN_SECONDS = 0.5      # of audio a check must have received to mean anything


class FeedHost:
    """Runs velmorine-host: the built plug-in, fed a ramp (every sample distinct) at real-time pace.

    Use it as a context manager; the process is killed on the way out whatever happened. seconds is
    only a bound: stop() ends the feed (the host treats SIGTERM as the end of its run) and returns
    the fed frames.
    """

    def __init__(self, *args, seconds=300.0):
        self.path = os.environ.get("VELMORINE_HOST")
        if not self.path:
            raise RuntimeError("VELMORINE_HOST must name the velmorine-host program")
        self.tmp = tempfile.TemporaryDirectory(prefix="velmorine-feed-")
        self.fed_path = os.path.join(self.tmp.name, "fed.wav")
        self.stderr_path = os.path.join(self.tmp.name, "stderr.txt")
        self.command = [self.path, "--signal", "ramp", "--seconds", str(seconds), "--record-input", self.fed_path, *args]
        self.process = None
        self.reader = None
        self.lines = queue.Queue()

    def __enter__(self):
        with open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                            stderr=err, start_new_session=True)
        self.reader = threading.Thread(target=self._read_stdout, daemon=True)
        self.reader.start()
        return self

    def __exit__(self, *exc):
        self.kill()
        if self.process is not None:
            self.reader.join(EXIT_TIMEOUT)
            self.process.stdout.close()
        self.tmp.cleanup()
        return False

    def _read_stdout(self):
        for line in self.process.stdout:
            self.lines.put(line.decode(errors="replace").strip())
        self.lines.put(None)

    def wait_ready(self):
        deadline = time.monotonic() + READY_TIMEOUT
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("the host did not start playing within %.0f s%s" % (READY_TIMEOUT, self.diagnostics()))
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is not None and line.startswith("Playing "):
                self._wait_for_port()
                return
            if line is None:
                raise AssertionError("the feed host ended before it was ready (exit %s)%s"
                                     % (self.process.wait(EXIT_TIMEOUT), self.diagnostics()))

    def _wait_for_port(self):
        # A client must reach this host's plug-in, not another program's that holds the port: the
        # plug-in retries its bind every second, so wait until the listening socket is ours.
        deadline = time.monotonic() + PORT_WAIT
        while not (listening_sockets(PORT) & sockets_of(self.process.pid)):
            if self.process.poll() is not None:
                raise AssertionError("the feed host ended before it listened%s" % self.diagnostics())
            if time.monotonic() > deadline:
                holder = "another process" if listening_sockets(PORT) else "nobody"
                raise AssertionError("after %.0f s, %s listens on port %d instead of the feed host's plug-in"
                                     % (PORT_WAIT, holder, PORT))
            time.sleep(0.2)

    def stop(self):
        """Ends the feed, checks a clean exit and returns every fed frame as raw bytes."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            code = self.process.wait(EXIT_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise AssertionError("the feed host did not exit within %.0f s%s" % (EXIT_TIMEOUT, self.diagnostics()))
        if code != 0:
            raise AssertionError("the feed host exited with %s%s" % (code, self.diagnostics()))
        with open(self.fed_path, "rb") as f:
            return wav_data(f.read())

    def kill(self):
        if self.process is not None and self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.process.wait(EXIT_TIMEOUT)

    def diagnostics(self):
        try:
            with open(self.stderr_path, "rb") as f:
                text = f.read()[-4000:].decode(errors="replace")
        except OSError:
            return ""
        return "\n--- feed host stderr ---\n" + text if text.strip() else ""


def wav_data(wav):
    """The sample bytes of a WAV file's data chunk."""
    if wav[:4] != b"RIFF" or wav[8:12] != b"WAVE":
        raise AssertionError("the host's record of what it fed is not a WAV file")
    pos = 12
    while pos + 8 <= len(wav):
        size = struct.unpack_from("<I", wav, pos + 4)[0]
        if wav[pos:pos + 4] == b"data":
            return wav[pos + 8:pos + 8 + size]
        pos += 8 + size + (size & 1)
    raise AssertionError("the host's record of what it fed has no data chunk")


def listening_sockets(port):
    """The inodes of the TCP sockets that listen on port, read from the kernel's tables."""
    inodes = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                inodes.add(fields[9])
    return inodes


def sockets_of(pid):
    """The inodes of the sockets that process pid has open."""
    inodes = set()
    try:
        fds = os.listdir("/proc/%d/fd" % pid)
    except OSError:
        return inodes
    for fd in fds:
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[len("socket:["):-1])
    return inodes


def read_packet(message):
    """Splits one binary message into (sample rate, playing byte, frame bytes), checking its header.

    Raises AssertionError naming the first fault.
    """
    if not isinstance(message, (bytes, bytearray)):
        raise AssertionError("a text message arrived: %r" % (message[:80],))
    if len(message) < HEADER_BYTES:
        raise AssertionError("a message of %d bytes is shorter than the header" % len(message))
    head = message[:HEADER_BYTES]
    if head[0:4] != MAGIC:
        raise AssertionError("magic is %r" % bytes(head[0:4]))
    if head[8] != 2 or head[9] != 0 or head[11] != 0:
        raise AssertionError("format bytes are %d %d, byte 11 is %d" % (head[8], head[9], head[11]))
    if head[10] not in (0, 1):
        raise AssertionError("playing byte is %d" % head[10])
    frames = int.from_bytes(head[12:16], "little")
    if not 1 <= frames <= MAX_FRAMES:
        raise AssertionError("frame count is %d" % frames)
    if len(message) != HEADER_BYTES + FRAME_BYTES * frames:
        raise AssertionError("%d frames in a message of %d bytes" % (frames, len(message)))
    return int.from_bytes(head[4:8], "little"), head[10], bytes(message[HEADER_BYTES:])


def check_stream(test, messages, fed, rate, playing, mono=False):
    """Checks every packet's header, and that their frames are one long contiguous run of the fed ones."""
    test.assertTrue(messages, "no packet arrived")
    frames = bytearray()
    for index, message in enumerate(messages):
        try:
            got_rate, got_playing, payload = read_packet(message)
        except AssertionError as e:
            raise AssertionError("packet %d: %s" % (index, e)) from None
        test.assertEqual(got_rate, rate, "sample rate of packet %d" % index)
        test.assertEqual(got_playing, 1 if playing else 0, "playing byte of packet %d" % index)
        frames += payload

    if mono:
        odd = next((i for i in range(0, len(frames), FRAME_BYTES) if frames[i:i + 4] != frames[i + 4:i + 8]), None)
        test.assertIsNone(odd, "left differs from right in a mono stream")

    test.assertEqual(len(fed) % FRAME_BYTES, 0, "the fed file holds whole frames")
    offset = locate_run(fed, bytes(frames))
    test.assertIsNotNone(offset, "the received frames are not a contiguous run of the fed frames: "
                         + describe_mismatch(fed, bytes(frames)))
    test.assertGreaterEqual(len(frames) // FRAME_BYTES, int(rate * MIN_SECONDS), "frames received")


def locate_run(fed, received):
    """The frame-aligned offset at which received occurs in fed, or None."""
    start = fed.find(received)
    while start >= 0 and start % FRAME_BYTES:
        start = fed.find(received, start + 1)
    return None if start < 0 else start


def describe_mismatch(fed, received):
    # Every fed frame is distinct, so the first received frame places the run in the fed stream.
    first = received[:FRAME_BYTES]
    start = locate_run(fed, first)
    if start is None:
        return "the first received frame %s was never fed" % first.hex()
    for i in range(0, len(received), FRAME_BYTES):
        want = fed[start + i:start + i + FRAME_BYTES]
        got = received[i:i + FRAME_BYTES]
        if want != got:
            return ("frames agree from fed frame %d for %d frames, then %s arrived where %s was fed"
                    % (start // FRAME_BYTES, i // FRAME_BYTES, got.hex(), want.hex() or "nothing"))
    return "no difference found"


async def connect():
    """Opens a python3-websockets connection to the plug-in, retrying while the server binds."""
    deadline = time.monotonic() + CONNECT_FOR
    while True:
        try:
            return await websockets.connect(URI, open_timeout=10, close_timeout=5, ping_interval=None,
                                            compression=None, max_size=None)
        except (OSError, asyncio.TimeoutError, websockets.exceptions.InvalidHandshake):
            if time.monotonic() > deadline:
                raise
            await asyncio.sleep(0.2)


async def _receive_frames(wanted):
    ws = await connect()
    messages = []
    try:
        frames = 0
        deadline = time.monotonic() + RECEIVE_FOR
        while frames < wanted:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            try:
                message = await asyncio.wait_for(ws.recv(), left)
            except asyncio.TimeoutError:
                break
            messages.append(message)
            if isinstance(message, bytes) and len(message) >= HEADER_BYTES:
                frames += int.from_bytes(message[12:16], "little")
    finally:
        await ws.close()
    return messages


def receive_frames(wanted):
    """Connects, collects messages until `wanted` frames arrived (or RECEIVE_FOR passed), closes."""
    return asyncio.run(_receive_frames(wanted))
