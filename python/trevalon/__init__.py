"""trevalon: tools around the model_inference engine (weights files, graph building, command line)."""

__version__ = "0.1.0"
