"""Export PyTorch image classifiers to the engine's architecture and weights files, in float32 or
int8 (post-training quantisation), and transformer encoders of the `transformers` package
(`export_transformer`), and the text-to-speech network of `trevalon.export.speech_nets`
(`export_speech`). torch is optional: it is imported only when a model is exported or a
reference network (`trevalon.export.nets`, `trevalon.export.speech_nets`) is built."""

from .api import ExportInfo, engine_input, export_model, quantize_input
from .errors import ExportError
from .speech import SpeechExportInfo, export_speech
from .transformers_models import export_transformer

__all__ = ["ExportError", "ExportInfo", "SpeechExportInfo", "engine_input", "export_model",
           "export_speech", "export_transformer", "quantize_input"]
