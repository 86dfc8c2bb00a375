"""The WSJT-X command-line tools as protocol oracles: `ft8code`/`ft4code` give a message's 77
bits, CRC, parity bits, channel tones and how the reference decoder shows it; `jt9` decodes WAV
files. A missing tool fails the test that needs it."""

import dataclasses
import pathlib
import re
import subprocess
import tempfile
import wave

import numpy as np


@dataclasses.dataclass(frozen=True)
class Encoded:
    message: str
    decoded: str      # the "Decoded" column
    changed: bool     # "*" in the Err column: the tool altered the message before packing it
    bits77: str       # the source-encoded message (after scrambling, for FT4)
    crc: str
    parity: str
    tones: list

    @property
    def payload(self):
        """The 77 message bits and three zero bits, as 10 bytes."""
        return int(self.bits77 + "000", 2).to_bytes(10, "big")


def _encode(tool, message):
    out = subprocess.run([tool, message], capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    header = next(i for i, line in enumerate(lines) if "Decoded" in line and "Err" in line)
    row = lines[header + 2]
    decoded_at, err_at = lines[header].index("Decoded"), lines[header].index("Err")
    sections = {}
    for i, line in enumerate(lines):
        key = line.strip().rstrip(":")
        if key.startswith(("Source-encoded message", "14-bit CRC", "83 Parity bits")):
            sections[key] = lines[i + 1].strip()
    bits = sections.get("Source-encoded message after scrambling, 77 bits",
                        sections.get("Source-encoded message, 77 bits"))
    tone_row = lines[next(i for i, line in enumerate(lines) if line.startswith("Channel symbols")) + 2]
    return Encoded(message=message, decoded=row[decoded_at:err_at].strip(), changed="*" in row[err_at:err_at + 4],
                   bits77=bits, crc=sections["14-bit CRC"], parity=sections["83 Parity bits"],
                   tones=[int(c) for c in re.sub(r"[^0-9]", "", tone_row)])


def ft8code(message):
    return _encode("ft8code", message)


def ft4code(message):
    return _encode("ft4code", message)


def write_wav(path, samples):
    """Writes real samples (already scaled to 16-bit full range) as a mono 12000 Hz WAV."""
    data = np.clip(np.round(samples), -32768, 32767).astype("<i2")
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(12000)
        w.writeframes(data.tobytes())


class Jt9:
    """Runs `jt9` in one temporary directory, reused so that its FFT plans are made once."""

    def __init__(self):
        self.directory = pathlib.Path(tempfile.mkdtemp(prefix="jt9-"))

    def decode(self, samples, mode="ft8", depth=None):
        """Decodes real 12 kHz samples, at the decoding depth given (1 fast to 3 deep, `jt9 -d`);
        returns (frequency_hz, text) for each reported message."""
        path = self.directory / "input.wav"
        write_wav(path, samples)
        flags = (["-8", "-p", "15"] if mode == "ft8" else ["-5"]) + ([] if depth is None else ["-d", str(depth)])
        out = subprocess.run(["jt9", *flags, str(path)], capture_output=True, text=True, check=True,
                             cwd=self.directory).stdout
        results = []
        for line in out.splitlines():
            fields = line.split()
            if len(fields) >= 6 and fields[0].isdigit() and fields[3].lstrip("-").isdigit():
                results.append((int(fields[3]), " ".join(fields[5:])))
        return results
