#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# A real Prometheus scrapes sockscope-exporter, which runs as an
# unprivileged user with the four capabilities its systemd unit gives it,
# while processes of known names open and close connections; Prometheus's
# HTTP API must then give those processes' series the counts they made.
#
#   prometheus_test.py EXPORTER CONNECTION_PEER
#
# Exit 0 passed, 1 failed, 77 skipped (no /usr/bin/prometheus, not root to
# give the exporter its capabilities, or a build without BPF). Every wait is bounded; every
# process it starts is ended and reaped.
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

PROMETHEUS = "/usr/bin/prometheus"
CAPABILITIES = "+sys_ptrace,+dac_read_search,+bpf,+perfmon"
CONNECTIONS = 40   # made and closed by "promchurn", each sending "hello"
HELLO = len(b"hello")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as answer:
        return answer.read().decode()


def wait_for(what, check, seconds):
    """Calls check until it gives something true, at most `seconds`."""
    until = time.monotonic() + seconds
    last = None
    while time.monotonic() < until:
        try:
            last = check()
            if last:
                return last
        except OSError as error:
            last = error
        time.sleep(0.25)
    raise AssertionError(f"{what}: not within {seconds} s (last: {last!r})")


class Processes:
    """Everything the test started, ended and reaped at the end."""

    def __init__(self):
        self.started = []

    def start(self, *args, **kwargs):
        process = subprocess.Popen(*args, **kwargs)
        self.started.append(process)
        return process

    def end_all(self):
        for process in reversed(self.started):
            if process.stdin:
                process.stdin.close()
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=10)


def query(prometheus, expression):
    """The value of an instant query's only series, None when it has none."""
    answer = json.loads(get(f"http://127.0.0.1:{prometheus}/api/v1/query?"
                            + urllib.parse.urlencode({"query": expression})))
    if answer["status"] != "success":
        raise AssertionError(f"{expression}: {answer}")
    result = answer["data"]["result"]
    if len(result) > 1:
        raise AssertionError(f"{expression}: more than one series: {result}")
    return float(result[0]["value"][1]) if result else None


def peer(processes, work, name, *args):
    """connection_peer copied under `name`, so that its sockets' owner is named so."""
    program = os.path.join(work, name)
    if not os.path.exists(program):
        shutil.copy(sys.argv[2], program)
        os.chmod(program, 0o755)
    process = processes.start([program, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    process.unread = b""
    return process


def read_line(process, seconds=30):
    """The next line the process prints, waiting at most `seconds`."""
    until = time.monotonic() + seconds
    while b"\n" not in process.unread:
        left = until - time.monotonic()
        ready, _, _ = select.select([process.stdout], [], [], max(left, 0))
        if not ready:
            raise AssertionError(f"{process.args[0]}: no answer within {seconds} s")
        chunk = os.read(process.stdout.fileno(), 4096)
        if not chunk:
            raise AssertionError(f"{process.args[0]} ended: {process.unread!r}")
        process.unread += chunk
    line, process.unread = process.unread.split(b"\n", 1)
    return line.decode().strip()


def main():
    exporter = sys.argv[1]
    if not os.access(PROMETHEUS, os.X_OK):
        print(f"{PROMETHEUS} is not installed (Debian: prometheus): skipped")
        return 77
    if os.geteuid() != 0:
        print("not root: the exporter cannot be given its capabilities: skipped")
        return 77
    if os.environ.get("SOCKSCOPE_BUILT_WITH_BPF") == "0":
        print("a build without BPF: the exporter has no connection stream to count with: skipped")
        return 77
    processes = Processes()
    work = tempfile.mkdtemp(prefix="sockscope-prometheus-")
    os.chmod(work, 0o755)
    try:
        exporter_port, prometheus_port = free_port(), free_port()
        # As the unit runs it: another user, those capabilities and no more.
        processes.start(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                         f"--inh-caps=-all,{CAPABILITIES}", f"--ambient-caps=-all,{CAPABILITIES}",
                         f"--bounding-set=-all,{CAPABILITIES}", "--no-new-privs",
                         exporter, "--all-namespaces", "--listen", f"127.0.0.1:{exporter_port}"])
        metrics_url = f"http://127.0.0.1:{exporter_port}/metrics"
        wait_for("the exporter's stream up",
                 lambda: 'sockscope_source_up{source="stream"} 1' in get(metrics_url), 30)
        text = get(metrics_url)
        for line in ('sockscope_source_up{source="snapshot"} 1', "# HELP sockscope_connections_closed_total",
                     "# TYPE sockscope_sent_bytes_total counter", "sockscope_unreadable_processes 0"):
            assert line in text, f"{line!r} not in the metrics:\n{text}"

        config = os.path.join(work, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    "scrape_configs:\n  - job_name: sockscope\n    static_configs:\n"
                    f"      - targets: ['127.0.0.1:{exporter_port}']\n")
        processes.start([PROMETHEUS, f"--config.file={config}", f"--storage.tsdb.path={work}/data",
                         f"--web.listen-address=127.0.0.1:{prometheus_port}"],
                        stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "prometheus.log"), "w"))
        wait_for("Prometheus scraping the exporter",
                 lambda: query(prometheus_port, 'up{job="sockscope"}') == 1, 60)

        server = peer(processes, work, "promserve", "serve", "127.0.0.1", str(CONNECTIONS + 1))
        port = read_line(server)
        assert read_line(server) == "ready"
        churn = peer(processes, work, "promchurn", "connect", "127.0.0.1", port, str(CONNECTIONS))
        assert read_line(churn) == "ready"
        holder = peer(processes, work, "promhold", "hold", "127.0.0.1", port)
        assert read_line(holder) == "ready"

        def value(expression, expected):
            return lambda: query(prometheus_port, expression) == expected

        wait_for("promchurn's closed connections",
                 value('sockscope_connections_closed_total{process="promchurn"}', CONNECTIONS), 60)
        checks = [
            ('sockscope_connections_opened_total{process="promchurn"}', CONNECTIONS),
            ('sockscope_connections_closed_total{process="promserve"}', CONNECTIONS),
            ('sockscope_connections{process="promhold"}', 1),
            ('sockscope_connections_opened_total{process="promhold"}', 1),
            (f'sockscope_listeners{{process="promserve",protocol="tcp",port="{port}"}}', 1),
        ]
        for expression, expected in checks:
            wait_for(f"{expression} == {expected}", value(expression, expected), 30)
        # Other processes' churn on this machine may make the stream lose
        # records; the metric is there all the same.
        assert query(prometheus_port, 'sockscope_stream_lost_records_total') is not None
        # Payload only, counted at close: "hello" each way it went. A look
        # that caught a connection alive may add its SYN and FIN.
        sent = query(prometheus_port, 'sockscope_sent_bytes_total{process="promchurn"}')
        received = query(prometheus_port, 'sockscope_received_bytes_total{process="promserve"}')
        for what, got in (("promchurn sent", sent), ("promserve received", received)):
            assert HELLO * CONNECTIONS <= got <= (HELLO + 2) * CONNECTIONS, f"{what} {got} bytes"
        # No pid label anywhere: a series per process name.
        series = json.loads(get(f"http://127.0.0.1:{prometheus_port}/api/v1/series?"
                                + urllib.parse.urlencode({"match[]": '{__name__=~"sockscope_.*"}'})))
        for labels in series["data"]:
            assert "pid" not in labels and "remote_port" not in labels, labels
        print(f"passed: {CONNECTIONS} connections counted, {len(series['data'])} series")
        return 0
    finally:
        processes.end_all()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except AssertionError as error:
        print(f"FAILED: {error}")
        sys.exit(1)
