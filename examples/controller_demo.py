"""A simulated four-joint arm driven through morvex, end to end.

Every control tick the planner asks for four joint positions. The controller
  1. projects each joint into its limits with a Governor (one per joint),
  2. projects the four together onto the coupled limits with CoupledLimits (the exact
     projection; the four-axis kernel morvex_solve_multivar_4d runs beside it on the same
     commands, through ctypes as any C caller would, for comparison),
  3. asks a MorvBoundary to authorize every joint command (velocity and rate limits),
and sends each command with its 60-byte receipt in a wire frame (morvex.wire) to the
actuator side, which decodes the byte stream, moves the joint only for a receipt that its
ReceiptGate accepts (issued for exactly that command, once, in order and fresh) and answers
every command with a verdict frame that the controller decodes. Both sides run in this
process, on the bytes a serial line would carry. Now and then the demo injects faults on
purpose: an over-speed command, a burst of commands over the rate limit, a command altered
in flight, a receipt presented for another joint, a replayed frame, one delivered after its
maximum age, and line noise (a bit flipped on the line: the decoder drops the frame as
corrupt, the gate never sees it). It ends with a summary table and, if matplotlib is
installed, a plot that marks where a joint held its position.

With --firmware the actuator side runs in an emulated microcontroller instead: the
reference firmware (examples/firmware) is built and booted in QEMU (mps2-an386, a
Cortex-M4), and the frames travel over its UART; the verdicts are the firmware's. It
announces a session at boot and the controller signs under that session's key. The board
has no clock set against the controller's, so its gate checks no maximum age: the frame
delivered late is refused by the sequence rule (replay_counter) instead of as stale.

Run it with:  pip install . && python examples/controller_demo.py   (--help for options)
"""

import argparse
import math
import random
import sys
import time
from collections import Counter

from morvex import (
    CoupledLimits,
    Governor,
    MonotonicCounter,
    MorvBoundary,
    MorvViolation,
    ReceiptGate,
    session_key,
)
from morvex.kernels import Multivar4dKernel
from morvex.wire import Command, Decoder, Session, Verdict, encode_command, encode_verdict

JOINT_LIMITS = [(-2.6, 2.6), (-1.4, 1.6), (-2.2, 2.2), (-3.0, 3.0)]  # rad
MAX_VELOCITY = 2.5  # rad/s, every joint
# Coupled limits, rows a . q <= b: the elbow may not fold into the base, and the wrist
# may not lead the shoulder by more than 1.8 rad.
COUPLED_ROWS = [([0.0, 1.0, 1.0, 0.0], 1.5), ([0.0, -1.0, -1.0, 0.0], 1.5),
                ([-1.0, 0.0, 0.0, 1.0], 1.8)]
STATUS_NAMES = {0: "invalid input", 1: "optimal", 2: "iteration limit", 3: "infeasible",
                4: "numerical failure"}

# Receipts older (or newer) than this are refused where the command is executed.
MAX_RECEIPT_AGE_S = 0.02
# Both sides run on the built-in trial key (hmac_key=None), the same in every process;
# a deployment passes its own 32-byte key to MorvBoundary and ReceiptGate.


class Wire:
    """What travels from the controller to the actuator: command frames, bytes as a serial
    line carries them. Faults are injected here, in flight."""

    def __init__(self):
        self.held = []  # (due, frame) delivered late
        self.noise = random.Random(7)

    def flip_a_bit(self, frame):
        """Line noise: one bit flipped, anywhere but in the delimiter."""
        damaged = bytearray(frame)
        damaged[self.noise.randrange(len(frame) - 1)] ^= 1 << self.noise.randrange(8)
        return bytes(damaged)

    def late(self, message):
        self.held.append((time.monotonic() + 2 * MAX_RECEIPT_AGE_S, message))

    def due(self, wait=False):
        if wait and self.held:
            time.sleep(max(0.0, max(due for due, _ in self.held) - time.monotonic()))
        now = time.monotonic()
        ready = [m for due, m in self.held if due <= now]
        self.held = [(due, m) for due, m in self.held if due > now]
        return ready


