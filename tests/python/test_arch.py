"""The pure-Python architecture reader sees inputs, outputs and nodes as the engine's loader
does."""

import pytest

from trevalon.arch import ArchError, parse_arch, read_arch


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


def test_short_or_missing_shape_arrays_and_object_lists_are_rejected():
    with pytest.raises(ArchError, match="input 'a': 'shape' must be an array"):
        parse_arch({"inputs": [{"name": "a", "shape": [1, 2, 3]}]})
    with pytest.raises(ArchError, match="'nodes' must be an array"):
        parse_arch({"nodes": {"name": "a"}})


@pytest.mark.parametrize("nodes, outputs", [
    # A -> B, nothing consumes B
    ([{"name": "A", "op": "x", "inputs": ["in"], "outputs": ["a"]},
      {"name": "B", "op": "x", "inputs": ["a"], "outputs": ["b"]}], ["b"]),
    # the last node's output is consumed: walk back to the latest unconsumed output
    ([{"name": "A", "op": "x", "inputs": ["b"], "outputs": ["a", "side"]},
      {"name": "B", "op": "x", "inputs": ["a"], "outputs": ["b"]}], ["side"]),
    # everything consumed: the last node's first output
    ([{"name": "A", "op": "x", "inputs": ["b", "c"], "outputs": ["a"]},
      {"name": "B", "op": "x", "inputs": ["a"], "outputs": ["c", "b"]}], ["c"]),
    ([{"name": "A", "op": "x", "inputs": ["b"], "outputs": ["a"]},
      {"name": "B", "op": "x", "inputs": ["a", "b"], "outputs": ["b"]}], ["b"]),
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


def test_read_arch_follows_the_engine_json_leniency_and_strictness(tmp_path):
    path = tmp_path / "a.json"
    path.write_text('  {"model": "m", "nodes": []} trailing text is ignored')
    assert read_arch(path).model_name == "m"
    for text in ['{"model": NaN}', '{"model": "m",}', "", "\xff"]:
        path.write_bytes(text.encode("latin-1"))
        with pytest.raises(ArchError, match=f"{path}: invalid JSON"):
            read_arch(path)
