"""A controller and an actuator side talking wire frames over a byte stream.

The controller authorizes commands with a MorvBoundary and sends each with its receipt
in a command frame; the actuator side decodes the stream, checks every command with a
ReceiptGate and answers a verdict frame. Between them: a socket pair (the default), or
any pyserial URL (pip install morvex[serial]): "loop://" loops the line back in this
process, "socket://127.0.0.1:4321" is an emulator's TCP-backed UART, "/dev/ttyUSB0" a
real port. One command is sent twice and a burst of line noise goes down the line too.

Run it with:  python examples/wire_link.py [--url loop://]
"""

import argparse
import os
import socket

from morvex import MorvBoundary, MorvViolation, ReceiptGate
from morvex.wire import Command, Decoder, Verdict, encode_command, encode_verdict


def on_command(gate, frame):
    """The actuator side: checks a command frame and returns the verdict frame to send."""
    sequence_id = int.from_bytes(frame.receipt_hash[20:28], "little")
    try:
        gate.check(frame.receipt_hash, frame.axis, frame.requested_position,
                   frame.commanded_velocity)
    except MorvViolation as refusal:
        return encode_verdict(sequence_id, frame.axis, refusal.violation_type)
    return encode_verdict(sequence_id, frame.axis, "")  # ... after moving the joint


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url", help="a pyserial URL instead of a socket pair")
    args = parser.parse_args()

    key = os.urandom(32)  # shared by both sides
    boundary, gate = MorvBoundary(hmac_key=key), ReceiptGate(hmac_key=key)
    if args.url:
        import serial  # pyserial: pip install morvex[serial]

        line = serial.serial_for_url(args.url, baudrate=115200, timeout=0.2)
        controller_end = actuator_end = line  # one line, as seen from both sides
    else:
        controller_end, actuator_end = socket.socketpair()
        for end in (controller_end, actuator_end):
            end.settimeout(0.2)

    first = boundary.authorize_action(2, 0.75, 1.5)
    frames = [encode_command(2, 0.75, 1.5, first.receipt_hash),
              b"\x13\x37line noise\x00",
              encode_command(2, 0.75, 1.5, first.receipt_hash)]  # the same frame again
    for axis, position in [(0, -0.25), (1, 1.0)]:
        receipt = boundary.authorize_action(axis, position, 0.5)
        frames.append(encode_command(axis, position, 0.5, receipt.receipt_hash))
    write(controller_end, b"".join(frames))

    decoders = {actuator_end: Decoder(), controller_end: Decoder()}  # one if the line is one
    verdicts = []
    while len(verdicts) < 4:
        got_any = False
        for end, decoder in decoders.items():
            received = read(end)
            got_any = got_any or bool(received)
            for frame in decoder.feed(received):
                if isinstance(frame, Command):  # the actuator side
                    write(actuator_end, on_command(gate, frame))
                elif isinstance(frame, Verdict):  # the controller side
                    verdicts.append(frame)
        if not got_any:
            break
    for verdict in verdicts:
        print(f"sequence {verdict.sequence_id} axis {verdict.axis}: "
              f"{verdict.violation_type or 'accepted'}")
    print(f"frames dropped as corrupt on the actuator side: {decoders[actuator_end].corrupt}")


def write(end, data):
    if isinstance(end, socket.socket):
        end.sendall(data)
    else:
        end.write(data)


def read(end):
    if not isinstance(end, socket.socket):
        return end.read(4096)  # b"" after the timeout
    try:
        return end.recv(4096)
    except TimeoutError:
        return b""


if __name__ == "__main__":
    main()
