"""The FT8/FT4 recording recipe (examples/ft8_recording.py) on simulated periods, FT8 beside
WSJT-X's fast decoder (`jt9 -8 -d 1`) on the same files, both timed on the same core in the same
run (CPU seconds per 15-s period, median):
- crowded: 20 signals at -20..0 dB in 2500 Hz, random tone-0 frequencies 200-2800 Hz (overlaps
  allowed) and DT -2..+2 s (FT4: -1..+1 s), made by WSJT-X's `ft8sim` (Gaussian-shaped tones) and,
  without the peer, by the library's modulators (FT8 and FT4);
- sparse: 8 `ft8sim` signals at -22..-16 dB, none within 100 Hz of another, DT -1..+2 s;
- busy: 25 `ft8sim` signals at -12..+8 dB and 8 weak ones at -22..-16 dB, each weak one more than
  60 Hz from every other signal, DT -1..+2 s (the strong ones -2..+2 s);
- noise alone: the messages decoded that were not sent;
then single signals in noise: the share decoded against SNR and its 50% point.
Arguments: periods per kind (default 10), periods of noise alone (default 500)."""

import pathlib
import resource
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

import kavro_sdr

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "python" / "ft8"))
import wsjtx  # noqa: E402

sys.path.insert(0, str(ROOT / "examples"))
import ft8_recording as recipe  # noqa: E402

FS = 12000
PERIOD = {"ft8": 15.0, "ft4": 7.5}
DT_SPREAD = {"ft8": 2.0, "ft4": 1.0}
LETTERS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"


def random_messages(rng, count):
    """Distinct standard messages "CALL CALL GRID" with callsigns of the form K1ABC or AB2XY."""
    def call():
        # No Q prefixes: the protocol reads a leading Q as 3X.
        prefix = "".join(rng.choice(list(LETTERS.replace("Q", "")), int(rng.integers(1, 3))))
        return prefix + str(rng.integers(0, 10)) + "".join(rng.choice(list(LETTERS), int(rng.integers(1, 4))))
    messages = set()
    while len(messages) < count:
        grid = "".join(rng.choice(list("ABCDEFGHIJKLMNOPQR"), 2)) + str(rng.integers(0, 100)).zfill(2)
        messages.add(f"{call()} {call()} {grid}")
    return sorted(messages)


def library_frame(mode, message, freq):
    """The library's complex frame at unit amplitude."""
    call_to, call_de, grid = message.split()
    payload = kavro_sdr.ft8_pack_standard(call_to, call_de, grid)
    if mode == "ft8":
        return kavro_sdr.Ft8Mod(FS, freq, 0.0, 1.0).modulate(kavro_sdr.Ft8Codec.encode(payload))
    return kavro_sdr.Ft4Mod(FS, freq, 0.0, 1.0).modulate(kavro_sdr.Ft4Codec.encode(payload))


def ft8sim_frame(directory, message, freq):
    """`ft8sim`'s noise-free frame sent on time (DT 0, starting 0.5 s in), cut out and scaled to
    unit amplitude."""
    subprocess.run(["ft8sim", message, f"{freq:.3f}", "0", "0", "0", "1", "99"], cwd=directory, check=True,
                   capture_output=True)
    (path,) = pathlib.Path(directory).glob("*.wav")
    with wave.open(str(path)) as w:
        samples = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float64)
    path.unlink()
    return samples[6000:6000 + 151680] / (np.sqrt(2) * np.sqrt(np.mean(samples[8000:150000] ** 2)))


def period(rng, mode, signals, source, directory=None):
    """Real audio of one period with unit-variance noise; the signals are (message, freq, dt, snr)."""
    audio = rng.normal(0.0, 1.0, int(PERIOD[mode] * FS))
    for message, freq, dt, snr in signals:
        if source == "ft8sim":
            frame = ft8sim_frame(directory, message, freq)
        else:
            frame = (library_frame(mode, message, freq) * np.exp(2j * np.pi * rng.random())).real
        # A sinusoid of amplitude A in real noise of unit variance: SNR = (A²/2) / (2500/6000).
        amplitude = np.sqrt(2 * 10 ** (snr / 10) * 2500 / 6000)
        start = int(round((0.5 + dt) * FS))
        a, b = max(start, 0), min(start + frame.size, audio.size)
        audio[a:b] += amplitude * frame[a - start:b - start]
    return audio


def crowded(rng, mode="ft8", count=20):
    return [(m, rng.uniform(200, 2800), rng.uniform(-DT_SPREAD[mode], DT_SPREAD[mode]), rng.uniform(-20, 0))
            for m in random_messages(rng, count)]


def apart(rng, count, others, gap):
    """`count` tone-0 frequencies in 200-2800 Hz, each more than `gap` Hz from every other."""
    freqs = []
    while len(freqs) < count:
        f = rng.uniform(200, 2800)
        if all(abs(f - g) > gap for g in list(others) + freqs):
            freqs.append(f)
    return freqs


def sparse(rng, count=8):
    return [(m, f, rng.uniform(-1, 2), rng.uniform(-22, -16))
            for m, f in zip(random_messages(rng, count), apart(rng, count, [], 100))]


