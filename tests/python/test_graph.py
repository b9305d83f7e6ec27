"""Graph builder: the files it writes, read back with the loader's rules; and its refusals."""

import json

import numpy as np
import pytest

from trevalon.arch import ALIASES, OP_NAMES, parse_arch, read_arch
from trevalon.graph import Graph


@pytest.mark.parametrize("dims, written", [
    ((80,), [1, 1, 1, 80]),
    ((80, 4), [1, 80, 1, 4]),
    ((224, 224, 3), [1, 224, 224, 3]),
    ((1, 7, 3), [1, 1, 7, 3]),
    ((0, 80), [1, 0, 1, 80]),      # variable sequence length
    ((1, 0, 80), [1, 1, 0, 80]),   # variable width
    ((0,), [1, 1, 1, 0]),
])
def test_input_shape_is_written_so_the_loader_reads_the_same_dims(dims, written):
    g = Graph("m")
    g.input("a", dims, dtype="int8", scale=0.5, zp=-3)
    root = g.to_dict()
    assert root["inputs"] == [{"name": "a", "shape": written, "dtype": "int8", "scale": 0.5,
                               "zp": -3}]
    input_spec = parse_arch(root).inputs[0]
    assert (input_spec.name, input_spec.shape, input_spec.dtype, input_spec.scale, input_spec.zp) == \
        ("a", list(dims), "int8", 0.5, -3)


@pytest.mark.parametrize("dims, message", [
    ((1, 5), r"read back as \(5,\)"),
    ((4, 1, 3), r"read back as \(4, 3\)"),
    ((1, 1, 3), r"read back as \(3,\)"),
    ((), "1 to 3"),
    ((1, 2, 3, 4), "1 to 3"),
    ((-1, 3), "non-negative"),
])
def test_input_shapes_the_loader_would_misread_are_rejected(dims, message):
    with pytest.raises(ValueError, match=message):
        Graph("m").input("a", dims)


def test_input_rejects_bad_dtype_scale_and_duplicates():
    g = Graph("m")
    g.input("a", (3,))
    for kwargs, message in [({"name": "a"}, "already exists"),
                            ({"name": "b", "dtype": "float16"}, "dtype"),
                            ({"name": "c", "scale": float("nan")}, "finite")]:
        with pytest.raises(ValueError, match=message):
            g.input(shape=(3,), **kwargs)


def test_nodes_carry_params_as_members_and_return_their_outputs():
    g = Graph("tiny")
    x = g.input("x", (8, 8, 3))
    y = g.node("conv_fp32", "conv1", inputs=[x], relu=True, C_out=4, C_in=3, kH=3, kW=3,
               pad_h=np.int64(1), eps=np.float32(0.5), sizes=(1, 2))
    assert y == "conv1"
    a, b = g.node("slice_channels_fp32", "split", inputs=y, outputs=["lo", "hi"], ch_end=2)
    z = g.node("add_fp32", "sum", inputs=[a, b])
    g.output(z)
    g.output(a)

    root = g.to_dict()
    assert root["outputs"] == [{"name": "sum"}, {"name": "lo"}]
    conv, split, add = root["nodes"]
    assert conv == {"name": "conv1", "op": "conv_fp32", "inputs": ["x"], "outputs": ["conv1"],
                    "relu": True, "C_out": 4, "C_in": 3, "kH": 3, "kW": 3, "pad_h": 1,
                    "eps": 0.5, "sizes": [1, 2]}
    assert type(conv["pad_h"]) is int
    assert "relu" not in split and split["outputs"] == ["lo", "hi"]
    assert add["inputs"] == ["lo", "hi"]


