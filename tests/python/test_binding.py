"""The binding layer: call shapes and their messages, argument conversion,
the self check, the module's attributes and the class's shape."""
import importlib.metadata
import inspect
import pickle
import threading

import pytest

import quorvane
from quorvane import Tokenizer
from quorvane import _core
from tokfiles import bl, bl_path, borrow_count  # noqa: F401

SIGNATURES = [
    ("__reduce__", "($self)"),
    ("from_pretrained", "(repo_id, revision=None)"),
    ("from_tiktoken", "(name)"),
    ("encode_ordinary", "($self, text)"),
    ("encode_ordinary_no_prefix", "($self, text)"),
    ("set_special_tokens", "($self, contents, ids, lstrip, rstrip, scheme)"),
    ("encode_special", "($self, text)"),
    ("encode_special_batch", "($self, texts, num_threads=0)"),
    ("encode_to_bytes", "($self, text)"),
    ("_encode_ordinary_stream", "($self, text)"),
    ("_encode_ordinary_scan", "($self, text)"),
    ("count_tokens", "($self, text)"),
    ("encode_with_offsets", "($self, text)"),
    ("encode_ordinary_batch", "($self, texts, num_threads=0)"),
    ("count_tokens_batch", "($self, texts, num_threads=0)"),
    ("encode_batch", "($self, texts, max_length=None, pad_id=0, num_threads=0)"),
    ("encode_special_padded",
     "($self, texts, prefix, suffix, max_length=None, pad_id=0, truncation=False, "
     "pad_to_max=False, pad_left=False, trunc_left=False, num_threads=0)"),
    ("decode_batch", "($self, sequences, num_threads=0)"),
    ("decode", "($self, tokens)"),
    ("decode_array", "($self, tokens)"),
]

TEXT_METHODS = ["encode_ordinary", "encode_ordinary_no_prefix", "encode_special",
                "encode_to_bytes", "_encode_ordinary_stream", "_encode_ordinary_scan",
                "count_tokens", "encode_with_offsets"]


def test_module_attributes():
    assert _core.__version__ == importlib.metadata.version("quorvane")
    assert _core.__all__ == ["Tokenizer", "__version__"]
    assert _core.Tokenizer is Tokenizer is quorvane.Tokenizer
    assert _core.__doc__ == ""
    assert quorvane.__version__ == _core.__version__


def test_class_shape(bl):
    assert Tokenizer.__module__ == "quorvane"
    assert Tokenizer.__name__ == Tokenizer.__qualname__ == "Tokenizer"
    assert Tokenizer.__text_signature__ == "(path)"
    assert Tokenizer.__doc__ == ""
    assert Tokenizer.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (Tokenizer,), {})
    assert not hasattr(bl, "__dict__")
    with pytest.raises(TypeError):
        __import__("weakref").ref(bl)
    with pytest.raises(AttributeError):
        bl.extra = 1
    assert "__init__" not in Tokenizer.__dict__ and "__eq__" not in Tokenizer.__dict__
    assert bl == bl and bl != Tokenizer(bl.__reduce__()[1][0])
    assert hash(bl) == object.__hash__(bl)


def test_method_table_order_and_signatures():
    names = [n for n in Tokenizer.__dict__ if n in dict(SIGNATURES)]
    assert names == [n for n, _ in SIGNATURES]
    for name, sig in SIGNATURES:
        assert getattr(Tokenizer, name).__text_signature__ == sig, name
        inspect.signature(getattr(Tokenizer, name))  # parses
    assert isinstance(Tokenizer.__dict__["from_pretrained"], staticmethod)
    assert isinstance(Tokenizer.__dict__["from_tiktoken"], staticmethod)
    assert Tokenizer.encode_ordinary.__doc__ in ("", None)
    assert Tokenizer.decode.__doc__ in ("", None)
    assert Tokenizer.__dict__["n_vocab"].__doc__ in ("", None)


def test_n_vocab_read_only(bl):
    assert bl.n_vocab == len(bl) == 258
    assert bool(bl)
    with pytest.raises(AttributeError):
        bl.n_vocab = 5
    with pytest.raises(AttributeError):
        del bl.n_vocab


