"""The pure-Python architecture reader sees inputs, outputs and nodes as the engine's loader
does, reads the JSON with the engine's grammar, and points out what a hand-written file gets
wrong."""

import pathlib

import pytest

from trevalon import jsontext
from trevalon.arch import ArchError, ArchSyntaxError, parse_arch, read_arch


def shape_of(element):
    return parse_arch({"inputs": [element]}).inputs[0].shape


@pytest.mark.parametrize("element, shape", [
    ({"shape": [1, 224, 224, 3]}, [224, 224, 3]),
    ({"shape": [1, 1, 1, 80]}, [80]),
    ({"shape": [1, 80, 1, 4]}, [80, 4]),
    ({"shape": [1, 1, 0, 80]}, [1, 0, 80]),
    ({"shape": [7, 2.9, -3.7, 5, 99]}, [2, -3, 5]),  # N and extra entries ignored, truncation
    ({"shape": [1, "2", True, 5]}, [0, 0, 5]),       # wrong types read as 0
    ({"h": 32, "w": 32, "c": 3}, [32, 32, 3]),
    ({"c": 10}, [10]),
    ({"h": 4e10, "c": 2}, [2**31 - 1, 2]),            # saturates to int32
    ("not an object", [1]),
])
def test_input_shape_rule(element, shape):
    assert shape_of(element) == shape


def test_input_defaults_and_the_single_input_form():
    default = parse_arch({"nodes": []}).inputs
    assert [(i.name, i.shape, i.scale, i.zp, i.dtype) for i in default] == \
        [("x", [], 1.0, 0, "int8")]
    assert parse_arch([1, 2]).inputs[0].name == "x"  # a root that is not an object

    single = parse_arch({"input": {"h": 32, "w": 32, "c": 3, "name": "img", "shape": [1, 2, 2, 2],
                                   "zp": 5.9, "scale": 0.25}}).inputs
    assert [(i.name, i.shape, i.zp, i.scale) for i in single] == [("x", [32, 32, 3], 5, 0.25)]
    # An empty "inputs" array counts as absent.
    assert parse_arch({"inputs": [], "input": {"c": 3}}).inputs[0].shape == [3]


def test_short_shape_arrays_and_lists_that_are_not_arrays_are_rejected():
    with pytest.raises(ArchError, match="input 'a': 'shape' must be an array"):
        parse_arch({"inputs": [{"name": "a", "shape": [1, 2, 3]}]})
    for root in ({"nodes": {"name": "a"}}, {"outputs": "logits"}, {"inputs": None}):
        key = next(iter(root))
        with pytest.raises(ArchError, match=f'architecture: "{key}" must be an array'):
            parse_arch(root)


def node(name, inputs, outputs):
    return {"name": name, "op": "x", "inputs": inputs, "outputs": outputs}


@pytest.mark.parametrize("nodes, outputs", [
    # A -> B, nothing consumes B
    ([node("A", ["in"], ["a"]), node("B", ["a"], ["b"])], ["b"]),
    # only a first output gets a slot: L's unconsumed second output is passed over, and the walk
    # goes back to the latest node whose first output nobody consumes
    ([node("M", ["in"], ["m"]), node("L", ["in", "y"], ["y", "extra"])], ["m"]),
    ([node("A", ["in"], ["a", "s"]), node("B", ["a"], ["b", "t"])], ["b"]),
    # every first output consumed (a cycle): the last node's first output, if it has one
    ([node("A", ["b"], ["a", "side"]), node("B", ["a"], ["b"])], ["b"]),
    ([node("A", ["b", "c"], ["a"]), node("B", ["a"], ["c", "b"])], ["c"]),
    ([node("A", ["in"], ["a"]), node("B", ["a"], [])], []),
    ([], []),
])
def test_derived_outputs(nodes, outputs):
    info = parse_arch({"outputs": ["plain strings are skipped", {"nam": "x"}], "nodes": nodes})
    assert info.output_names == outputs
    assert info.outputs_derived == bool(outputs)


def test_node_inputs_and_outputs_in_both_spellings():
    info = parse_arch({"outputs": [{"name": "o"}], "nodes": [
        {"name": "a", "op": "conv", "in": "p", "in3": "r", "out": "q"},
        {"name": "b", "op": "conv", "in2": "s"},
        {"name": "c", "op": "conv", "inputs": ["p", 5], "in": "ignored", "outputs": ["t"]},
    ]})
    assert [(n.inputs, n.outputs) for n in info.nodes] == \
        [(["p", "r"], ["q"]), ([], []), (["p", ""], ["t"])]
    assert info.output_names == ["o"] and not info.outputs_derived
    assert [n.known for n in parse_arch({"nodes": [{"name": "r", "op": "relu_fp32"},
                                                   {"name": "g", "op": "gemm"}]}).nodes] == \
        [False, True]


@pytest.mark.parametrize("node, message", [
    ({"op": "conv"}, "node 0 has no 'name'"),
    ({"name": "a"}, "node 0 has no 'op'"),
    ("conv", "node 0 is not an object"),
])
def test_nodes_without_name_or_op(node, message):
    with pytest.raises(ArchError, match=message):
        parse_arch({"nodes": [node]})


