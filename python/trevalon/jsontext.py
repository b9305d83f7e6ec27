"""The engine's JSON grammar in pure Python, so the tools read an architecture file exactly as the
engine does and can say where a syntax error is: the engine's message plus its line and column.

Departures from standard JSON that the engine makes and this reader keeps: a backslash before any
byte other than n, r, t gives that byte (so "\\u0041" is the five bytes u0041), control bytes in
strings are kept, numbers may have leading zeros, a lone "-" or a trailing "." or "e", literals are
matched on their first letters only ("nullx" is null followed by x), a repeated key keeps its last
value, and whatever follows the root value is ignored. Strings come back as str (UTF-8, invalid
bytes replaced); numbers always as float.
"""

from __future__ import annotations

import re

MAX_DEPTH = 512  # containers the engine accepts around a value
_WHITESPACE = b" \t\n\r"
_DIGITS = frozenset(b"0123456789")
_ESCAPES = {ord("n"): ord("\n"), ord("r"): ord("\r"), ord("t"): ord("\t")}
_DECIMAL = re.compile(rb"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?")


class JsonSyntaxError(ValueError):
    """The engine's message for malformed text, with the byte offset it stopped at."""

    def __init__(self, message: str, offset: int, text: bytes):
        super().__init__(message)
        self.message = message
        self.offset = offset
        self.line, self.column = line_and_column(text, offset)
        self.at_end = offset >= len(text)

    @property
    def position(self) -> str:
        where = f"line {self.line}, column {self.column}"
        return f"{where} (the end of the text)" if self.at_end else where


def line_and_column(text: bytes, offset: int) -> tuple[int, int]:
    """1-based line and column (in characters) of a byte offset."""
    offset = min(offset, len(text))
    line_start = text.rfind(b"\n", 0, offset) + 1
    column = len(text[line_start:offset].decode("utf-8", "replace")) + 1
    return text.count(b"\n", 0, offset) + 1, column


def _char(byte: int | None) -> str:
    # The engine prints the byte with %c into a C string, so a missing byte (code 0) ends the
    # message right after the opening quote.
    if byte is None or byte == 0:
        return ""
    if 0x20 <= byte < 0x7F:
        return f"{chr(byte)}'"
    return f"\\x{byte:02x}'"


class _Reader:
    def __init__(self, text: bytes):
        self.text = text
        self.pos = 0

    def fail(self, message: str, offset: int):
        raise JsonSyntaxError(message, offset, self.text)

    def peek(self) -> int | None:
        return self.text[self.pos] if self.pos < len(self.text) else None

    def skip_ws(self) -> None:
        while self.pos < len(self.text) and self.text[self.pos] in _WHITESPACE:
            self.pos += 1

    def expect(self, want: str) -> None:
        self.skip_ws()
        at, got = self.pos, self.peek()
        self.pos += 1  # consumed whether or not it matches
        if got != ord(want):
            self.fail(f"JSON: expected '{want}', got '{_char(got)}", at)

    def string(self) -> str:
        self.expect('"')
        out = bytearray()
        text, end = self.text, len(self.text)
        while True:
            if self.pos >= end:
                self.fail("JSON: unterminated string", end)
            byte = text[self.pos]
            self.pos += 1
            if byte == ord('"'):
                return out.decode("utf-8", "replace")
            if byte == ord("\\"):
                if self.pos >= end:
                    self.fail("JSON: unterminated string", end)
                byte = _ESCAPES.get(text[self.pos], text[self.pos])
                self.pos += 1
            out.append(byte)

    def number(self) -> float:
        text, end, start = self.text, len(self.text), self.pos
        p = start
        if p < end and text[p] == ord("-"):
            p += 1
        while p < end and text[p] in _DIGITS:
            p += 1
        if p < end and text[p] == ord("."):
            p += 1
            while p < end and text[p] in _DIGITS:
                p += 1
        if p < end and text[p] in b"eE":
            p += 1
            if p < end and text[p] in b"+-":
                p += 1
            while p < end and text[p] in _DIGITS:
                p += 1
        self.pos = p
        # The engine converts with strtod, which can read further (hex, inf); a byte it reads
        # past the scan is then an error in any container, so the decimal prefix is enough.
        match = _DECIMAL.match(text, start, p)
        return float(match.group(0)) if match else 0.0

    def literal(self, word: bytes, value):
        if not self.text.startswith(word, self.pos):
            self.fail(f"JSON: unexpected char '{_char(word[0])}", self.pos)
        self.pos += len(word)
        return value

    def scalar(self, first: int | None):
        if first == ord('"'):
            return self.string()
        if first == ord("t"):
            return self.literal(b"true", True)
        if first == ord("f"):
            return self.literal(b"false", False)
        if first == ord("n"):
            return self.literal(b"null", None)
        if first is not None and (first == ord("-") or first in _DIGITS):
            return self.number()
        self.fail(f"JSON: unexpected char '{_char(first)}", self.pos)

    def value(self):
        """One value; containers are kept on an explicit stack (the engine allows 512 levels)."""
        stack: list = []  # open containers: [container, pending key]
        while True:
            self.skip_ws()
            first = self.peek()
            if first in (ord("{"), ord("[")):
                if len(stack) + 1 > MAX_DEPTH:
                    self.fail("JSON: nesting too deep", self.pos)
                self.pos += 1
                container: dict | list = {} if first == ord("{") else []
                stack.append([container, None])
                self.skip_ws()
                close = "}" if isinstance(container, dict) else "]"
                if self.peek() == ord(close):
                    self.pos += 1
                    item = stack.pop()[0]
                else:
                    if isinstance(container, dict):
                        stack[-1][1] = self.key()
                    continue
            else:
                item = self.scalar(first)
            # Place the finished item and close every container it completes.
            while stack:
                container, key = stack[-1]
                if isinstance(container, dict):
                    container[key] = item
                else:
                    container.append(item)
                self.skip_ws()
                if self.peek() == ord(","):
                    self.pos += 1
                    if isinstance(container, dict):
                        stack[-1][1] = self.key()
                    break
                self.expect("}" if isinstance(container, dict) else "]")
                item = stack.pop()[0]
            else:
                return item

    def key(self) -> str:
        key = self.string()
        self.expect(":")
        return key


def parse(text: bytes):
    """The first JSON value of `text`, read as the engine reads it; JsonSyntaxError otherwise."""
    return _Reader(bytes(text)).value()