@pytest.mark.parametrize("call, message", [
    (lambda: Tokenizer(), "Tokenizer.__new__() missing 1 required positional argument: 'path'"),
    (lambda: Tokenizer("a", "b"),
     "Tokenizer.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: Tokenizer(pth="x"), "Tokenizer.__new__() got an unexpected keyword argument 'pth'"),
    (lambda: Tokenizer("x", path="x"),
     "Tokenizer.__new__() got multiple values for argument 'path'"),
    (lambda: Tokenizer.from_pretrained(),
     "Tokenizer.from_pretrained() missing 1 required positional argument: 'repo_id'"),
    (lambda: Tokenizer.from_pretrained("a", "b", "c"),
     "Tokenizer.from_pretrained() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: Tokenizer.from_tiktoken(name="x", other=1),
     "Tokenizer.from_tiktoken() got an unexpected keyword argument 'other'"),
])
def test_constructor_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("name", TEXT_METHODS)
def test_text_method_binding(bl, name):
    method = getattr(bl, name)
    qual = f"Tokenizer.{name}()"
    cases = [
        ((), {}, f"{qual} missing 1 required positional argument: 'text'"),
        (("a", "b"), {}, f"{qual} takes 1 positional arguments but 2 were given"),
        (("a",), {"text": "a"}, f"{qual} got multiple values for argument 'text'"),
        ((), {"txt": "a"}, f"{qual} got an unexpected keyword argument 'txt'"),
        ((b"a",), {}, "argument 'text': 'bytes' object is not an instance of 'str'"),
        ((None,), {}, "argument 'text': 'None' is not an instance of 'str'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as info:
            method(*args, **kwargs)
        assert str(info.value) == message
    assert method(text="ab") == method("ab")
    assert borrow_count(bl) == 0


def test_reduce_takes_no_arguments(bl):
    with pytest.raises(TypeError, match=r"^Tokenizer.__reduce__\(\) takes 0 positional "
                                        r"arguments but 1 was given$"):
        bl.__reduce__(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        bl.__reduce__(x=1)


def test_missing_list_forms_of_many_parameters(bl):
    # Whatever set_special_tokens does with its values, binding comes first.
    with pytest.raises(TypeError) as info:
        bl.set_special_tokens()
    assert str(info.value) == ("Tokenizer.set_special_tokens() missing 5 required positional "
                               "arguments: 'contents', 'ids', 'lstrip', 'rstrip', and 'scheme'")
    with pytest.raises(TypeError) as info:
        bl.set_special_tokens([], [], [])
    assert str(info.value) == ("Tokenizer.set_special_tokens() missing 2 required positional "
                               "arguments: 'rstrip' and 'scheme'")


def test_prefix_keeps_only_the_cause():
    class Weird(str):
        pass
    # A str subclass is accepted as text.
    assert isinstance(Weird("x"), str)
    with pytest.raises(TypeError) as info:
        Tokenizer(path=3)
    assert str(info.value) == "argument 'path': 'int' object is not an instance of 'str'"
    assert info.value.__cause__ is None


def test_str_subclass_and_surrogate(bl):
    class S(str):
        pass
    assert bl.encode_ordinary(S("abc")) == bl.encode_ordinary("abc")
    with pytest.raises(UnicodeEncodeError):
        bl.encode_ordinary("a\ud800")
    assert borrow_count(bl) == 0


def test_self_check(bl):
    # CPython's method descriptor refuses a foreign self before the call.
    with pytest.raises(TypeError):
        Tokenizer.decode(object(), [])
    with pytest.raises(TypeError):
        Tokenizer.__reduce__(None)


def test_no_borrow_left_behind_after_errors(bl):
    failing = [
        lambda: bl.decode("x"), lambda: bl.decode([-1]), lambda: bl.decode(5),
        lambda: bl.decode([1.5]), lambda: bl.decode_array(b"abcd"),
        lambda: bl.decode_array(object()), lambda: bl.encode_ordinary(1),
        lambda: bl.count_tokens("\udc00"), lambda: bl.encode_to_bytes(None),
    ]
    for call in failing:
        with pytest.raises(Exception):
            call()
        assert borrow_count(bl) == 0
    repr(bl), len(bl), bl.n_vocab, bl.__reduce__()
    assert borrow_count(bl) == 0
    bl.set_special_tokens([], [], [], [], 0)  # the exclusive borrow is free


def test_decode_with_index_raising_releases_borrow(bl):
    class Bad:
        def __index__(self):
            raise KeyError("nope")
    with pytest.raises(KeyError):
        bl.decode([Bad()])
    assert borrow_count(bl) == 0


def test_threads_share_the_object(bl):
    text = "abc " * 20000
    expected = bl.encode_ordinary(text)
    results = []

    def work():
        for _ in range(5):
            results.append(bl.encode_ordinary(text) == expected)
            results.append(bl.decode(expected) == text)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(results) and len(results) == 40
    assert borrow_count(bl) == 0


def test_pickle_protocols(bl):
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        clone = pickle.loads(pickle.dumps(bl, protocol=proto))
        assert type(clone) is Tokenizer
        assert clone.n_vocab == bl.n_vocab
        assert clone.__reduce__() == bl.__reduce__()


def set_borrow(tok, value):
    import ctypes
    ctypes.c_uint64.from_address(id(tok) + type(tok).__basicsize__ - 8).value = value


SHARED_CALLS = [
    lambda t: t.encode_ordinary("a"), lambda t: t.encode_special("a"),
    lambda t: t.count_tokens("a"), lambda t: t.encode_to_bytes("a"),
    lambda t: t.encode_ordinary_no_prefix("a"), lambda t: t._encode_ordinary_stream("a"),
    lambda t: t._encode_ordinary_scan("a"), lambda t: t.encode_with_offsets("a"),
    lambda t: t.decode([1]), lambda t: t.decode_array(__import__("array").array("I", [1])),
    lambda t: repr(t), lambda t: len(t), lambda t: t.n_vocab, lambda t: t.__reduce__(),
]


def test_busy_object_fails_at_once(bl):
    set_borrow(bl, 2**64 - 1)  # as if set_special_tokens were running
    try:
        for call in SHARED_CALLS:
            with pytest.raises(RuntimeError) as info:
                call(bl)
            assert str(info.value) == "Already mutably borrowed"
        # A failed borrow is reported before a bad argument value.
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            bl.encode_ordinary(5)
    finally:
        set_borrow(bl, 0)
    set_borrow(bl, 1)  # one reader inside
    try:
        for call in SHARED_CALLS:
            call(bl)
        assert borrow_count(bl) == 1
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            bl.set_special_tokens([], [], [], [], 0)
    finally:
        set_borrow(bl, 0)
    bl.set_special_tokens([], [], [], [], 0)
    assert borrow_count(bl) == 0
