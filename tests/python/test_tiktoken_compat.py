"""tessel as a drop-in for tiktoken: every public call, compared with tiktoken itself.

The reference encodings are tiktoken's own definitions (pattern, special tokens) over this
project's rank files, so nothing is downloaded. Generated texts concentrate on the places
where splitting rules are easy to get wrong: whitespace and line-break mixes, U+2019,
U+180E, marks after letters, and special tokens whole, adjacent or cut short.
"""
import array
import importlib.util
import pickle
import random
from pathlib import Path

import pytest

tiktoken = pytest.importorskip("tiktoken")
from tiktoken.load import load_tiktoken_bpe  # noqa: E402
from tiktoken_ext import openai_public  # noqa: E402

import tessel  # noqa: E402

DATA = Path(__file__).resolve().parents[2] / "data"
NAMES = ["cl100k_base", "o200k_base", "o200k_harmony"]
GENERATED_PER_ENCODING = 1500

_references = {}


def reference(name):
    """tiktoken's encoding of this name, from the local rank files."""
    if name not in _references:
        vocab = "cl100k_base" if name == "cl100k_base" else "o200k_base"
        ranks = load_tiktoken_bpe(str(DATA / f"{vocab}.tiktoken"))
        original = openai_public.load_tiktoken_bpe
        openai_public.load_tiktoken_bpe = lambda *args, **kwargs: ranks
        try:
            definition = getattr(openai_public, name)()
        finally:
            openai_public.load_tiktoken_bpe = original
        _references[name] = tiktoken.Encoding(**definition)
    return _references[name]


FRAGMENTS = [
    " ", "  ", "\t", "\n", "\r\n", "\r", "\x0b", "\x0c", "\u00a0", "\u3000", "\u2028", "\u180e",
    "a", "Z", "word", "Hello", "é", "ß", "\u01c5", "\u02b0", "中文", "\u0301", "\u0903", "\u20dd",
    "1", "2024", "\u0663", "\u00b2", "'", "\u2019", "'s", "'LL", "'Re", "\u2019t",
    ".", "/", "!?", "//", "\U0001f600", "<", "|>",
    "<|endoftext|>", "<|endoftext", "endoftext|>", "<|endofprompt|>", "<|fim_prefix|>",
    "<|start|>", "<|reserved_200018|>", "<|", "<||>",
]


def generated_texts(seed, count):
    rng = random.Random(seed)
    return ["".join(rng.choice(FRAGMENTS) for _ in range(rng.randint(0, 14))) for _ in range(count)]


def outcome(call):
    try:
        return call()
    except Exception as error:  # the same error type (message aside) counts as agreement
        return type(error)


@pytest.fixture(scope="module", params=NAMES)
def pair(request):
    return tessel.get_encoding(request.param), reference(request.param)


def test_generated_text_gives_tiktoken_ids_for_every_encode_call(pair):
    ours, theirs = pair
    texts = generated_texts(NAMES.index(ours.name), GENERATED_PER_ENCODING)
    some_special = sorted(theirs.special_tokens_set)[:2]
    settings = [
        {},
        {"allowed_special": "all"},
        {"disallowed_special": ()},
        {"allowed_special": set(some_special)},
        {"allowed_special": {"<|endoftext|>"}, "disallowed_special": ()},
        {"disallowed_special": {"<|endoftext|>"}},
    ]
    for text in texts:
        assert ours.encode_ordinary(text) == theirs.encode_ordinary(text), text
        for kwargs in settings:
            expected = outcome(lambda: theirs.encode(text, **kwargs))
            assert outcome(lambda: ours.encode(text, **kwargs)) == expected, (text, kwargs)
    for kwargs in settings:
        expected = outcome(lambda: theirs.encode_batch(texts, **kwargs))
        for threads in (1, 4):
            got = outcome(lambda: ours.encode_batch(texts, num_threads=threads, **kwargs))
            assert got == expected, kwargs
    assert ours.encode_ordinary_batch(texts, num_threads=3) == theirs.encode_ordinary_batch(texts)
    if importlib.util.find_spec("numpy"):
        for text in texts[:300]:
            expected = outcome(lambda: theirs.encode(text))
            assert outcome(lambda: ours.encode_to_numpy(text).tolist()) == expected, text
    assert ours._count_ordinary_batch(texts, 2) == [len(theirs.encode_ordinary(t)) for t in texts]


