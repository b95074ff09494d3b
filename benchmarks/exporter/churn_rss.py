# SPDX-License-Identifier: MIT
# Runs sockscope-exporter under a steady churn of short connections from
# processes of 20 names (each replaced by a fresh process every 30 s),
# scraping it every second, and prints its RSS after 1 and 10 minutes.
import ctypes, os, signal, socket, subprocess, sys, threading, time, urllib.request

exporter, port, minutes, rate = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
listener = socket.socket(); listener.bind(("127.0.0.1", 0)); listener.listen(512)
target = listener.getsockname()[1]

def serve():
    while True:
        c, _ = listener.accept()
        c.recv(4096); c.close()
threading.Thread(target=serve, daemon=True).start()

CHILD = r"""
import ctypes, socket, sys, time
ctypes.CDLL(None).prctl(15, sys.argv[1].encode(), 0, 0, 0)
rate, port, until = float(sys.argv[2]), int(sys.argv[3]), time.monotonic() + 30
made, start = 0, time.monotonic()
while time.monotonic() < until:
    if made < (time.monotonic() - start) * rate:
        s = socket.create_connection(("127.0.0.1", port)); s.sendall(b"x" * 1000); s.close(); made += 1
    else:
        time.sleep(0.01)
"""
ex = subprocess.Popen([exporter, "--listen", f"127.0.0.1:{port}"], stderr=subprocess.DEVNULL)
def rss():
    for line in open(f"/proc/{ex.pid}/status"):
        if line.startswith("VmRSS"): return int(line.split()[1])
children, start, samples, scrape_ms = [], time.monotonic(), {}, []
try:
    time.sleep(2)
    while time.monotonic() - start < minutes * 60:
        children = [c for c in children if c.poll() is None]
        if len(children) < 20:
            names = {c.args[3] for c in children}
            for i in range(20):
                name = f"churn-{i:02d}"
                if name not in names:
                    children.append(subprocess.Popen([sys.executable, "-c", CHILD, name, str(rate / 20), str(target)],
                                                     stderr=subprocess.DEVNULL))
        t = time.monotonic()
        body = urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=30).read()
        scrape_ms.append((time.monotonic() - t) * 1000)
        elapsed = time.monotonic() - start
        for mark in (60, 120, 300, 600):
            if elapsed >= mark and mark not in samples:
                samples[mark] = rss()
                print(f"{mark:4d} s: RSS {samples[mark]} kB, scrape {sorted(scrape_ms)[len(scrape_ms)//2]:.1f} ms median, "
                      f"{len(body)} bytes", flush=True)
        time.sleep(max(0, 1 - (time.monotonic() - t)))
    closed = [l for l in body.decode().splitlines() if l.startswith("sockscope_connections_closed_total{") and "churn-" in l]
    print("churn series:", len(closed), closed[:2], flush=True)
finally:
    for c in children:
        c.kill(); c.wait()
    ex.send_signal(signal.SIGTERM); ex.wait(timeout=10)
