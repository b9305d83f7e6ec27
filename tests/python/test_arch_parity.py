"""The Python architecture reader (trevalon.arch) against the engine's loader: the same files go
through both, and the inputs, outputs, nodes and the parameters each node's layer reads must agree.
The loader's side comes from the dump_arch tool (tests/cpp/tools), which loads each file with
load_arch and prints what it got; files that one side rejects must be rejected by the other, with
the same message for JSON syntax errors."""

import json
import os
import pathlib
import re
import subprocess

import pytest

from trevalon.arch import OP_NAMES, ArchError, ArchSyntaxError, canonical_op, read_arch

ROOT = pathlib.Path(__file__).resolve().parents[2]


def _find_dump_arch():
    given = os.environ.get("TREVALON_DUMP_ARCH")
    if given:
        return given
    found = sorted(ROOT.glob("build/*/tests/cpp/dump_arch"))
    return str(found[0]) if found else None


DUMP_ARCH = _find_dump_arch()
if DUMP_ARCH is None and not os.environ.get("TREVALON_REQUIRE_DUMP_ARCH"):
    pytest.skip("dump_arch not built: configure with -DTREVALON_BUILD_TESTS=ON and build it, or set "
                "TREVALON_DUMP_ARCH to its path", allow_module_level=True)


def node(name, op, **rest):
    return {"name": name, "op": op, **rest}


def arch(*nodes, **root):
    return json.dumps({**root, "nodes": list(nodes)}, ensure_ascii=False)


