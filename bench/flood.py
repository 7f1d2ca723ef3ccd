"""One scenario of bench/flood.sh: a flood from some clients, and how a quiet client fares meanwhile.

Usage: flood.py SCENARIO SECONDS. Sends to 192.0.2.1:53 from 192.0.2.2 and .3 and 10.9.0.1 to .200. Prints one line:
the quiet client's queries, how many got an address within 5 s, how many a server failure, how many nothing.
"""
import random
import socket
import struct
import sys
import threading
import time

SERVER = ("192.0.2.1", 53)


def query(qid, name):
    return struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0) + b"".join(
        bytes([len(label)]) + label.encode() for label in name.split(".")) + b"\0\0\1\0\1"


def flood(sources, names, rate, seconds, stop):
    """Sends `rate` queries a second in all, from the source addresses in turn, for names given by names(i)."""
    sockets = []
    for source in sources:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((source, 0))
        s.setblocking(False)
        sockets.append(s)
    start, sent = time.monotonic(), 0
    while not stop.is_set() and time.monotonic() - start < seconds:
        due = int((time.monotonic() - start) * rate)
        while sent < due:
            try:
                sockets[sent % len(sockets)].sendto(query(sent & 0xFFFF, names(sent)), SERVER)
            except BlockingIOError:
                pass
            sent += 1
        time.sleep(0.001)


def quiet(source, names, seconds):
    """Asks a name every 100 ms; returns (asked, addresses within 5 s, server failures, nothing, median time)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((source, 0))
    s.settimeout(0.05)
    sent, outcome = {}, {}
    start = time.monotonic()
    i = 0
    while time.monotonic() - start < seconds + 5:
        now = time.monotonic()
        if now - start < seconds and now - start >= i * 0.1:
            s.sendto(query(i, names(i)), SERVER)
            sent[i] = now
            i += 1
        try:
            reply = s.recv(512)
        except socket.timeout:
            continue
        qid, flags, _, answers = struct.unpack(">HHHH", reply[:8])
        if qid in sent and qid not in outcome and time.monotonic() - sent[qid] <= 5:
            outcome[qid] = ("address" if flags & 15 == 0 and answers else "failure", time.monotonic() - sent[qid])
    values = [kind for kind, _ in outcome.values()]
    times = sorted(after for _, after in outcome.values())
    median = times[len(times) // 2] if times else 0
    return i, values.count("address"), values.count("failure"), i - len(values), median


def main():
    scenario, seconds = sys.argv[1], float(sys.argv[2])
    tag = random.randrange(1 << 30)
    stop = threading.Event()
    if scenario == "one-name":  # one client, one silent name, 2,000 a second
        floods = [(["192.0.2.2"], lambda i: "silent-one.lan", 2000)]
        quiet_names = lambda i: "files"
    elif scenario == "many-sources":  # 200 clients, unique silent names, 1,000 a second in all
        floods = [([f"10.9.0.{n}" for n in range(1, 201)], lambda i: f"silent-{tag}-{i}.lan", 1000)]
        quiet_names = lambda i: f"good-{i}.lan"
    else:  # "unique-names": one client, unique silent names, 200 a second
        floods = [(["192.0.2.2"], lambda i: f"silent-{tag}-{i}.lan", 200)]
        quiet_names = lambda i: f"good-{i}.lan"
    threads = [threading.Thread(target=flood, args=(*f, seconds + 5, stop)) for f in floods]
    for t in threads:
        t.start()
    time.sleep(1)  # the flood takes hold first
    asked, addresses, failures, nothing, median = quiet("192.0.2.3", quiet_names, seconds)
    stop.set()
    for t in threads:
        t.join()
    print(f"{scenario}: {addresses} of {asked} answered with an address within 5 s, {failures} failures, "
          f"{nothing} unanswered; answers after {median * 1000:.0f} ms (median)")


main()
