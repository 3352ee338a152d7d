#!/usr/bin/env python3
"""Ours over each peer, from the JSON results of one `make bench` run.

Each case is named "<case>/<library>". Ours on the ring ("ours") is set against
the peers on the ring and libuv; ours on epoll ("ours_epoll") against the peers
on epoll and libuv; both against the bare loop of their own mechanism where one
exists. Above 1 is better: faster for a rate, and for a figure where lower is
better (memory per connection) the peer's figure over ours, so that 1.3 says
ours holds 1.3 times less. With repetitions, the median of each case is used.
Exits 1 when a pairing is below its bar, so a regression shows."""
import json
import re
import sys

# ours variant -> the peers it is compared with, and the bar of each.
PAIRINGS = {
    "ours": [("asio_uring", 1.0), ("asio", 1.0), ("libuv", 1.0), ("cares", 1.0), ("raw_uring", 0.9),
             ("raw_thread", None), ("sync", None), ("ours_zero_fill", 1.0), ("nginx", 1.0), ("curl", 1.0),
             ("curl_flushed", 0.9), ("aria2", 1.0)],
    "ours_epoll": [("asio", 1.0), ("libuv", 1.0), ("raw_epoll", 0.9), ("sync", None), ("nginx", 1.0),
                   ("aria2", 1.0)],
}
# Plain blocking calls on the caller's thread ("sync") are shown for reference
# only: on a cached file no request handed to another thread can beat them. So
# is the bare resolver hand-off ("raw_thread"): it runs as fast as c-ares, which
# stays the bar.
# curl flushing its file before it ends ("curl_flushed") is the bare job of a
# fetch that names its file complete only once the bytes are on disk, as afget
# does: with the disk's share in both, ours holds at least 0.9 of it.
# A case whose bar is the bare loop of its mechanism instead of the peers: the
# mechanism itself is the limit (see bench/tcp/raw.cpp).
MECHANISM_BOUND = {
    # Copying 64 KiB through loopback: every library on epoll is within the
    # noise of the bare loop.
    ("bulk", "ours_epoll"),
    # The connecting side and the kernel's handshakes set the rate: the bare
    # loops accept no faster than the libraries.
    ("accept", "ours"),
    ("accept", "ours_epoll"),
    ("accept_close_100", "ours"),
    ("accept_close_100", "ours_epoll"),
}
# Cases with a bar of their own (None: shown for reference only).
SPECIAL_BARS = {
    ("same_thread_posts", "asio"): 1.2,
    # Memory per idle connection (lower is better, so the ratio is theirs
    # over ours): the library holds no more than libuv or Asio, and afserve
    # no more than four times what nginx holds.
    ("idle_server", "nginx"): 0.25,
}

# Counters where lower is better, in the order they are looked for after the rates.
LOWER_IS_BETTER = ("bytes_per_connection",)


def rate(entry):
    """The case's figure and whether lower is better; (None, False) without one."""
    for key in ("items_per_second", "bytes_per_second"):
        if key in entry:
            return float(entry[key]), False
    for key in LOWER_IS_BETTER:
        if key in entry:
            return float(entry[key]), True
    return None, False


def load(paths):
    results = {}
    context = {}
    for path in paths:
        with open(path) as handle:
            data = json.load(handle)
        for key in ("kernel", "backends"):
            if key in data.get("context", {}):
                context.setdefault(key, []).append(data["context"][key])
        for entry in data.get("benchmarks", []):
            if entry.get("run_type") == "aggregate" and entry.get("aggregate_name") != "median":
                continue
            name = re.sub(r"/(min_time|real_time|manual_time|repeats|iterations)[^/]*", "",
                          entry.get("run_name", entry["name"]))
            name = re.sub(r"_(median|mean|stddev|cv)$", "", name)
            value, lower = rate(entry)
            if value is None or entry.get("error_occurred"):
                continue
            case, _, library = name.rpartition("/")
            # A median wins over the single runs of the same case.
            if entry.get("run_type") == "aggregate" or (case, library) not in results:
                results[(case, library)] = (value, lower)
    return results, context


def main(paths):
    results, context = load(paths)
    for key, values in context.items():
        for value in sorted(set(values)):
            print(f"{key}: {value}")
    cases = sorted({case for case, _ in results}, key=lambda c: (c.split("/")[0], c))
    failed = []
    print(f"{'case':32} {'ours':>10} {'peer':>12} {'ratio':>7}  bar")
    for case in cases:
        for ours, peers in PAIRINGS.items():
            mine, lower = results.get((case, ours), (None, False))
            if mine is None:
                continue
            bound = (case, ours) in MECHANISM_BOUND
            for peer, bar in peers:
                # Ours on the ring meets Asio on the ring where that exists.
                if ours == "ours" and peer == "asio" and (case, "asio_uring") in results:
                    continue
                theirs, _ = results.get((case, peer), (None, False))
                if theirs is None or theirs == 0:
                    continue
                bar = SPECIAL_BARS.get((case, peer), bar)
                # The bare loops are a bar only where the mechanism is the limit.
                counts = bar is not None and bound == peer.startswith("raw_")
                # Above 1 is better either way.
                # (No growth at all on our side is as good as it gets.)
                ratio = (theirs / mine if mine > 0 else float("inf")) if lower else mine / theirs
                verdict = "" if not counts else ("ok" if ratio >= bar else "BELOW")
                if counts and ratio < bar:
                    failed.append(f"{case}/{ours} vs {peer}: {ratio:.2f} < {bar}")
                print(f"{case:32} {ours:>10} {peer:>12} {ratio:7.2f}  {bar if counts else '-':<4} {verdict}")
    if failed:
        print("\nbelow the bar:\n  " + "\n  ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
