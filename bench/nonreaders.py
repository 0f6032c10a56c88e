#!/usr/bin/env python3
# Clients that never read, for the benchmarks: connect COUNT times to HOST PORT, send the request
# for PATH on each and never read; print "ready" once all have sent. With SECONDS, hold them that
# long, then report how many connections the server closed meanwhile and when, and how many bytes
# waited unread; without, hold them until SIGTERM. Either way, then report how the answers begun
# on them start (their status, looked at without reading; "none" when nothing came) and close
# them all.
#
#   bench/nonreaders.py HOST PORT PATH COUNT [SECONDS]
import fcntl, signal, socket, struct, sys, termios, time

host, port, path, count = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
seconds = float(sys.argv[5]) if len(sys.argv) > 5 else None
request = f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\n\r\n".encode()
sockets = []
for _ in range(count):
    s = socket.create_connection((host, port))
    s.sendall(request)
    sockets.append(s)
print("ready", flush=True)

def answers_begun():
    statuses = {}
    for s in sockets:
        try:
            head = s.recv(12, socket.MSG_PEEK | socket.MSG_DONTWAIT)
        except OSError:
            head = b""
        key = head[9:12].decode() if len(head) == 12 else "none"
        statuses[key] = statuses.get(key, 0) + 1
    return "answers begun: " + ", ".join(f"{n}x{k}" for k, n in sorted(statuses.items()))

def at_sigterm(*_):
    print(answers_begun(), flush=True)
    sys.exit(0)

if seconds is None:
    signal.signal(signal.SIGTERM, at_sigterm)
    while True:
        time.sleep(1)
start = time.monotonic()
closed_at = {}
while time.monotonic() - start < seconds:
    for i, s in enumerate(sockets):
        # tcpi_state, the first byte of struct tcp_info: 1 is ESTABLISHED; anything else here
        # means the server ended the connection.
        if i not in closed_at and s.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 8)[0] != 1:
            closed_at[i] = time.monotonic() - start
    time.sleep(0.25)
unread = [struct.unpack("i", fcntl.ioctl(s, termios.FIONREAD, b"\0" * 4))[0] for s in sockets]
begun = answers_begun()
for s in sockets:
    s.close()
times = sorted(closed_at.values())
when = f" after {times[0]:.0f} to {times[-1]:.0f} s" if times else ""
print(f"  {count} clients held {seconds:g} s; closed by the server meanwhile: {len(times)}{when}; "
      f"{begun}, unread bytes per client: {min(unread)} to {max(unread)}")
