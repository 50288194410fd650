#!/usr/bin/python3
"""velmorine-listen and velmorine-host, run as a person runs them: against the real plug-in, and
the listener's error paths against small fake servers that misbehave on purpose. The wire numbers
below are this test's own copy, so that they check the tools' bytes independently."""

import base64
import hashlib
import os
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

LISTEN = os.environ["VELMORINE_LISTEN"]
HOST = os.environ["VELMORINE_HOST"]
GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def packet(frames, rate=48000, playing=1, magic=b"VMLK", fmt=(2, 0), count=None, start=0.0):
    samples = []
    for i in range(frames):
        samples += [start + i * 1e-4, -(start + i * 1e-4)]
    n = frames if count is None else count
    return magic + struct.pack("<IBBBBI", rate, fmt[0], fmt[1], playing, 0, n) + struct.pack(f"<{2 * frames}f", *samples)


def binary_frame(payload, opcode=2):
    n = len(payload)
    if n < 126:
        head = bytes([0x80 | opcode, n])
    elif n <= 65535:
        head = bytes([0x80 | opcode, 126]) + struct.pack(">H", n)
    else:
        head = bytes([0x80 | opcode, 127]) + struct.pack(">Q", n)
    return head + payload


class FakeServer:
    """Accepts connections on a free loopback port and runs a script on each: a list of
    ('answer', kind) / ('send', bytes) / ('sleep', s) / ('close',) steps."""

    def __init__(self, *scripts):
        self.port = free_port()
        self.scripts = list(scripts)
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", self.port))
        self.sock.listen(4)
        self.sock.settimeout(15)
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        for script in self.scripts:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn:
                conn.settimeout(10)
                request = b""
                while b"\r\n\r\n" not in request:
                    chunk = conn.recv(4096)
                    if not chunk:
                        break
                    request += chunk
                key = b""
                for line in request.split(b"\r\n"):
                    if line.lower().startswith(b"sec-websocket-key:"):
                        key = line.split(b":", 1)[1].strip()
                for step in script:
                    try:
                        if step[0] == "answer":
                            accept = base64.b64encode(hashlib.sha1(key + GUID).digest())
                            if step[1] == "wrong-accept":
                                accept = base64.b64encode(hashlib.sha1(b"other" + GUID).digest())
                            answers = {
                                "101": b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n\r\n",
                                "wrong-accept": b"HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: " + accept + b"\r\n\r\n",
                                "400": b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n",
                                "403": b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n",
                            }
                            conn.sendall(answers[step[1]])
                        elif step[0] == "send":
                            conn.sendall(step[1])
                        elif step[0] == "sleep":
                            time.sleep(step[1])
                        elif step[0] == "close":
                            break
                    except OSError:
                        break

    def close(self):
        self.sock.close()


def run_listen(*args, timeout=30, cwd=None):
    return subprocess.run([LISTEN, *map(str, args)], capture_output=True, text=True, timeout=timeout, cwd=cwd)


def read_float_stereo(path):
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"RIFF" and data[8:12] == b"WAVE", path
    pos, rate, body = 12, None, None
    while pos + 8 <= len(data):
        chunk, size = data[pos:pos + 4], struct.unpack_from("<I", data, pos + 4)[0]
        if chunk == b"fmt ":
            fmt, channels, rate = struct.unpack_from("<HHI", data, pos + 8)
            assert (fmt, channels) == (3, 2), path
        elif chunk == b"data":
            body = data[pos + 8:pos + 8 + size]
        pos += 8 + size + (size & 1)
    return rate, [body[i:i + 8] for i in range(0, len(body), 8)]


def write_float_wav(path, rate, channels, samples):
    data = struct.pack(f"<{len(samples)}f", *samples)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " + struct.pack("<IHHIIHH", 16, 3, channels, rate, rate * 4 * channels, 4 * channels, 32))
        f.write(b"data" + struct.pack("<I", len(data)) + data)


