"""The exporter's one error type (kept free of torch so it can be caught without it)."""


class ExportError(ValueError):
    """A model, or an export setting, that the engine cannot express; the message is one line."""