class FirmwareActuator:
    """The actuator side in QEMU: takes the bytes of command frames, returns the bytes of
    the verdict frames the firmware answered. `decoder` decodes what was sent the way the
    firmware does, so that the controller knows how many verdicts to wait for and counts
    the frames the firmware drops as corrupt."""

    def __init__(self):
        import tempfile
        from pathlib import Path

        sys.path.insert(0, str(Path(__file__).resolve().parent / "firmware"))
        import emulator

        missing = emulator.missing_tools()
        if missing:
            sys.exit(f"--firmware needs: {', '.join(missing)}")
        print("building and booting the firmware (examples/firmware) ...", file=sys.stderr)
        built = emulator.build(Path(tempfile.mkdtemp(prefix="morvex-firmware-")), "cortex-m4")
        self.board = emulator.boot(built.actuator, "mps2-an386")
        self.decoder, self.answers = Decoder(), Decoder()
        frames = []
        while not frames:
            frames = self.answers.feed(self.board.link.read(1))
        assert isinstance(frames[0], Session)
        self.key = session_key(emulator.FIRMWARE_KEY, frames[0].session_id)

    def __call__(self, received):
        expected = sum(isinstance(f, Command) for f in self.decoder.feed(received))
        self.board.link.write(received)
        answered, verdicts = b"", 0
        while verdicts < expected:
            chunk = self.board.link.read(max(1, self.board.link.in_waiting))
            if not chunk:
                sys.exit("the firmware stopped answering")
            answered += chunk
            verdicts += sum(isinstance(f, Verdict) for f in self.answers.feed(chunk))
        return answered

    def close(self):
        self.board.stop()


def planner(t):
    """Four joint targets that sometimes reach past the limits, and a jerk every 1.7 s."""
    jerk = 0.35 if (t % 1.7) < 0.004 else 0.0
    return [2.9 * math.sin(0.9 * t) + jerk,
            1.2 * math.sin(1.3 * t + 0.4) + 0.6,
            1.5 * math.sin(1.1 * t + 1.0),
            2.0 * math.sin(0.7 * t + 2.0) + 0.8 * math.sin(3.1 * t)]


class Latency:
    def __init__(self):
        self.samples = {}

    def time(self, name, fn, *args):
        start = time.perf_counter_ns()
        try:
            return fn(*args)
        finally:
            self.samples.setdefault(name, []).append(time.perf_counter_ns() - start)

    def rows(self):
        for name, values in self.samples.items():
            values.sort()
            pick = lambda q: values[min(len(values) - 1, int(q * len(values)))] / 1000.0
            yield name, len(values), pick(0.5), pick(0.9), pick(0.99), values[-1] / 1000.0


def progress(done, total, width=32):
    """A bar redrawn in place on a terminal; a line every quarter otherwise."""
    percent = 100 * done // total
    if sys.stderr.isatty():
        filled = int(width * done / total)
        sys.stderr.write(f"\r  [{'#' * filled}{'.' * (width - filled)}] {percent:3d} %")
    elif percent // 25 != (100 * (done - total // 50) // total) // 25:
        sys.stderr.write(f"  ... {percent} %\n")
    sys.stderr.flush()


def limit_speed(previous, target, max_step):
    """Moves toward target by at most max_step on every joint, along the straight line: a
    point between two points that meet the (convex) limits meets them too."""
    largest = max(abs(t - p) for t, p in zip(target, previous))
    scale = 1.0 if largest <= max_step else max_step / largest
    return [p + scale * (t - p) for t, p in zip(target, previous)]