class ListenerErrors(unittest.TestCase):
    def test_nothing_listening(self):
        port = free_port()
        result = run_listen("--port", port)
        self.assertEqual(result.returncode, 2)
        self.assertIn(f"Nothing is listening on 127.0.0.1:{port}. Is Velmorine Link loaded in your DAW?", result.stderr)

    def test_handshake_refused_shows_the_status_line(self):
        cases = [("400", "HTTP/1.1 400 Bad Request"), ("403", "HTTP/1.1 403 Forbidden"),
                 ("wrong-accept", "wrong Sec-WebSocket-Accept")]
        for kind, shown in cases:
            with self.subTest(kind):
                server = FakeServer([("answer", kind), ("sleep", 1)])
                try:
                    result = run_listen("--port", server.port)
                finally:
                    server.close()
                self.assertEqual(result.returncode, 3, result.stderr)
                self.assertIn("The port answered, but not as Velmorine Link would", result.stderr)
                self.assertIn(shown, result.stderr)

    def test_connection_lost_mid_stream_says_when(self):
        server = FakeServer([("answer", "101"), ("send", b"".join(binary_frame(packet(1024)) for _ in range(100))), ("close",)])
        try:
            result = run_listen("--port", server.port)
        finally:
            server.close()
        self.assertEqual(result.returncode, 4, result.stderr)
        self.assertIn("Connection lost after 2.1 s of audio.", result.stderr)

    def test_broken_packets_are_reported(self):
        cases = [
            ("bad magic", packet(128, magic=b"XMLK"), "bad magic"),
            ("frame count against length", packet(128, count=127), "does not match the message length"),
            ("no frames", packet(0, count=0), "outside 1..1024"),
            ("too many frames", packet(1025), "outside 1..1024"),
            ("reserved byte", packet(128, fmt=(2, 1)), "bad constant header bytes"),
            ("short", b"VMLK\x80\xbb", "shorter than the 16-byte header"),
            ("text frame", None, "opcode 1"),
        ]
        for name, payload, shown in cases:
            with self.subTest(name):
                frame = binary_frame(b"hello", opcode=1) if payload is None else binary_frame(payload)
                server = FakeServer([("answer", "101"), ("send", binary_frame(packet(128))), ("send", frame), ("sleep", 2)])
                try:
                    result = run_listen("--port", server.port)
                finally:
                    server.close()
                self.assertEqual(result.returncode, 5, result.stderr)
                if payload is not None:
                    self.assertIn("Broken packet #2", result.stderr)
                self.assertIn(shown, result.stderr)

    def test_reconnects_as_the_app_would(self):
        one_second = [("answer", "101")] + [("send", binary_frame(packet(1000, start=k * 0.1))) for k in range(48)] + [("close",)]
        server = FakeServer(one_second, one_second)
        with tempfile.TemporaryDirectory() as work:
            try:
                result = run_listen("--port", server.port, "--reconnect", "--seconds", "1.5", "--record", "r.wav", cwd=work)
            finally:
                server.close()
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn("Reconnecting", result.stderr)
            rate, frames = read_float_stereo(os.path.join(work, "r.wav"))
            self.assertEqual((rate, len(frames)), (48000, 72000))

    def test_a_rate_change_starts_a_new_file(self):
        script = [("answer", "101"), ("send", binary_frame(packet(1000, rate=48000))),
                  ("send", binary_frame(packet(500, rate=44100))), ("close",)]
        server = FakeServer(script)
        with tempfile.TemporaryDirectory() as work:
            try:
                result = run_listen("--port", server.port, "--record", "take.wav", cwd=work)
            finally:
                server.close()
            self.assertEqual(result.returncode, 4, result.stderr)
            self.assertEqual([len(f) for f in [read_float_stereo(os.path.join(work, "take.wav"))[1]]], [1000])
            rate, frames = read_float_stereo(os.path.join(work, "take-44100Hz.wav"))
            self.assertEqual((rate, len(frames)), (44100, 500))

    def test_help_explains_every_option(self):
        for program, options in ((LISTEN, ["--port", "--record", "--seconds", "--reconnect"]),
                                 (HOST, ["--rate", "--block", "--input", "--seconds", "--stopped", "--pause-at", "--show-editor"])):
            result = subprocess.run([program, "--help"], capture_output=True, text=True, timeout=10)
            self.assertEqual(result.returncode, 0)
            for option in options:
                self.assertIn(option, result.stdout)
        result = subprocess.run([LISTEN, "--bogus"], capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, 1)