def test_decoding_calls_agree_with_tiktoken(pair):
    ours, theirs = pair
    rng = random.Random(7)
    specials = sorted(theirs._special_tokens.values())
    for _ in range(300):
        ids = [rng.randrange(theirs.n_vocab) for _ in range(rng.randint(0, 6))]
        ids += rng.sample(specials, 1)
        for call in ("decode_bytes", "decode", "decode_tokens_bytes", "decode_with_offsets"):
            expected = outcome(lambda: getattr(theirs, call)(ids))
            assert outcome(lambda: getattr(ours, call)(ids)) == expected, (call, ids)
    for token in [0, 255, theirs.max_token_value, theirs.eot_token, 100256, 200000, 10**6]:
        for call in ("decode_single_token_bytes", "is_special_token"):
            expected = outcome(lambda: getattr(theirs, call)(token))
            assert outcome(lambda: getattr(ours, call)(token)) == expected, (call, token)
    batch = [[1, 2], [theirs.eot_token], [300, 301]]
    assert ours.decode_batch(batch) == theirs.decode_batch(batch)
    assert ours.decode_bytes_batch(batch) == theirs.decode_bytes_batch(batch)
    assert ours.token_byte_values() == theirs.token_byte_values()
    for text in ["hello", "<|endoftext|>", " world", "no such token"]:
        assert outcome(lambda: ours.encode_single_token(text)) == outcome(
            lambda: theirs.encode_single_token(text))


def test_attributes_equal_tiktoken(pair):
    ours, theirs = pair
    for attribute in ("name", "n_vocab", "max_token_value", "eot_token", "special_tokens_set",
                      "_pat_str", "_special_tokens"):
        assert getattr(ours, attribute) == getattr(theirs, attribute), attribute
    assert repr(ours) == repr(theirs)


@pytest.mark.parametrize("name", ["cl100k_base", "o200k_base"])
def test_whole_corpora_give_tiktoken_ids_with_nothing_stripped(name):
    from test_agreement_tiktoken import CORPORA

    ours, theirs = tessel.get_encoding(name), reference(name)
    for corpus, read in sorted(CORPORA.items()):
        text = read()
        assert ours.encode_ordinary(text) == theirs.encode_ordinary(text), corpus


def test_text_with_surrogates_is_encoded_as_tiktoken_does():
    ours, theirs = tessel.get_encoding("cl100k_base"), reference("cl100k_base")
    texts = ["a\ud800b", "\ud83d\ude00 pair", "end\udfff", "<|endoftext|>\ud800"]
    for text in texts:
        assert ours.encode_ordinary(text) == theirs.encode_ordinary(text)
        assert ours.encode(text, allowed_special="all") == theirs.encode(text, allowed_special="all")
        assert outcome(lambda: ours.encode(text)) == outcome(lambda: theirs.encode(text))
    assert ours.encode_ordinary_batch(texts) == theirs.encode_ordinary_batch(texts)
    # A generator is read once: the retry without lone surrogates must not find it empty.
    assert ours.encode_ordinary_batch(iter(texts)) == theirs.encode_ordinary_batch(texts)
    assert ours._count_ordinary_batch(iter(texts)) == list(map(len, theirs.encode_ordinary_batch(texts)))
    for batch in (texts[:3], texts, ["plain", "text <| only a marker"], ["plain"] * 3 + [texts[3]]):
        assert outcome(lambda: ours.encode_batch(batch)) == outcome(lambda: theirs.encode_batch(batch))
    assert ours._count_ordinary(texts[0]) == len(theirs.encode_ordinary(texts[0]))


