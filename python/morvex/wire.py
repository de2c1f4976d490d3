"""Commands, verdicts and sessions as frames on a byte stream (a serial line, a socket).

The controller sends each command with its receipt in a command frame
(``encode_command``); the actuator side decodes the stream (``Decoder``), checks
each command with a ``ReceiptGate`` and answers with a verdict frame
(``encode_verdict``); it announces itself with a session frame
(``encode_session``) when it starts. Each frame is CRC-32C-checked and
COBS-encoded with a zero delimiter, so a damaged frame is dropped and counted
(``Decoder.corrupt``), never delivered, and the decoder finds the next frame
after any noise. The byte layout is in the README ("Commands on the wire") and
in the C header ``morvex/wire.h``, whose codec this module runs (in
``morvex._actuator``).

>>> from morvex.wire import Decoder, encode_session
>>> Decoder().feed(encode_session(bytes(range(16))))
[Session(session_id=b'\\x00\\x01\\x02\\x03\\x04\\x05\\x06\\x07\\x08\\t\\n\\x0b\\x0c\\r\\x0e\\x0f')]
"""

from morvex._actuator import (
    Command,
    Decoder,
    Session,
    Verdict,
    encode_command,
    encode_session,
    encode_verdict,
)

__all__ = ["encode_command", "encode_verdict", "encode_session", "Decoder", "Command",
           "Verdict", "Session"]
