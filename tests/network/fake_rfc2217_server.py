"""fake_rfc2217_server.py MODE PORT_FILE [HOST [STALL_COMMAND]]: an RFC 2217
server that misbehaves on demand, on a free port of HOST (127.0.0.1; written
to PORT_FILE), for one client; every byte it gets goes to PORT_FILE.got.
  wrong-speed   answers every speed with 19200 (a far end that refuses 9600)
  silent        agrees to nothing and answers nothing
  mute-settings agrees and answers the first speed query, then goes quiet
  drop-barrier  answers all until the frame, then closes on the speed query
                that follows it, unanswered
  chatter       a raw port whose far line talks: bytes that are no Telnet
  stall         runs STALL_COMMAND (cutting the path) before the last answer
"""
import socket
import subprocess
import sys

IAC, SB, SE, WILL, DO = 255, 250, 240, 251, 253
BINARY, COM_PORT = 0, 44

mode, port_file = sys.argv[1], sys.argv[2]
host = sys.argv[3] if len(sys.argv) > 3 else "127.0.0.1"
got = open(port_file + ".got", "w")
listener = socket.socket()
listener.bind((host, 0))
listener.listen(1)
with open(port_file, "w") as out:
    out.write("%d\n" % listener.getsockname()[1])
client, _ = listener.accept()
client.settimeout(10)


def recv(count):
    try:
        byte = client.recv(count)
    except OSError:  # a reset (every failed run ends with one), or no more time
        byte = b""
    got.write(byte.hex() + " " if byte else "")
    got.flush()
    return byte


def requests():
    while True:
        byte = recv(1)
        if not byte:
            return
        if byte[0] != IAC:
            yield ("data", byte[0])
            continue
        verb = recv(1)[0]
        if verb == IAC:
            yield ("data", IAC)
        elif verb == SB:
            body = bytearray()
            while True:
                b = recv(1)[0]
                if b == IAC:
                    b = recv(1)[0]
                    if b == SE:
                        break
                body.append(b)
            yield ("sub", body[1], bytes(body[2:]))
        else:
            recv(1)  # the option of WILL/WONT/DO/DONT

if mode == "chatter":
    client.sendall(b"relay board v1 ready\r\n")
elif mode != "silent":
    client.sendall(bytes([IAC, DO, BINARY, IAC, WILL, BINARY, IAC, DO, COM_PORT]))
answered, frame_seen = 0, False
for kind, *rest in requests():
    if mode == "silent" or (mode == "mute-settings" and answered == 1):
        continue
    if kind == "data":
        frame_seen = True
        continue
    command, value = rest
    if mode == "drop-barrier" and frame_seen:
        break
    if mode == "wrong-speed" and command == 1:
        value = (19200).to_bytes(4, "big")
    if mode == "stall" and command == 5:
        subprocess.run(sys.argv[4], shell=True, check=True)
        got.write("| ")  # what follows came after the path was cut
    client.sendall(bytes([IAC, SB, COM_PORT, command + 100]) + value + bytes([IAC, SE]))
    answered += 1
client.close()