# id -> file text. Written by hand (not json.dumps) where the JSON itself is the point.
CASES = {
    # declared inputs
    "no_inputs": arch(node("a", "add_fp32", inputs=["x", "x"], outputs=["y"])),
    "input_forms": json.dumps({"model": "m", "inputs": [
        {"name": "a", "shape": [1, 224, 224, 3], "dtype": "float32", "scale": 0.1, "zp": -3.7},
        {"name": "b", "shape": [1, 1, 1, 80]}, {"name": "c", "shape": [1, 80, 1, 4]},
        {"name": "d", "shape": [1, 1, 0, 80]}, {"name": "e", "shape": [9, 2.9, -3.7, 5, 99]},
        {"name": "f", "shape": [1, "2", True, None]}, {"h": 4e10, "w": -1e300, "c": 2},
        "not an object", {"name": 5, "dtype": 8, "scale": "1", "zp": [1]}, {}]}),
    "input_singular": json.dumps({"input": {"h": 32, "w": 32, "c": 3, "name": "img",
                                            "shape": [1, 2, 2, 2], "scale": 1e39, "zp": 1e10}}),
    "inputs_empty_uses_input": json.dumps({"inputs": [], "input": {"c": 7, "dtype": "float32"}}),
    "input_not_an_object": json.dumps({"input": [1, 2, 3]}),
    "scale_rounding": '{"inputs": [{"scale": 0.1}, {"scale": 3.4028235677973366e38},'
                      ' {"scale": 3.5e38}, {"scale": -1e-50}, {"scale": 1e400}]}',
    "short_shape": json.dumps({"inputs": [{"name": "a", "shape": [1, 2, 3]}]}),
    "shape_not_array": json.dumps({"inputs": [{"name": "a", "shape": {"h": 1}}]}),
    "inputs_not_array": json.dumps({"inputs": {"name": "a"}}),
    "inputs_null": '{"inputs": null, "input": {"c": 3}}',
    # declared and derived outputs
    "outputs_mixed": json.dumps({"outputs": ["plain", {"nam": "x"}, {"name": "o"}, {"name": 3}],
                                 "nodes": []}),
    "outputs_not_array": json.dumps({"outputs": "logits"}),
    "derived_last": arch(node("A", "add_fp32", inputs=["in"], outputs=["a"]),
                         node("B", "add_fp32", inputs=["a"], outputs=["b", "b2"])),
    "derived_first_output_rule": arch(
        node("M", "add_fp32", inputs=["in"], outputs=["m"]),
        node("L", "add_fp32", inputs=["in", "y"], outputs=["y", "extra"]),
        outputs=["skipped"]),
    "derived_cycle": arch(node("A", "conv", inputs=["b"], outputs=["a", "side"]),
                          node("B", "conv", inputs=["a"], outputs=["b"])),
    "derived_none": arch(node("A", "conv", inputs=["in"], outputs=["a"]), node("B", "conv", in_="a")),
    # node spellings
    "in_out_spellings": arch(
        node("a", "conv", **{"in": "p", "in3": "r", "out": "q"}),
        node("b", "conv", in2="s"),
        node("c", "conv", **{"inputs": ["p", 5, None], "in": "ignored", "outputs": ["t", {}]}),
        node("d", "conv", **{"inputs": "p", "outputs": {"o": 1}, "out": "x"}),
        node("e", "conv", **{"in": 3, "out": None})),
    "aliases_and_unknown_ops": arch(*[node(f"n{k}", op) for k, op in enumerate(
        ["conv", "gemm", "add", "maxpool", "avgpool", "relu_fp32", "CONV_INT8", "conv_int8 ",
         "", "lstm_fp32", "seqgemm_fp32"])], node("num", 5), node("null", None)),
    "every_op": arch(*[node(f"n{k}", op) for k, op in enumerate(OP_NAMES)]),
    "names_odd": arch(node("ñame 日本", "add_fp32", inputs=["tab\there", "q\"uote", "nul\u0000x"],
                           outputs=["back\\slash"]), model="m\nodel"),
    # the fused ReLU flag
    "relu_rules": arch(
        node("a", "conv", relu=True, args={"alpha": 0.1}),
        node("b", "conv", relu=1), node("c", "conv", relu=0.5), node("d", "conv", relu=-1.5),
        node("e", "conv", args={"relu": True}), node("f", "conv", relu=False, args={"relu": 2}),
        node("g", "conv", relu="yes"), node("h", "conv", relu=None), node("i", "conv", args=5, relu=1),
        node("j", "conv", args={"relu": [1]}), node("k", "conv", relu=1e300)),
    # parameters: defaults, "args", direct members winning, odd types and sizes
    "params_defaults": arch(*[node(f"d{k}", op) for k, op in enumerate(
        ["conv_int8", "conv_fp32", "gemm_int8", "gemm_fp32", "add_int8", "maxpool_int8",
         "maxpool_fp32", "avgpool_int8", "leaky_relu_fp32", "gelu_fp32", "scale_fp32",
         "upsample_bilinear_fp32", "upsample_nearest1d_fp32"])]),
    "params_values": arch(
        node("c", "conv_fp32", C_out=8, C_in=3.9, kH=-2.9, args={"kW": 5, "C_out": 99}),
        node("q", "conv_int8", args={"in_zp": -128, "out_zp": 300, "groups": "2", "kH": True},
             stride_h=[2], pad_h={"a": 1}, pad_w=None),
        node("l", "leaky_relu_fp32", args={"alpha": 0.01}), node("g", "gelu_fp32", alpha=0.5),
        node("a", "add_int8", in1_scale=1e-45, in2_scale=3.5e38, out_scale=-0.0, in1_zp=2**31,
             in2_zp=-2**31 - 1, out_zp=1e300),
        node("s", "scale_fp32", scalar=0.1, args={"scalar": 7}),
        node("u", "upsample_bilinear_fp32", args={"scale_h": 1.5}, scale_w=1e-400),
        node("n", "upsample_nearest1d_fp32", scale_factor=3.99),
        node("m", "maxpool_int8", kH=1e400, kW=-1e400, args=[1, 2])),
    "params_args_not_object": arch(node("c", "conv_fp32", args=[{"C_out": 3}]),
                                   node("d", "conv_fp32", args="C_out")),
    "nested_args": arch(node("c", "conv_fp32", args={"args": {"C_out": 4}, "C_in": 2})),
    # JSON the loader reads its own way
    "duplicated_keys": '{"model": "a", "model": "b", "nodes": [{"name": "n", "op": "conv_fp32", '
                       '"C_out": 1, "C_out": 2, "op": "gemm_fp32", "name": "m"}], "nodes": []}',
    "duplicated_nodes_key_last_wins": '{"nodes": [], "nodes": [{"name": "n", "op": "add_fp32"}]}',
    "numbers_lenient": '{"inputs": [{"name": "a", "shape": [007, -, 1., -.5e1], "scale": 2e, '
                       '"zp": -0}], "nodes": [{"name": "c", "op": "conv_fp32", "C_out": 1E+2, '
                       '"C_in": 5e-1, "kH": 1e}]}',
    "escapes": '{"model": "x\\ty\\u0041\\q\\/\\"", "nodes": [{"name": "\\n", "op": "con\\v", '
               '"out": "o\\\\"}]}',
    "trailing_text": '{"model": "m", "nodes": []} trailing } text',
    "literal_prefix": '{"model": "m", "nodes": [{"name": "n", "op": "conv", "relu": truex}]}',
    "deep_but_allowed": '{"model": "d", "z": ' + "[" * 510 + "]" * 510 + "}",
    "model_not_string": '{"model": 5, "nodes": [{"name": ["n"], "op": "conv", "out": 1}]}',
    "root_array": "[1, 2]",
    "root_string": '"text"',
    "whitespace_root": ' \t\r\n {"model": "w"}',
    # files both must reject
    "too_deep": '{"z": ' + "[" * 512 + "]" * 512 + "}",
    "empty": "",
    "trailing_comma_array": '{"nodes": [{"name": "a", "op": "conv"},]}',
    "trailing_comma_object": '{"model": "m",}',
    "hex": '{"inputs": [{"h": 0x10}]}',
    "nan_literal": '{"inputs": [{"h": NaN}]}',
    "infinity_literal": '{"inputs": [{"scale": Infinity}]}',
    "plus_number": '{"inputs": [{"h": +5}]}',
    "two_dots": '{"inputs": [{"shape": [1.5.3]}]}',
    "unterminated_string": '{"model": "open',
    "unterminated_escape": '{"model": "open\\',
    "missing_colon": '{"model" "m"}',
    "true_truncated": '{"a": tru}',
    "node_without_name": arch(node("a", "conv"), {"op": "conv"}),
    "node_without_op": arch({"name": "a"}),
    "node_not_object": arch("conv"),
    "nodes_not_array": json.dumps({"nodes": {"name": "a", "op": "conv"}}),
    "nodes_null": '{"nodes": null}',
    # the key/value cache size
    "max_positions_given": '{"max_positions": 64, "nodes": []}',
    "max_positions_whole_float": '{"max_positions": 1.6e1, "nodes": []}',
    "max_positions_zero": '{"max_positions": -0}',
    "max_positions_negative": '{"max_positions": -1}',
    "max_positions_fraction": '{"max_positions": 2.5}',
    "max_positions_text": '{"max_positions": "64"}',
    "max_positions_huge": '{"max_positions": 1e10}',
}
# Hand-built dicts above use in_ for a key that is a Python keyword.
CASES = {k: v.replace('"in_":', '"in":') for k, v in CASES.items()}