class ThroughThePlugin(unittest.TestCase):
    """The real plug-in in velmorine-host, with velmorine-listen recording what it streams."""

    def stream(self, host_args, seconds=1.0):
        with tempfile.TemporaryDirectory() as work:
            host = subprocess.Popen([HOST, *host_args, "--seconds", "6", "--record-input", os.path.join(work, "fed.wav")],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            try:
                deadline = time.time() + 20
                while True:
                    result = run_listen("--seconds", seconds, "--record", "got.wav", cwd=work)
                    if result.returncode != 2 or time.time() > deadline:
                        break
                    time.sleep(0.25)
                self.assertEqual(result.returncode, 0, result.stderr)
                host.wait(timeout=30)
                self.assertEqual(host.returncode, 0, host.stdout.read())
            finally:
                if host.poll() is None:
                    host.kill()
                    host.wait()
            fed = read_float_stereo(os.path.join(work, "fed.wav"))
            got = read_float_stereo(os.path.join(work, "got.wav"))
            return fed, got, result.stdout

    def assert_contiguous_run(self, fed_frames, got_frames):
        self.assertTrue(got_frames)
        starts = [i for i, f in enumerate(fed_frames) if f == got_frames[0] and fed_frames[i:i + 32] == got_frames[:32]]
        self.assertTrue(starts, "the recording's first frames were never fed")
        start = starts[0]
        self.assertEqual(fed_frames[start:start + len(got_frames)], got_frames)

    def test_a_wav_file_arrives_bit_for_bit(self):
        cases = [("stereo", 2), ("mono", 1)]
        for name, channels in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as inputs:
                frames = 6 * 44100
                samples = []
                for i in range(frames):
                    value = (i + 1) * 2.0 ** -20
                    samples += [value, -value] if channels == 2 else [value]
                source = os.path.join(inputs, "in.wav")
                write_float_wav(source, 44100, channels, samples)
                (fed_rate, fed), (rate, got), _ = self.stream(["--input", source, "--rate", "44100"])
                self.assertEqual(rate, 44100)
                self.assertEqual(len(got), 44100)
                expected = [struct.pack("<ff", samples[i * channels], samples[i * channels + channels - 1]) for i in range(frames)]
                self.assertEqual(fed, expected[:len(fed)])
                self.assertEqual(struct.unpack("<ff", got[0])[0], -struct.unpack("<ff", got[0])[1] if channels == 2 else struct.unpack("<ff", got[0])[1])
                self.assert_contiguous_run(expected, got)

    def test_the_built_in_signal_and_the_summary(self):
        (fed_rate, fed), (rate, got), summary = self.stream(["--block", "512"])
        self.assertEqual((fed_rate, rate, len(got)), (48000, 48000, 48000))
        self.assert_contiguous_run(fed, got)
        self.assertIn("received 48000 frames (1.00 s) at 48000 Hz", summary)
        self.assertRegex(summary, r"first audio \d+ ms after connect; 0 gaps")
        left = [struct.unpack("<ff", f)[0] for f in got]
        right = [struct.unpack("<ff", f)[1] for f in got]
        self.assertNotEqual(left, right)
        self.assertGreater(max(abs(v) for v in left), 0.1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