def test_saved_file_reads_back_like_the_engine_reads_it(tmp_path):
    g = Graph("m\u00e9")
    x = g.input("x", (16,))
    g.node("gemm_fp32", "fc1", inputs=[x], C_out=4, C_in=16)
    g.save(tmp_path / "m.json")
    text = (tmp_path / "m.json").read_text(encoding="utf-8")
    assert json.loads(text) == g.to_dict()
    # The engine's reader has no \u escapes, so non-ASCII text must be written as UTF-8.
    assert "m\u00e9" in text and "\\u" not in text

    info = read_arch(tmp_path / "m.json")
    assert info.model_name == "m\u00e9"
    assert [(n.name, n.op, n.inputs, n.outputs) for n in info.nodes] == \
        [("fc1", "gemm_fp32", ["x"], ["fc1"])]
    assert info.output_names == ["fc1"] and info.outputs_derived  # none declared


def test_an_int8_output_records_its_scale_and_zero_point(tmp_path):
    g = Graph("q")
    x = g.input("x", (4,), dtype="int8")
    y = g.node("add_int8", "sum", inputs=[x, x])
    g.output(x)
    g.output(y, scale=0.125, zp=-7)
    assert g.to_dict()["outputs"] == [{"name": "x"}, {"name": "sum", "scale": 0.125, "zp": -7}]
    g.save(tmp_path / "q.json")
    assert read_arch(tmp_path / "q.json").output_quant == {"sum": (0.125, -7)}
    for scale in (0.0, -1.0, float("nan")):
        with pytest.raises(ValueError, match="scale must be positive and finite"):
            g.output(y, scale=scale)


def test_every_engine_op_and_alias_is_accepted_and_unknown_ops_need_a_flag():
    g = Graph("m")
    g.input("x", (4,))
    for op in OP_NAMES + tuple(ALIASES):
        g.node(op, f"n_{op}", inputs=["x"])
    assert len(OP_NAMES) == 48 and len(set(OP_NAMES)) == 48
    with pytest.raises(ValueError, match="unknown op 'relu_fp32'"):
        g.node("relu_fp32", "r", inputs=["x"])
    with pytest.raises(ValueError, match="unknown op 'Conv_fp32'"):  # names are case-sensitive
        g.node("Conv_fp32", "r", inputs=["x"])
    assert g.node("relu_fp32", "r", inputs=["x"], allow_unknown=True) == "r"


@pytest.mark.parametrize("call, message", [
    (lambda g: g.node("add_fp32", "a", inputs=["x"]), "node 'a': a node of that name"),
    (lambda g: g.node("add_fp32", "b", inputs=["x", "nowhere"]), r"\['nowhere'\] are produced"),
    (lambda g: g.node("add_fp32", "c", inputs=["x"], outputs=["a"]), "'a' is already produced"),
    (lambda g: g.node("add_fp32", "d", inputs=["x"], outputs=["x"]), "'x' is already produced"),
    (lambda g: g.node("add_fp32", "e", inputs=["x"], outputs=["p", "p"]), "repeat"),
    (lambda g: g.node("add_fp32", "f", inputs=["x"], args={"relu": True}), "'args' cannot"),
    (lambda g: g.node("add_fp32", "g", inputs=["x"], alpha=float("inf")), "not a JSON value"),
    (lambda g: g.node("add_fp32", "h", inputs=["x"], cb=print), "not a JSON value"),
    (lambda g: g.node("add_fp32", "i\n", inputs=["x"]), "control character"),
    (lambda g: g.output("nowhere"), "produced by no node"),
    (lambda g: (g.output("a"), g.output("a")), "already declared"),
])
def test_builder_refuses_graphs_the_engine_would_misread(call, message):
    g = Graph("m")
    g.input("x", (4,))
    g.node("add_fp32", "a", inputs=["x"])
    with pytest.raises(ValueError, match=message):
        call(g)


def test_undefined_inputs_can_be_allowed_for_tests_of_broken_graphs():
    g = Graph("m")
    out = g.node("add_fp32", "a", inputs=["ghost"], allow_undefined_inputs=True)
    assert g.to_dict()["nodes"][0]["inputs"] == ["ghost"] and out == "a"