def _python_view(path):
    """What trevalon.arch reads, in the dump's form; or ("error", message or None)."""
    try:
        info = read_arch(path)
    except ArchSyntaxError as e:
        # Python shows a byte outside printable ASCII as \xNN; the engine's message holds the byte.
        return "error", re.sub(r"\\x([0-9a-f]{2})",
                               lambda m: bytes([int(m[1], 16)]).decode("utf-8", "replace"), e.message)
    except ArchError:
        return "error", None
    return "arch", {
        "model": info.model_name,
        "max_positions": info.max_positions,
        "inputs": [{"name": i.name, "shape": i.shape, "dtype": i.dtype, "scale": i.scale,
                    "zp": i.zp} for i in info.inputs],
        "outputs": info.output_names,
        "nodes": [{"name": n.name, "op": OP_NAMES.index(canonical_op(n.op)) + 1 if n.known else 0,
                   "inputs": n.inputs, "outputs": n.outputs, "relu": n.relu,
                   "params": n.params} for n in info.nodes],
    }


def _engine_views(paths):
    """dump_arch's line for each path, in order."""
    run = subprocess.run([DUMP_ARCH, *map(str, paths)], capture_output=True, timeout=120)
    assert run.returncode == 0, run.stderr.decode(errors="replace")
    # Names are raw bytes in both readers; the Python one decodes them with replacement.
    lines = run.stdout.decode("utf-8", "replace").splitlines()
    assert len(lines) == len(paths)
    return [json.loads(line) for line in lines]


def _compare(path, engine):
    kind, python = _python_view(path)
    where = path.name
    if "error" in engine:
        assert kind == "error", f"{where}: the engine rejects it ({engine['error']}), trevalon.arch reads it"
        if python is not None:  # a JSON syntax error: the same message
            assert python == engine["error"], where
        return
    assert kind == "arch", f"{where}: trevalon.arch rejects it ({python}), the engine reads it"
    got = engine["arch"]
    for node_view, engine_node in zip(python["nodes"], got["nodes"]):
        reads = engine_node.pop("params")
        built = engine_node.pop("layer")
        engine_params = {}
        for name, _, value in reads:  # a key read twice (checked, then used) must read alike
            assert engine_params.setdefault(name, value) == value, \
                f"{where}: node {engine_node['name']!r} reads {name!r} two ways"
        if built:  # ops this build has no layer for read nothing in the engine
            assert node_view["params"] == engine_params, f"{where}: node {engine_node['name']!r}"
        node_view.pop("params")
    assert python == got, where


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    folder = tmp_path_factory.mktemp("arch_corpus")
    paths = {}
    for name, text in CASES.items():
        paths[name] = folder / f"{name}.json"
        paths[name].write_bytes(text.encode("utf-8"))
    # Bytes that are not UTF-8 in a name: both readers keep the bytes; compared after decoding.
    paths["invalid_utf8"] = folder / "invalid_utf8.json"
    paths["invalid_utf8"].write_bytes(b'{"model": "a\xff\xfeb\xc3", "nodes": []}')
    return paths


def test_hand_written_edge_cases_read_alike(corpus):
    names = list(corpus)
    for name, engine in zip(names, _engine_views([corpus[n] for n in names])):
        _compare(corpus[name], engine)


def test_shipped_models_fuzz_seeds_and_json_suite_read_alike():
    files = sorted([*(ROOT / "python/trevalon/models").glob("*.json"),
                    *(ROOT / "fuzz/corpus/json").glob("*"),
                    *(ROOT / "tests/data/jsontestsuite/test_parsing").glob("*.json")])
    assert len(files) > 300
    for path, engine in zip(files, _engine_views(files)):
        _compare(path, engine)


def test_the_comparison_sees_a_difference(corpus):
    """A reader that differed would be caught: compare one file against another's dump."""
    first, second = _engine_views([corpus["params_values"], corpus["relu_rules"]])
    with pytest.raises(AssertionError):
        _compare(corpus["relu_rules"], first)
    _compare(corpus["relu_rules"], second)
