#!/usr/bin/env python3
"""A VNC viewer's first steps, enough to tell whether the remote view lets one in.

    rfbcheck.py PORT none         asks for access without a secret
    rfbcheck.py PORT FILE         answers VNC authentication with the secret in FILE
    rfbcheck.py PORT wrong        answers it with a secret that is not the one

Connects to 127.0.0.1:PORT only. Prints what happened; exit status 0 when the server let
the viewer see its screen (its size and a first framebuffer update), 1 when it refused, 2
on anything else. VNC authentication encrypts the server's challenge with DES keyed by the
secret; the DES is openssl's (its legacy provider), as Python has none of its own.
"""
import socket
import struct
import subprocess
import sys


def fail(message, status=2):
    print(message)
    sys.exit(status)


def read_exactly(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            fail("refused: the server closed the connection", 1)
        data += chunk
    return data


def reason(sock):
    (length,) = struct.unpack(">I", read_exactly(sock, 4))
    return read_exactly(sock, length).decode("latin-1")


def vnc_response(secret, challenge):
    # The key is the secret cut or padded to 8 bytes, each byte's bits in reverse order.
    key = bytes(int(f"{b:08b}"[::-1], 2) for b in secret[:8].ljust(8, b"\0"))
    result = subprocess.run(
        ["openssl", "enc", "-des-ecb", "-nopad", "-K", key.hex(),
         "-provider", "legacy", "-provider", "default"],
        input=challenge, capture_output=True, check=False)
    if result.returncode != 0 or len(result.stdout) != 16:
        fail("openssl could not encrypt: " + result.stderr.decode(errors="replace"))
    return result.stdout


def main():
    if len(sys.argv) != 3:
        fail(__doc__)
    port, how = int(sys.argv[1]), sys.argv[2]
    if how == "none":
        secret = None
    elif how == "wrong":
        secret = b"notit123"
    else:
        with open(how, "rb") as file:
            secret = file.readline().rstrip(b"\r\n")

    sock = socket.create_connection(("127.0.0.1", port), timeout=20)
    version = read_exactly(sock, 12)
    if not version.startswith(b"RFB 003."):
        fail(f"no VNC greeting: {version!r}")
    minor = int(version[8:11])
    if minor >= 7:
        sock.sendall(b"RFB 003.008\n")
        (count,) = struct.unpack("B", read_exactly(sock, 1))
        if count == 0:
            fail("refused: " + reason(sock), 1)
        offered = list(read_exactly(sock, count))
        wanted = 1 if secret is None else 2
        if wanted not in offered:
            fail(f"refused: security type {wanted} not offered (offered {offered})", 1)
        sock.sendall(bytes([wanted]))
        chosen = wanted
    else:
        sock.sendall(b"RFB 003.003\n")
        (chosen,) = struct.unpack(">I", read_exactly(sock, 4))
        if chosen == 0:
            fail("refused: " + reason(sock), 1)
        if chosen == 2 and secret is None:
            fail("refused: the server asks for a secret", 1)

    if chosen == 2:
        challenge = read_exactly(sock, 16)
        sock.sendall(vnc_response(secret, challenge))
    if chosen == 2 or minor >= 8:
        (result,) = struct.unpack(">I", read_exactly(sock, 4))
        if result != 0:
            why = reason(sock) if minor >= 8 else "authentication failed"
            fail("refused: " + why, 1)

    sock.sendall(b"\x01")  # ClientInit: share the screen with other viewers
    width, height = struct.unpack(">HH", read_exactly(sock, 4))
    read_exactly(sock, 16)  # pixel format
    name = reason(sock)
    # One whole-screen update in raw encoding.
    sock.sendall(struct.pack(">BBHI", 2, 0, 1, 0))
    sock.sendall(struct.pack(">BBHHHH", 3, 0, 0, 0, width, height))
    while True:
        (kind,) = struct.unpack("B", read_exactly(sock, 1))
        if kind == 0:
            _, rectangles = struct.unpack(">BH", read_exactly(sock, 3))
            break
        if kind == 2:  # bell
            continue
        if kind == 3:  # cut text
            read_exactly(sock, 3)
            reason(sock)
            continue
        fail(f"unexpected server message {kind}")
    print(f"accepted: screen {width}x{height} \"{name}\", an update of {rectangles} rectangles")


if __name__ == "__main__":
    main()