def run(seconds, hz, pace, firmware=False):
    governors = [Governor(lo, hi) for lo, hi in JOINT_LIMITS]
    lower, upper = [lo for lo, _ in JOINT_LIMITS], [hi for _, hi in JOINT_LIMITS]
    coupled = CoupledLimits(lower, upper, [a for a, _ in COUPLED_ROWS], [b for _, b in COUPLED_ROWS])
    reference = Multivar4dKernel(lower, upper, COUPLED_ROWS)
    rate_limit = int(4 * hz * 1.25) if pace else 2**64 - 1
    firmware = FirmwareActuator() if firmware else None
    boundary = MorvBoundary(rate_limit=rate_limit, max_velocity_rad_s=MAX_VELOCITY,
                            hmac_key=firmware.key if firmware else None)
    gate = ReceiptGate(max_age_s=MAX_RECEIPT_AGE_S)
    wire = Wire()
    actuator_decoder, controller_decoder = Decoder(), Decoder()
    if firmware:
        actuator_decoder = firmware.decoder
    ticks = MonotonicCounter()
    latency = Latency()
    counts = Counter()
    kernel_status = Counter()
    steps = int(seconds * hz)
    dt = 1.0 / hz
    previous = [governors[i].project(q) for i, q in enumerate(planner(0.0))]
    history = []
    held = []  # (t, joint, position, reason): where the actuator did not move
    replay_candidate = None

    def actuator_side(received):
        """Decodes the bytes that arrived, moves only for a command whose receipt the gate
        accepts, and answers every command frame with a verdict frame."""
        answers = b""
        for frame in latency.time("Decoder.feed (actuator)", actuator_decoder.feed, received):
            sequence_id = int.from_bytes(frame.receipt_hash[20:28], "little")
            try:
                latency.time("ReceiptGate.check", gate.check, frame.receipt_hash, frame.axis,
                             frame.requested_position, frame.commanded_velocity)
                answers += encode_verdict(sequence_id, frame.axis, "")
            except MorvViolation as refusal:
                answers += encode_verdict(sequence_id, frame.axis, refusal.violation_type)
        return answers

    if firmware:
        def actuator_side(received):  # the emulated microcontroller instead
            return latency.time("firmware round trip (UART)", firmware, received)

    def deliver(source, frame):
        """Sends a command frame; returns None if the joint moved, else why it did not."""
        corrupt = actuator_decoder.corrupt
        verdicts = controller_decoder.feed(actuator_side(frame))
        if actuator_decoder.corrupt != corrupt:
            counts[(source, "dropped by the actuator: corrupt frame")] += (
                actuator_decoder.corrupt - corrupt)
            return "corrupt frame"
        reason = None
        for verdict in verdicts:
            if verdict.violation_type:
                counts[(source, f"refused by the actuator: {verdict.violation_type}")] += 1
                reason = verdict.violation_type
            else:
                counts[(source, "moved")] += 1
        return reason

    start = time.perf_counter()
    for step in range(1, steps + 1):
        t = step * dt
        tick = ticks.next_value()
        desired = planner(t)
        boxed = [latency.time("Governor.project", governors[i].project, q) for i, q in enumerate(desired)]
        command = latency.time("CoupledLimits.project", coupled.project, boxed)
        corrected = any(c != b for c, b in zip(command, boxed))
        kernel_status[("CoupledLimits", "corrected" if corrected else "unchanged")] += 1
        answer, status = latency.time("four-axis kernel (ctypes)", reference.project, boxed)
        breaks = any(sum(a * u for a, u in zip(row, answer)) > b + 1e-6 for row, b in COUPLED_ROWS)
        kernel_status[("four-axis kernel", STATUS_NAMES[status]
                       + (", breaks a coupled row" if breaks else ""))] += 1
        command = limit_speed(previous, command, 0.95 * MAX_VELOCITY * dt)
        velocities = [(c - p) / dt for c, p in zip(command, previous)]
        source = ["planned"] * 4
        if tick % 400 == 0:  # injected fault: a command far too fast for joint 3
            velocities[3], source[3] = 40.0, "injected over-speed"
        moved = list(previous)
        for axis in range(4):
            try:
                receipt = latency.time("MorvBoundary.authorize_action", boundary.authorize_action,
                                       axis, command[axis], velocities[axis])
            except MorvViolation as refusal:
                counts[(source[axis], f"refused: {refusal.violation_type}")] += 1
                held.append((t, axis, previous[axis], refusal.violation_type))
                continue
            frame = latency.time("encode_command", encode_command, axis, command[axis],
                                 velocities[axis], receipt.receipt_hash)
            if tick % 300 == 0 and axis == 2:  # injected fault: altered in flight
                source[axis], frame = "injected in-flight change", encode_command(
                    axis, command[axis] + 0.3, velocities[axis], receipt.receipt_hash)
            elif tick % 350 == 0 and axis == 1:  # injected fault: the receipt of another joint
                source[axis], frame = "injected other-joint receipt", encode_command(
                    3, command[3], velocities[3], receipt.receipt_hash)
            elif tick % 275 == 0 and axis == 3:  # injected fault: line noise
                source[axis], frame = "injected line noise", wire.flip_a_bit(frame)
            elif tick % 450 == 0 and axis == 0:  # injected fault: delivered after its maximum age
                wire.late(frame)
                held.append((t, axis, previous[axis], "delayed in flight"))
                continue
            reason = deliver(source[axis], frame)
            if reason is None:
                moved[axis] = command[axis]
                replay_candidate = frame
            else:
                held.append((t, axis, previous[axis], reason))
        for message in wire.due():
            deliver("injected late delivery", message)
        if tick % 500 == 0 and replay_candidate is not None:  # injected fault: a replay
            deliver("injected replay", replay_candidate)
        if pace and tick % 1000 == 250:  # injected fault: a burst as large as the rate limit
            for _ in range(rate_limit):
                try:
                    boundary.authorize_action(0, moved[0], 0.0)
                    counts[("injected burst", "admitted")] += 1
                except MorvViolation as refusal:
                    counts[("injected burst", f"refused: {refusal.violation_type}")] += 1
        history.append((t, desired, moved))
        previous = moved
        if step % max(1, steps // 50) == 0:
            progress(step, steps)
        if pace:
            delay = start + step * dt - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
    for message in wire.due(wait=True):
        deliver("injected late delivery", message)
    if firmware:
        firmware.close()
    if sys.stderr.isatty():
        sys.stderr.write("\n")
    return counts, kernel_status, latency, history, held, time.perf_counter() - start


def report(counts, kernel_status, latency, elapsed, steps):
    print(f"\nmorvex arm demo: {steps} ticks in {elapsed:.2f} s, 4 joints")
    print("\n  commands                      outcome                                            count")
    for (source, outcome), count in sorted(counts.items()):
        print(f"  {source:<29} {outcome:<48} {count:>6}")
    print("\n  coupled limits, same commands    outcome                          count")
    for (solver, name), count in sorted(kernel_status.items()):
        print(f"  {solver:<32} {name:<32} {count:>6}")
    print("\n  per-call latency (us)             calls     p50     p90     p99     max")
    for name, n, p50, p90, p99, worst in latency.rows():
        print(f"  {name:<32} {n:>6} {p50:7.2f} {p90:7.2f} {p99:7.2f} {worst:7.1f}")


def plot(history, held, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\n  (install matplotlib for a plot of desired vs. projected trajectories)")
        return
    times = [t for t, _, _ in history]
    fig, axes = plt.subplots(4, 1, figsize=(10, 9), sharex=True)
    for joint, ax in enumerate(axes):
        ax.plot(times, [d[joint] for _, d, _ in history], lw=1, label="desired")
        ax.plot(times, [m[joint] for _, _, m in history], lw=1.5, label="actuator position")
        for reason, marker, color in (("velocity_exceeded", "v", "tab:red"),
                                      ("rate_limited", "s", "tab:grey"),
                                      ("authentication_failure", "x", "tab:purple"),
                                      ("delayed in flight", "o", "tab:brown"),
                                      ("corrupt frame", "d", "tab:orange")):
            points = [(t, q) for t, j, q, r in held if j == joint and r == reason]
            if points:
                ax.scatter(*zip(*points), marker=marker, color=color, s=36, zorder=3,
                           label=f"held: {reason}")
        lo, hi = JOINT_LIMITS[joint]
        ax.axhline(lo, color="grey", ls=":")
        ax.axhline(hi, color="grey", ls=":")
        ax.set_ylabel(f"joint {joint} (rad)")
    for ax in axes:
        ax.legend(loc="upper right", fontsize="x-small")
    axes[-1].set_xlabel("time (s)")
    fig.suptitle("morvex: desired vs. projected and authorized joint commands")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"\n  plot written to {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=4.0, help="simulated time (default 4)")
    parser.add_argument("--hz", type=float, default=500.0, help="control rate (default 500)")
    parser.add_argument("--no-pace", action="store_true",
                        help="run as fast as possible (no real-time pacing, no rate limit)")
    parser.add_argument("--plot", default="arm_demo.png", help="where to write the plot")
    parser.add_argument("--firmware", action="store_true",
                        help="run the actuator side in the reference firmware, in QEMU (needs "
                             "gcc-arm-none-eabi, libnewlib-arm-none-eabi, "
                             "libstdc++-arm-none-eabi-newlib, qemu-system-arm, pyserial)")
    args = parser.parse_args()
    counts, kernel_status, latency, history, held, elapsed = run(args.seconds, args.hz,
                                                                 not args.no_pace, args.firmware)
    report(counts, kernel_status, latency, elapsed, len(history))
    plot(history, held, args.plot)


if __name__ == "__main__":
    main()