def test_decoding_accepts_any_integer_sequence_and_rejects_bad_ids():
    numpy = pytest.importorskip("numpy")
    enc = tessel.get_encoding("cl100k_base")
    expected = b"hello world"
    for tokens in ([15339, 1917], (15339, 1917), array.array("I", [15339, 1917]),
                   array.array("q", [15339, 1917]), numpy.array([15339, 1917]),
                   numpy.array([15339, 1917], dtype=numpy.uint16)):
        assert enc.decode_bytes(tokens) == expected, type(tokens)
    assert enc.decode_bytes(numpy.array([15339, 1917])[::-1]) == b" worldhello"
    with pytest.raises(KeyError):
        enc.decode_bytes([100256])  # an id between the vocabulary and the special tokens
    with pytest.raises(KeyError):
        enc.decode(array.array("I", [15339, 2**32 - 1]))
    for bad, error in (([-1], OverflowError), ([2**32], OverflowError),
                       (numpy.array([-1]), OverflowError), ([1.0], TypeError),
                       (["1"], TypeError), (iter([1]), TypeError), (5, TypeError)):
        with pytest.raises(error):
            enc.decode_bytes(bad)
    ids = enc.encode_to_numpy("hello world <|endoftext|>", allowed_special="all")
    assert ids.dtype == numpy.uint32 and ids.tolist() == [15339, 1917, 220, 100257]


def test_names_models_and_errors():
    assert tessel.list_encoding_names() == NAMES
    assert tessel.get_encoding("cl100k_base") is tessel.get_encoding("cl100k_base")
    with pytest.raises(ValueError, match="cl100k_base, o200k_base, o200k_harmony"):
        tessel.get_encoding("gpt3")
    import tiktoken.model

    assert tessel.model.MODEL_TO_ENCODING == tiktoken.model.MODEL_TO_ENCODING
    assert list(tessel.model.MODEL_PREFIX_TO_ENCODING.items()) == list(
        tiktoken.model.MODEL_PREFIX_TO_ENCODING.items())
    for model in ["gpt-4o", "gpt-4-0613", "ft:gpt-4o-mini:org::id", "gpt-oss-120b", "o1-mini",
                  "text-davinci-003", "no-such-model"]:
        assert outcome(lambda: tessel.encoding_name_for_model(model)) == outcome(
            lambda: tiktoken.encoding_name_for_model(model))
    assert tessel.encoding_for_model("gpt-oss-20b").name == "o200k_harmony"
    with pytest.raises(ValueError, match="Unknown encoding p50k_base"):
        tessel.encoding_for_model("text-davinci-003")
    enc = tessel.get_encoding("cl100k_base")
    with pytest.raises(ValueError, match="num_threads"):
        enc.encode_ordinary_batch(["a"], num_threads=0)
    with pytest.raises(TypeError, match="allowed_special"):
        enc.encode("x", allowed_special="none")  # a str, not a set: each letter would count


def test_pickles_built_in_encodings_by_name_and_custom_ones_by_value():
    enc = tessel.get_encoding("o200k_harmony")
    data = pickle.dumps(enc)
    assert len(data) < 200 and pickle.loads(data) is enc
    small = tiny_vocabulary()
    custom = tessel.Encoding("tiny", pat_str=tessel.get_encoding("cl100k_base")._pat_str,
                             mergeable_ranks=small, special_tokens={"<|end|>": len(small)})
    copy = pickle.loads(pickle.dumps(custom))
    assert copy.encode("abab<|end|>", allowed_special="all") == custom.encode(
        "abab<|end|>", allowed_special="all") == [257, 258]


# ---- Custom vocabularies ----------------------------------------------------------------

def tiny_vocabulary():
    ranks = {bytes([b]): b for b in range(256)}
    ranks[b"ab"] = 256
    ranks[b"abab"] = 257
    return ranks


