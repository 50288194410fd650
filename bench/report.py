#!/usr/bin/python3
"""Turns the JSON that scripts/bench collects into the Markdown table of docs/benchmarks.md: every
figure beside its same-run baseline, as a median or a ratio, with its goal and whether it is met."""

import json
import os
import statistics
import sys


def load(path):
    """The JSON of one measurement, or None when it did not run."""
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def audio_medians(path):
    """Median ns per block over the repetitions, per benchmark name."""
    per_name = {}
    data = load(path)
    for b in (data or {}).get("benchmarks", []):
        if b.get("run_type") != "iteration" or "ns_per_block" not in b:
            continue
        name = b["run_name"] if "run_name" in b else b["name"]
        name = name.replace("/manual_time", "")
        per_name.setdefault(name, []).append(b["ns_per_block"])
    return {name: statistics.median(values) for name, values in per_name.items()}


def ns(value):
    if value is None:
        return "-"
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def ratio(a, b):
    return a / b if a is not None and b else None


def yes_no(ok):
    return "yes" if ok else "**no**"


def main():
    results = sys.argv[1]
    out = []
    say = out.append

    audio = audio_medians(os.path.join(results, "audio.json"))
    blocks = [32, 64, 128, 256, 512, 1024, 4096]

    say("### 1. pushAudio per block, on the audio thread (median ns per block)")
    say("")
    say("The audio thread runs on CPU 0, whatever reads the ring on CPU 1. Baseline: a plain loop "
        "interleaving the same channels (the left one twice for mono) into a preallocated buffer as "
        "large as the ring. *Connected*: a real client on loopback; between timed laps the server "
        "thread reads and sends what was queued, so the next lap writes memory last read on CPU 1; "
        "its baseline's buffer is read on CPU 1 between laps in the same way (*shared*). *Same "
        "core*: nothing reads the memory on the other core (the ring is emptied without reading it); "
        "its baseline is the same loop, *private*. *Fifo*: JUCE's AbstractFifo opening and closing "
        "the write of one block, without copying. Goal: connected at most 1.5 times its baseline.")
    say("")
    say("| block | ch | baseline, shared | pushAudio, connected | ratio | goal met | baseline, private | pushAudio, same core | ratio | fifo |")
    say("|---:|---:|---:|---:|---:|:---:|---:|---:|---:|---:|")
    for channels in (1, 2):
        for block in blocks:
            key = f"block:{block}/channels:{channels}"
            shared = audio.get(f"interleave_shared/{key}")
            conn = audio.get(f"pushAudio_connected/{key}")
            private = audio.get(f"interleave_private/{key}")
            same = audio.get(f"pushAudio_same_core/{key}")
            fifo = audio.get(f"fifo_bookkeeping/block:{block}")
            if None in (shared, conn, private, same, fifo):
                say(f"| {block} | {channels} | - | - | - | - | - | - | - | - |")
                continue
            r = conn / shared
            say(f"| {block} | {channels} | {ns(shared)} | {ns(conn)} | {r:.2f} | {yes_no(r <= 1.5)} | "
                f"{ns(private)} | {ns(same)} | {same / private:.2f} | {ns(fifo)} |")
    say("")

    say("### 2. processBlock of the whole processor (median ns per block)")
    say("")
    say("Baseline: a bare memcpy of the block's two channels. No goal: the plug-in's cost over doing nothing.")
    say("")
    say("| block | memcpy ns | processBlock, no client ns | ratio | processBlock, client connected ns | ratio |")
    say("|---:|---:|---:|---:|---:|---:|")
    for block in blocks:
        base = audio.get(f"memcpy_baseline/block:{block}")
        quiet = audio.get(f"processBlock/block:{block}/client:0")
        conn = audio.get(f"processBlock/block:{block}/client:1")
        if None in (base, quiet, conn):
            say(f"| {block} | - | - | - | - | - |")
            continue
        say(f"| {block} | {ns(base)} | {ns(quiet)} | {quiet / base:.2f} | {ns(conn)} | {conn / base:.2f} |")
    say("")

    latency = load(os.path.join(results, "latency.json")) or {}
    say("### 3. Added latency of the stream at real-time pace (48000 Hz stereo, ms)")
    say("")
    say("Per frame: from the start of the pushAudio call that queued it to the arrival of its packet at "
        "a client on loopback. Floor: the wait that the pacing rule alone sets (a packet once 128 frames "
        "wait, or more than 10 ms after the last one), as if the server looked at the ring "
        "continuously. Beside it, how long the client loop's 2 ms wait lasted at p99 on a bare "
        "thread during the same measurement: one turn of the design's wait, as this machine delivered "
        "it. Goal: p99 at most 3 ms above the floor.")
    say("")
    say("| block | frames | p50 | p99 | max | floor p99 | p99 - floor | goal met | 2 ms turn p99 | lost |")
    say("|---:|---:|---:|---:|---:|---:|---:|:---:|---:|---:|")
    for block in [32, 64, 128, 256, 512, 1024]:
        p = f"latency.{block}."
        if p + "p99_ms" not in latency:
            continue
        above = latency[p + "p99_ms"] - latency[p + "floor_p99_ms"]
        say(f"| {block} | {latency[p + 'frames']:,.0f} | {latency[p + 'p50_ms']:.2f} | {latency[p + 'p99_ms']:.2f} | "
            f"{latency[p + 'max_ms']:.2f} | {latency[p + 'floor_p99_ms']:.2f} | {above:.2f} | {yes_no(above <= 3.0)} | "
            f"{latency.get(p + 'turn_p99_ms', float('nan')):.2f} | {latency[p + 'lost']:.0f} |")
    say("")

    cpu = load(os.path.join(results, "cpu.json"))
    if cpu is None:
        print("\n".join(out))
        return
    say("### 4. Server thread CPU time (CLOCK_THREAD_CPUTIME_ID) per second of wall time, % of one core, median of 5 slices")
    say("")
    say("Baselines: bare threads that do nothing but the client loop's 2 ms wait, or the accept loop's 200 ms wait "
        f"(one such turn lasts {cpu['cpu.turn_p50_ms']:.2f} ms at the median, {cpu['cpu.turn_p99_ms']:.2f} ms at p99 here).")
    say("")
    say("| state | CPU % | vs bare 2 ms turn | goal | goal met |")
    say("|---|---:|---:|---|:---:|")
    bare = cpu["cpu.bare_turn_percent"]
    say(f"| bare thread, 2 ms waits only (baseline) | {bare:.3f} | 1.00 | - | - |")
    if "cpu.bare_idle_percent" in cpu:
        say(f"| bare thread, 200 ms waits only (the accept loop's wait) | {cpu['cpu.bare_idle_percent']:.3f} | {cpu['cpu.bare_idle_percent'] / bare:.2f} | - | - |")
    say(f"| idle, no client | {cpu['cpu.idle_percent']:.3f} | {cpu['cpu.idle_percent'] / bare:.2f} | < 0.05 % | {yes_no(cpu['cpu.idle_percent'] < 0.05)} |")
    say(f"| client connected, no audio | {cpu['cpu.connected_percent']:.3f} | {cpu['cpu.connected_percent'] / bare:.2f} | - | - |")
    say(f"| streaming 48000 Hz stereo, blocks of 256 | {cpu['cpu.streaming_percent']:.3f} | {cpu['cpu.streaming_percent'] / bare:.2f} | < 0.5 % | {yes_no(cpu['cpu.streaming_percent'] < 0.5)} |")
    say("")

    tp = load(os.path.join(results, "throughput.json"))
    if tp is None:
        print("\n".join(out))
        return
    say("### 5. Throughput, unpaced producer, client reading as fast as it can")
    say("")
    say("Baseline: bare loopback TCP carrying messages of a full packet's size (8212 bytes).")
    say("")
    say("| link, x real time | frames lost or changed | bare loopback, x real time | link / loopback | goal | goal met |")
    say("|---:|---:|---:|---:|---|:---:|")
    lost = tp["throughput.lost"] + tp["throughput.changed"]
    say(f"| {tp['throughput.realtime_x']:,.0f} | {lost:.0f} | {tp['throughput.loopback_realtime_x']:,.0f} | "
        f"{tp['throughput.realtime_x'] / tp['throughput.loopback_realtime_x']:.2f} | >= 100 x, none lost | "
        f"{yes_no(tp['throughput.realtime_x'] >= 100 and lost == 0)} |")
    say("")

    al = load(os.path.join(results, "alloc.json"))
    if al is None:
        print("\n".join(out))
        return
    say("### 6. Heap allocations while streaming (interposed malloc, which operator new calls)")
    say("")
    say(f"Control: one std::vector made on a watched thread counts {al['alloc.control']:.0f} allocation.")
    say("")
    say("| thread | allocations | per | goal | goal met |")
    say("|---|---:|---|---|:---:|")
    say(f"| audio thread (pushAudio), {al['alloc.blocks']:.0f} blocks | {al['alloc.audio_per_block']:.3f} | block | 0 | {yes_no(al['alloc.audio_per_block'] == 0)} |")
    say(f"| server thread, {al['alloc.packets']:.0f} packets | {al['alloc.server_per_packet']:.3f} | packet | 0 | {yes_no(al['alloc.server_per_packet'] == 0)} |")

    print("\n".join(out))


if __name__ == "__main__":
    main()
