"""The type stub installed beside quorvane._core declares what the module has."""
import ast
import inspect
import pathlib

import quorvane._core as core


def stub_class() -> ast.ClassDef:
    stub = pathlib.Path(core.__file__).with_name("_core.pyi")
    assert (stub.parent / "py.typed").is_file()
    tree = ast.parse(stub.read_text())
    return next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Tokenizer")


def test_stub_declares_every_method_with_the_runtime_parameters():
    declared = {f.name: f for f in stub_class().body if isinstance(f, ast.FunctionDef)}
    runtime = {name for name, value in vars(core.Tokenizer).items()
               if callable(value) or isinstance(value, staticmethod)}
    assert set(declared) - {"n_vocab"} == runtime - {"__repr__"}
    for name, fn in declared.items():
        assert ast.get_docstring(fn), f"{name} has no docstring"
        if name.startswith("__") or name == "n_vocab":
            continue
        params = [a.arg for a in fn.args.args if a.arg != "self"]
        defaults = [ast.literal_eval(d) for d in fn.args.defaults]
        expected = inspect.signature(getattr(core.Tokenizer, name)).parameters.values()
        expected = [p for p in expected if p.name != "self"]
        assert params == [p.name for p in expected], name
        assert defaults == [p.default for p in expected if p.default is not p.empty], name
    assert [a.arg for a in declared["__new__"].args.args] == ["cls", "path"]
