"""The per-user image cache, in fresh processes: filled once, then read; damaged or
non-regular files in it are passed over (and healed); switched off or unwritable, it is
skipped without a trace."""

import os
import struct
import subprocess
import sys

import pytest

PROBE = ("from tessel.bpe.openai import cl100k_base\n"
         "t = cl100k_base()\n"
         "ids = t.encode('Xylophone music')\n"
         "print(ids, t.decode(ids))\n")


def run_probe(cache_dir, home):
    env = dict(os.environ, HOME=str(home), TESSEL_CACHE_DIR=str(cache_dir))
    env.pop("XDG_CACHE_HOME", None)
    # The timeout only stops a hanging run from stalling the suite.
    result = subprocess.run([sys.executable, "-c", PROBE], env=env, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.fixture(scope="module")
def expected():
    from tessel.bpe.openai import cl100k_base
    ids = cl100k_base().encode("Xylophone music")
    return f"{ids} Xylophone music\n"


def swap_state_token(image, source_byte, target_byte):
    """The forward automaton's state for one byte given the token of another's state."""
    n, capacity, pairs = struct.unpack_from("<I8xI4xI", image, 0)
    states = 64 + 12 * n + 8 * capacity + 12 * pairs
    state_count, output_count = struct.unpack_from("<ii", image, 28)
    base = states + 16 * state_count + 12 * output_count
    root_base = struct.unpack_from("<i", image, base)[0]
    target_token = struct.unpack_from("<I", image, states + 16 * (root_base + target_byte) + 8)
    struct.pack_into("<I", image, states + 16 * (root_base + source_byte) + 8, *target_token)


def test_cache_is_filled_once_read_after_and_heals(tmp_path, expected):
    cache = tmp_path / "nested" / "cache"
    assert run_probe(cache, tmp_path) == expected
    (image,) = cache.iterdir()  # no temporary file left beside it
    assert image.name.startswith("cl100k_base-") and image.suffix == ".bin"
    good = image.read_bytes()
    assert run_probe(cache, tmp_path) == expected

    damaged = bytearray(good)
    swap_state_token(damaged, ord("X"), ord("Y"))
    image.write_bytes(damaged)
    assert run_probe(cache, tmp_path) == expected
    assert image.read_bytes() == good

    image.unlink()
    os.mkfifo(image)
    assert run_probe(cache, tmp_path) == expected


def test_cache_off_or_unwritable_is_skipped(tmp_path, expected):
    assert run_probe("", tmp_path) == expected
    blocker = tmp_path / "file"
    blocker.write_bytes(b"")
    assert run_probe(blocker / "cache", tmp_path) == expected
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file"]
