"""End to end through a WebSocket client we did not write: the built plug-in, hosted and fed a known
signal, streams to python3-websockets over loopback, and what arrives is checked bit for bit.

Run with Debian's /usr/bin/python3 (it has python3-websockets) and VELMORINE_HOST set.
"""

import asyncio
import base64
import hashlib
import os
import socket
import time
import unittest

import linkwire

WANTED_SECONDS = 1.0   # of audio per client, counted in frames
BETWEEN_CLIENTS = 0.3  # the host feeds on meanwhile, so audio of that time must never arrive

GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
FORBIDDEN = b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"


class StreamContent(unittest.TestCase):
    """Header fields and the exact frames, for each way a host can feed the plug-in.

    Two clients in turn: the second must get only audio processed after its own handshake, never
    what was still queued when the first left. 32-frame blocks keep frames queued between packets.
    """

    CASES = [
        # name, feed host options, rate, playing, mono
        ("stereo 48 kHz playing", [], 48000, True, False),
        ("mono 44.1 kHz playing", ["--mono"], 44100, True, True),
        ("stereo 48 kHz stopped", ["--stopped"], 48000, False, False),
        ("stereo 48 kHz playing, 32-frame blocks", ["--block", "32"], 48000, True, False),
    ]

    def test_each_client_receives_a_contiguous_run_of_the_fed_frames(self):
        for name, options, rate, playing, mono in self.CASES:
            with self.subTest(name):
                with linkwire.FeedHost(*options, "--rate", str(rate)) as host:
                    host.wait_ready()
                    first = linkwire.receive_frames(int(rate * WANTED_SECONDS))
                    time.sleep(BETWEEN_CLIENTS)
                    second = linkwire.receive_frames(int(rate * WANTED_SECONDS))
                    fed = host.stop()
                for client, messages in (("first client", first), ("second client", second)):
                    with self.subTest(name, client=client):
                        linkwire.check_stream(self, messages, fed, rate, playing, mono)


def raw_handshake(origin, read_timeout=10.0):
    """Sends an opening handshake on a plain socket; returns (socket, the key it sent)."""
    key = base64.b64encode(os.urandom(16)).decode()
    lines = ["GET / HTTP/1.1", "Host: 127.0.0.1:%d" % linkwire.PORT, "Upgrade: websocket",
             "Connection: Upgrade", "Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13"]
    if origin is not None:
        lines.append("Origin: " + origin)
    sock = socket.create_connection(("127.0.0.1", linkwire.PORT), timeout=read_timeout)
    sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
    return sock, key


def read_head(sock):
    """Reads up to the end of the response head; returns (head, whatever followed it)."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            break
        data += chunk
    head, separator, rest = data.partition(b"\r\n\r\n")
    return head + separator, rest


def read_to_end(sock, data=b""):
    while True:
        chunk = sock.recv(4096)
        if not chunk:
            return data
        data += chunk


def accept_value(key):
    return base64.b64encode(hashlib.sha1((key + GUID).encode()).digest()).decode()


def expect_switch(test, head, key):
    lines = head.decode(errors="replace").split("\r\n")
    test.assertEqual(lines[0], "HTTP/1.1 101 Switching Protocols", head)
    fields = {k.strip().lower(): v.strip() for k, _, v in (l.partition(":") for l in lines[1:] if l)}
    test.assertEqual(fields.get("upgrade", "").lower(), "websocket", head)
    test.assertIn("upgrade", fields.get("connection", "").lower(), head)
    test.assertEqual(fields.get("sec-websocket-accept"), accept_value(key), head)


def read_server_frame(sock, pending=b""):
    """Reads one unmasked server frame; returns (opcode, payload)."""
    data = pending

    def need(n):
        nonlocal data
        while len(data) < n:
            chunk = sock.recv(65536)
            if not chunk:
                raise AssertionError("the connection closed inside a frame")
            data += chunk

    need(2)
    opcode, length, at = data[0] & 0x0F, data[1] & 0x7F, 2
    if data[1] & 0x80:
        raise AssertionError("a server frame is masked")
    if length >= 126:
        size = 2 if length == 126 else 8
        need(2 + size)
        length, at = int.from_bytes(data[2:2 + size], "big"), 2 + size
    need(at + length)
    return opcode, data[at:at + length]


class Handshake(unittest.TestCase):
    """Who the server lets in, answered on plain sockets so the exact bytes are seen."""

    ORIGINS = [
        # Origin header (None: absent), let in
        (None, True),
        ("http://localhost:8080", True),
        ("https://localhost", True),
        ("ws://localhost", True),
        ("http://app.localhost:3000", True),
        ("http://127.0.0.1:5173", True),
        ("http://127.45.6.7", True),
        ("http://[::1]:8000", True),
        ("null", False),
        ("http://example.com", False),
        ("HTTPS://EXAMPLE.COM", False),
        ("https://velmorine-test.example:8443", False),
        ("wss://example.com", False),
        ("http://localhost.example.com", False),
        ("http://127.0.0.1.example.com", False),
        ("http://notlocalhost", False),
        ("http://128.0.0.1", False),
        ("http://[::2]", False),
        ("http://localhost@example.com", False),
    ]

    @classmethod
    def setUpClass(cls):
        cls.host = linkwire.FeedHost()
        cls.host.__enter__()
        try:
            cls.host.wait_ready()
            # Served once by a client with retries, so the plain sockets below need none.
            linkwire.receive_frames(1)
        except BaseException:
            cls.host.__exit__(None, None, None)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.host.__exit__(None, None, None)

    def test_only_pages_of_this_computer_or_no_origin_are_let_in(self):
        for origin, allowed in self.ORIGINS:
            with self.subTest(origin=origin):
                sock, key = raw_handshake(origin)
                with sock:
                    head, rest = read_head(sock)
                    if allowed:
                        expect_switch(self, head, key)
                    else:
                        # Exactly the refusal, then the server closes.
                        self.assertEqual(head, FORBIDDEN)
                        self.assertEqual(read_to_end(sock, rest), b"", "bytes after the refusal")

    def test_a_second_client_waits_until_the_first_leaves(self):
        async def scenario():
            first = await linkwire.connect()
            try:
                await asyncio.wait_for(first.recv(), 10)
                second, key = raw_handshake(None)
                with second:
                    # While the first is served, the second's handshake goes unanswered.
                    second.settimeout(1.0)
                    with self.assertRaises(socket.timeout, msg="a second client was answered while the first was served"):
                        second.recv(1)
                    await first.close()
                    second.settimeout(10.0)
                    head, rest = read_head(second)
                    expect_switch(self, head, key)
                    opcode, payload = read_server_frame(second, rest)
                    self.assertEqual(opcode, 2, "server frames are binary")
                    linkwire.read_packet(payload)
            finally:
                await first.close()

        asyncio.run(scenario())


if __name__ == "__main__":
    unittest.main(verbosity=2)
