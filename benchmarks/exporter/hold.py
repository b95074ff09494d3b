# SPDX-License-Identifier: MIT
# Holds N loopback TCP connections (2N sockets) until its stdin closes.
import resource, socket, sys
n = int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_NOFILE, (2 * n + 100, 2 * n + 100))
l = socket.socket(); l.bind(("127.0.0.1", 0)); l.listen(4096)
held = []
for i in range(n):
    c = socket.create_connection(("127.0.0.1", l.getsockname()[1]))
    held += [c, l.accept()[0]]
print("ready", flush=True)
sys.stdin.read()