ACCEPTED_SPELLINGS = {
    "cl100k_base": [
        (DATA / "cl100k_base.pattern").read_text().strip(),
        # earlier tiktoken releases and Llama 3
        r"""(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+""",
        r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]++[\r\n]*|\s*[\r\n]|\s+(?!\S)|\s""",
    ],
    "o200k_base": [(DATA / "o200k_base.pattern").read_text().strip()],
}


@pytest.mark.parametrize("name", sorted(ACCEPTED_SPELLINGS))
def test_accepted_spellings_split_as_the_current_pattern_in_tiktoken(name):
    # Accepting a spelling is sound only if tiktoken itself gives the same ids with it.
    current = reference(name)
    texts = generated_texts(11, 800)
    for pattern in ACCEPTED_SPELLINGS[name]:
        tessel._patterns.rules_for_pattern(pattern)  # accepted
        other = tiktoken.Encoding("spelling", pat_str=pattern,
                                  mergeable_ranks=current._mergeable_ranks, special_tokens={})
        for text in texts:
            assert other.encode_ordinary(text) == current.encode_ordinary(text), (pattern, text)


def test_custom_encoding_from_the_rank_file_equals_the_built_in():
    builtin = tessel.get_encoding("cl100k_base")
    custom = tessel.Encoding(
        "my_cl100k", pat_str=reference("cl100k_base")._pat_str,
        mergeable_ranks=tessel.load_tiktoken_bpe(DATA / "cl100k_base.tiktoken"),
        special_tokens=builtin._special_tokens)
    texts = generated_texts(3, 400)
    assert custom.encode_batch(texts, allowed_special="all") == builtin.encode_batch(
        texts, allowed_special="all")
    assert custom.n_vocab == builtin.n_vocab and repr(custom) == "<Encoding 'my_cl100k'>"


def test_a_token_longer_than_the_whole_token_index_takes_is_still_found():
    # Tokens of more than 65,535 bytes leave the model without its whole-token index; the
    # stored table and the prefix walk must then answer alone.
    ranks = {bytes([b]): b for b in range(256)}
    for k in range(1, 17):
        ranks[b"a" * 2 ** k] = 255 + k
    longest = b"a" * 2 ** 16
    enc = tessel.Encoding("long", pat_str=tessel.get_encoding("cl100k_base")._pat_str,
                          mergeable_ranks=ranks, special_tokens={})
    text = "a" * (2 * 2 ** 16 + 3)
    assert enc.encode_ordinary(text) == [271, 271, 256, 97]
    assert enc.encode_single_token(longest) == 271
    assert enc.decode(enc.encode(text)) == text


def test_unsound_vocabularies_and_patterns_are_rejected_with_clear_errors():
    pattern = tessel.get_encoding("cl100k_base")._pat_str
    ranks = tiny_vocabulary()

    def make(**changes):
        arguments = {"pat_str": pattern, "mergeable_ranks": ranks, "special_tokens": {}}
        arguments.update(changes)
        return tessel.Encoding("bad", **arguments)

    with pytest.raises(ValueError, match="unsupported pat_str.*cl100k_base and o200k_base"):
        make(pat_str=r"\w+|\s+")
    with pytest.raises(ValueError, match="no gaps"):
        make(mergeable_ranks={**ranks, b"abab": 300})
    with pytest.raises(ValueError, match="given twice"):
        make(mergeable_ranks={**ranks, b"ba": 256})
    # A byte without a token of its own would leave text with no encoding at all.
    without_z = {token: rank for token, rank in ranks.items() if token != b"z"}
    without_z = {token: rank - (rank > ord("z")) for token, rank in without_z.items()}
    with pytest.raises(ValueError, match="single-byte tokens for 1 byte values \\(0x7a\\)"):
        make(mergeable_ranks=without_z)
    with pytest.raises(ValueError, match="rank 256 is not the merge"):
        make(mergeable_ranks={**{bytes([b]): b for b in range(256)}, b"xyz": 256})
    with pytest.raises(ValueError, match="explicit_n_vocab"):
        make(explicit_n_vocab=1000)
    with pytest.raises(ValueError, match="only local"):
        tessel.load_tiktoken_bpe("file:///tmp/ranks.tiktoken")