@pytest.mark.parametrize("text, message, line, column", [
    ('{"model": "m", "nodes": [\n  {"name": "a", "op": "conv"},\n]}',
     "JSON: unexpected char ']'", 3, 1),
    ('{\n  "a": 1,\n}', "JSON: expected '\"', got '}'", 3, 1),
    ('[1.5.3]', "JSON: expected ']', got '.'", 1, 5),
    ('[0x10]', "JSON: expected ']', got 'x'", 1, 3),
    ('{"a": "é" "b": 1}', "JSON: expected '}', got '\"'", 1, 11),  # columns count characters
    ('{"a": [1, 2', "JSON: expected ']', got '", 1, 12),                # the end: code 0
    ('  \n ', "JSON: unexpected char '", 2, 2),
    ('{"a": "open', "JSON: unterminated string", 1, 12),
    ('{"a": +5}', "JSON: unexpected char '+'", 1, 7),
    ('{"a": tru}', "JSON: unexpected char 't'", 1, 7),
    ("[" * 513 + "]" * 513, "JSON: nesting too deep", 1, 513),
])
def test_syntax_errors_carry_the_engine_message_and_the_position(tmp_path, text, message, line,
                                                                 column):
    path = tmp_path / "a.json"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(ArchSyntaxError) as info:
        read_arch(path)
    error = info.value
    assert (error.message, error.line, error.column) == (message, line, column)
    assert str(error).startswith(f"{path}, line {line}, column {column}")
    assert str(error).endswith(f": {message}")


def test_the_engine_grammar_where_it_departs_from_standard_json(tmp_path):
    parse = jsontext.parse
    assert parse(b'{"a": 1, "a": 2}') == {"a": 2.0}
    assert parse(b'"x\\ty\\u0041\\q\n"') == "x\tyu0041q\n"  # unknown escapes give the byte
    assert parse(b"[007, -, 1., -.5, 2e, 1E+2]") == [7.0, 0.0, 1.0, -0.5, 2.0, 100.0]
    assert parse(b"true false") is True and parse(b"nullx") is None
    assert parse(b"[" * 512 + b"]" * 512) is not None
    path = tmp_path / "a.json"
    path.write_text('  {"model": "m", "nodes": []} trailing text is ignored')
    assert read_arch(path).model_name == "m"


def test_what_the_loader_ignores_is_pointed_out():
    info = parse_arch({"model": "m", "node": [], "Outputs": [], "output": [{"name": "y"}],
                       "imput": {}, "colour": "red"})
    assert info.warnings == [
        "unknown top-level key 'node' is ignored (did you mean 'nodes'?)",
        "unknown top-level key 'Outputs' is ignored (did you mean 'outputs'?)",
        "unknown top-level key 'output' is ignored (did you mean 'outputs'?)",
        "unknown top-level key 'imput' is ignored (did you mean 'input'?)",
        "unknown top-level key 'colour' is ignored",
    ]
    listed = parse_arch({"input": [{"name": "a", "c": 3}], "outputs": ["y", {"name": "z"}]})
    assert listed.inputs[0].shape == [1]  # read as the loader does, and pointed out
    assert listed.warnings == [
        "'input' is an array, but the loader reads 'input' as one object with h, w and c; "
        "a list of inputs belongs in 'inputs'",
        "'outputs' entry 0 is skipped: it is not an object with a 'name' (write {\"name\": ...})"]
    both = parse_arch({"inputs": [{"name": "a"}], "input": {"c": 3}})
    assert both.warnings == ["'input' is ignored because 'inputs' is given"]
    assert parse_arch({"model": "m", "inputs": [], "outputs": [], "nodes": []}).warnings == []


def test_recorded_output_quantisation_and_unknown_ops_by_node():
    info = parse_arch({"outputs": [{"name": "f", "scale": 0.5, "zp": -3.7}, {"name": "g"},
                                   {"name": "h", "scale": 0.25}],
                       "nodes": [node("a", [], ["f"]) | {"op": "relu"},
                                 node("b", [], ["g"]) | {"op": "conv"},
                                 node("c", [], ["h"]) | {"op": "relu"},
                                 node("d", [], ["i"]) | {"op": "Conv"}]})
    assert info.output_quant == {"f": (0.5, -3), "h": (0.25, 0)}
    assert info.unknown_ops() == {"relu": ["a", "c"], "Conv": ["d"]}


def test_relu_flag_and_layer_parameters_as_the_loader_reads_them():
    nodes = parse_arch({"nodes": [
        {"name": "a", "op": "conv", "relu": True, "args": {"alpha": 0.1}},
        {"name": "b", "op": "conv", "relu": 1, "kH": 1e400, "args": {"kW": 3, "kH": 5}},
        {"name": "c", "op": "leaky_relu_fp32", "args": {"alpha": 0.01, "relu": True}},
        {"name": "d", "op": "gelu_fp32", "alpha": 0.5, "relu": 0.5},
        {"name": "e", "op": "add_int8", "in1_scale": 1e39, "out_zp": -1e400, "in2_zp": "3"},
        {"name": "f", "op": "conv", "relu": 2},
    ]}).nodes
    # a node-level "relu" counts only without "args"; one inside "args" always does
    assert [n.relu for n in nodes] == [False, False, True, False, False, True]
    b = nodes[1].params
    assert (b["kH"], b["kW"], b["C_out"], b["groups"]) == (2**31 - 1, 3, 0, 1)  # direct wins
    assert nodes[2].params == {"alpha": pytest.approx(0.01, rel=1e-7)} and nodes[3].params == {}
    assert nodes[2].params["alpha"] != 0.01  # kept as the nearest float32, as the engine keeps it
    e = nodes[4].params
    assert (e["in1_scale"], e["out_zp"], e["in2_zp"], e["out_scale"]) == (float("inf"), -2**31, 0, 1.0)
