"""Code that runs while a call fills its result lists (an element's __index__, a
collection's callbacks) reaches every tracked list through gc.get_objects(); one with empty
slots crashed whoever read it. The batch encoders make their lists empty first and run the
collections those make due inside the call, on every Python version; a list that such code
takes hold of meanwhile stays its own.

Run by itself, as the collector's schedule differs between versions (inside the allocation
up to 3.11, once control is back in the interpreter from 3.12 on): pytest runs it in a
child process, and tests/smoke_install.sh on every CPython it installs on. Prints "ok".
"""
import gc
import weakref

import tessel
from tessel.bpe import _native, openai

tok = openai.cl100k_base()


def read_every_list():
    for o in gc.get_objects():
        if type(o) is list:
            for _ in o:
                pass


class Index:
    def __index__(self):
        read_every_list()
        return 1


assert tok.decode_batch([[1], [Index()], [2]]) == ['"', '"', '#']

# Converting a special token's id may change the dict that holds it.
specials = {}


class ClearingId:
    def __index__(self):
        specials.clear()
        [str(i) * 300 for i in range(200)]  # takes the freed memory
        return 100300


specials["<|" + "k" * 200 + "|>"] = ClearingId()
core = _native.builtin(0, specials)
assert core.decode_single(100300) == b"<|" + b"k" * 200 + b"|>"

texts = [f"item {i} " * (i % 30) for i in range(3000)]
expected = [tok.encode(t) for t in texts]
calls = {"encode_batch": lambda: tok.encode_batch(texts)[0],
         "encode_batch_parallel": lambda: tok.encode_batch_parallel(texts)[0],
         "exact": lambda: tessel.get_encoding("cl100k_base").encode_ordinary_batch(texts)}
inside = dict.fromkeys(calls, 0)
running = None
held = []


def callback(phase, info):
    if phase == "start" and running:
        read_every_list()
        held.extend(o for o in gc.get_objects() if type(o) is list and not o)
        inside[running] += 1


gc.callbacks.append(callback)
gc.set_threshold(50)
for running, call in calls.items():
    result = call()
    assert result == expected, running
    # (A collection after the call may also take hold of the results of empty texts.)
    assert not {id(o) for o in held} & {id(r) for r in result if r}, running
    held.clear()
running = None
gc.callbacks.remove(callback)
# One collection is due after every 50 lists; one that waits for the call to return is a
# single collection.
assert inside["encode_batch_parallel"] > 1, inside

# A list changed meanwhile, and let go of again, is not overwritten: what it holds is
# released with it.


class Marker:
    pass


marker = Marker()
marker_alive = weakref.ref(marker)
before = {id(o) for o in gc.get_objects() if type(o) is list}


def append_to_new_empty_lists(phase, info):
    if phase == "start":
        for o in gc.get_objects():
            if type(o) is list and not o and id(o) not in before:
                o.append(marker)


gc.callbacks.append(append_to_new_empty_lists)
for call in calls.values():
    assert call() == expected
gc.callbacks.remove(append_to_new_empty_lists)
del marker
gc.collect()
assert marker_alive() is None
print("ok")
