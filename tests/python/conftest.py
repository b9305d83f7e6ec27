"""Shared fixtures: build a model from a trevalon.graph Graph and a dict of weights."""

import pytest

from trevalon import w1x1


@pytest.fixture
def make_model(tmp_path):
    """make_model(graph, weights=None) -> model_inference.InferenceModel built from files in tmp_path."""
    mi = pytest.importorskip("model_inference")
    counter = [0]

    def build(graph, weights=None):
        counter[0] += 1
        arch = tmp_path / f"model{counter[0]}.json"
        bin_path = tmp_path / f"model{counter[0]}.w1x1"
        graph.save(arch)
        w1x1.save(bin_path, weights or {})
        return mi.InferenceModel(str(arch), str(bin_path))

    return build