def busy(rng, strong=25, weak=8):
    messages = random_messages(rng, strong + weak)
    loud = [(m, rng.uniform(200, 2800), rng.uniform(-2, 2), rng.uniform(-12, 8)) for m in messages[:strong]]
    quiet = apart(rng, weak, [s[1] for s in loud], 60)
    return loud + [(m, f, rng.uniform(-1, 2), rng.uniform(-22, -16)) for m, f in zip(messages[strong:], quiet)]


def cpu_seconds(call):
    """(result, CPU seconds of this process and of the children it waited for)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.process_time()
    result = call()
    mine = time.process_time() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return result, mine + (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)


def against_jt9(name, make, trials, seed, directory, jt9):
    """Recall, messages not sent and CPU per period of the recipe and of `jt9 -8 -d 1`."""
    rng = np.random.default_rng(seed)
    sent_total, weak_total, found, not_sent, cpu = 0, 0, np.zeros((2, 2), int), [0, 0], ([], [])
    for _ in range(trials):
        signals = make(rng)
        audio = period(rng, "ft8", signals, "ft8sim", directory)
        ours, t_ours = cpu_seconds(lambda: {d["text"] for d in recipe.decode_recording(audio, FS, "ft8")})
        peer, t_peer = cpu_seconds(lambda: {t for _, t in jt9.decode(audio * (10000 / np.max(np.abs(audio))),
                                                                     depth=1)})
        sent, weak = {s[0] for s in signals}, {s[0] for s in signals if s[3] < -16}
        sent_total, weak_total = sent_total + len(sent), weak_total + len(weak)
        for i, (decoded, seconds) in enumerate([(ours, t_ours), (peer, t_peer)]):
            found[i] += [len(sent & decoded), len(weak & decoded)]
            not_sent[i] += len(decoded - sent)
            cpu[i].append(seconds)
    for i, who in enumerate(["recipe", "jt9 -8 -d 1"]):
        share = f"{found[i][0]}/{sent_total} ({100 * found[i][0] / sent_total:.1f}%)"
        below = f", below -16 dB {found[i][1]}/{weak_total}" if weak_total and weak_total < sent_total else ""
        print(f"ft8 {name:21s} {who:12s}: {share}{below}, {not_sent[i]} not sent,"
              f" {np.median(cpu[i]):.2f} s CPU per period (median, max {max(cpu[i]):.2f} s)")


def crowded_band(mode, trials, target):
    rng = np.random.default_rng(7)
    sent_total = found_total = false_total = 0
    for _ in range(trials):
        signals = crowded(rng, mode)
        decoded = {d["text"] for d in recipe.decode_recording(period(rng, mode, signals, "library"), FS, mode)}
        sent = {s[0] for s in signals}
        sent_total += len(sent)
        found_total += len(sent & decoded)
        false_total += len(decoded - sent)
    print(f"{mode} crowded band (library)  : {found_total}/{sent_total} decoded ({100 * found_total / sent_total:.1f}%,"
          f" target >= {target}%), {false_total} not sent (target 0)")


def noise_alone(mode, periods):
    rng = np.random.default_rng(13)
    texts = [d["text"] for _ in range(periods)
             for d in recipe.decode_recording(rng.normal(0.0, 1.0, int(PERIOD[mode] * FS)), FS, mode)]
    print(f"{mode} noise alone, {periods} periods: {len(texts)} messages decoded (target 0) {texts}")


def single_signals(mode, trials, snrs, target):
    rng = np.random.default_rng(11)
    shares = []
    for snr in snrs:
        hits = 0
        for _ in range(trials):
            (message,) = random_messages(rng, 1)
            signal = (message, rng.uniform(300, 2700), rng.uniform(-DT_SPREAD[mode], DT_SPREAD[mode]), snr)
            decoded = recipe.decode_recording(period(rng, mode, [signal], "library"), FS, mode)
            hits += message in {d["text"] for d in decoded}
        shares.append(hits / trials)
    curve = "  ".join(f"{snr:g}:{share:.2f}" for snr, share in zip(snrs, shares))
    crossing = [i for i in range(1, len(snrs)) if shares[i - 1] < 0.5 <= shares[i]]
    point = "not crossed"
    if crossing:
        i = crossing[-1]
        point = f"{snrs[i - 1] + (0.5 - shares[i - 1]) / (shares[i] - shares[i - 1]) * (snrs[i] - snrs[i - 1]):.1f} dB"
    print(f"{mode} single signal, share decoded at each SNR (dB in 2500 Hz): {curve}")
    print(f"{mode} single signal, 50% point {point} (target <= {target} dB)")


def main():
    trials = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    noise_periods = int(sys.argv[2]) if len(sys.argv) > 2 else 500
    jt9 = wsjtx.Jt9()
    with tempfile.TemporaryDirectory(prefix="ft8sim-") as directory:
        against_jt9("crowded (ft8sim)", crowded, trials, 7, directory, jt9)
        against_jt9("sparse, -22..-16 dB", sparse, 2 * trials, 17, directory, jt9)
        against_jt9("busy, weak in the clear", busy, trials, 19, directory, jt9)
    crowded_band("ft8", trials, 90)
    crowded_band("ft4", trials, 80)
    noise_alone("ft8", noise_periods)
    noise_alone("ft4", noise_periods // 5)
    single_signals("ft8", 3 * trials, [-23, -22, -21, -20, -19], -19.1)
    single_signals("ft4", 3 * trials, [-19, -18, -17, -16, -15], -14.5)


if __name__ == "__main__":
    main()
