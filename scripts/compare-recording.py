#!/usr/bin/python3
"""Compares what velmorine-listen recorded with what velmorine-host fed, frame by frame and bit
for bit, and prints one summary line. Exit 0 only when every recorded frame is a fed frame, in
order, with none lost in between and at least the expected length."""

import argparse
import struct
import sys


def read_float_stereo(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise SystemExit(f"{path}: not a WAV file")
    pos, rate, frames = 12, None, None
    while pos + 8 <= len(data):
        chunk, size = data[pos:pos + 4], struct.unpack_from("<I", data, pos + 4)[0]
        body = data[pos + 8:pos + 8 + size]
        if chunk == b"fmt ":
            fmt, channels, rate = struct.unpack_from("<HHI", body)
            bits = struct.unpack_from("<H", body, 14)[0]
            if (fmt, channels, bits) != (3, 2, 32):
                raise SystemExit(f"{path}: expected 32-bit float stereo")
        elif chunk == b"data":
            frames = [body[i:i + 8] for i in range(0, len(body) - len(body) % 8, 8)]
        pos += 8 + size + (size & 1)
    if rate is None or frames is None:
        raise SystemExit(f"{path}: no audio")
    return rate, frames


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("fed")
    parser.add_argument("received")
    parser.add_argument("--seconds", type=float, required=True, help="the length the recording must have")
    parser.add_argument("--first-audio-ms", default="?", help="as the listener reported it")
    args = parser.parse_args()

    fed_rate, fed = read_float_stereo(args.fed)
    rate, received = read_float_stereo(args.received)
    expected = int(round(args.seconds * fed_rate))

    if not received:
        print("FAILED: nothing was recorded")
        return 1

    # Where the recording starts in what was fed: the first place where a run of frames matches.
    probe = min(64, len(received))
    index = {}
    for j in range(len(fed) - probe + 1):
        index.setdefault(fed[j], []).append(j)
    start = next((j for j in index.get(received[0], []) if fed[j:j + probe] == received[:probe]), None)
    if start is None:
        print(f"FAILED: the recording's first frames were never fed ({len(received)} frames recorded)")
        return 1

    lost = changed = 0
    i, j = 0, start
    while i < len(received):
        if j < len(fed) and received[i] == fed[j]:
            i += 1
            j += 1
            continue
        # Skip ahead over frames that never arrived, if the recording goes on further on.
        window = received[i:i + 16]
        resync = next((k for k in index.get(received[i], []) if k > j and fed[k:k + len(window)] == window), None)
        if resync is not None:
            lost += resync - j
            j = resync
        else:
            changed += 1
            i += 1
            j += 1

    short = max(0, expected - len(received))
    ok = lost == 0 and changed == 0 and short == 0 and rate == fed_rate
    print(f"streamed {len(received) / rate:.1f} s at {rate} Hz: {len(received)} frames, {lost} lost, "
          f"{changed} changed, first audio {args.first_audio_ms} ms after connect"
          + ("" if short == 0 else f", {short} frames short of {expected}")
          + ("" if rate == fed_rate else f", rate {rate} Hz instead of {fed_rate} Hz"))
    if not ok:
        print("FAILED: the stream differs from what was fed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
