# Everything runs from the project's own venv; a fresh clone needs only `make demo` / `make test`.
SHELL       := /bin/bash
PYTHON3     ?= python3
VENV        := .venv
PY          := $(VENV)/bin/python
ROOT        := $(abspath .)
PLUGIN_DIR  := build/plugin/Tavelin
# The weight file names come from the host's contract module (it imports nothing).
MODELS      := $(addprefix $(PLUGIN_DIR)/models/,$(shell $(PYTHON3) host/tavelin_host/contract.py))
# A Python 3.10 for the host-interpreter build: python3.10 on PATH, else a pyenv one;
# give another with `make PY310=/path/to/python3.10`.
ifndef PY310
PY310 := $(shell for p in python3.10 $$HOME/.pyenv/versions/3.10.*/bin/python3; do \
  "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 10)' 2>/dev/null && { command -v "$$p"; break; }; done)
endif
VENV310     := .venv310
SOURCES     := $(wildcard plugin/Tavelin/*/*.cpp plugin/Tavelin/*/*.hpp plugin/Tavelin/CMakeLists.txt) CMakeLists.txt
CONVERTER   := $(wildcard models/*.py) $(wildcard models/selfie_segmentation/*.tflite) $(wildcard models/pose/*.tflite)
PYTEST_ARGS ?=

.PHONY: all venv build plugin plugin310 models browser test-wheel test test-cpp test-cpp-asan test-py test-py310 demo bench bundle soak test-asan clean

all: plugin models

venv: $(VENV)/.deps

$(VENV)/.deps: requirements.txt requirements-test.txt
	test -x $(PY) || $(PYTHON3) -m venv $(VENV)
	$(PY) -m pip install -q -r requirements.txt -r requirements-test.txt
	@# The project's own code runs from the source tree: the built plug-in directory, host/,
	@# and the checkout itself (testkit, shared by the tests and the benchmarks).
	echo "$(ROOT)/$(PLUGIN_DIR)" >  $$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/tavelin-dev.pth
	echo "$(ROOT)/host"          >> $$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/tavelin-dev.pth
	echo "$(ROOT)"               >> $$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/tavelin-dev.pth
	printf '#!%s\nimport sys\nfrom tavelin_host.cli import main\nif __name__ == "__main__":\n    sys.exit(main())\n' "$(ROOT)/$(PY)" > $(VENV)/bin/tavelin
	chmod +x $(VENV)/bin/tavelin
	touch $@

# The plug-in directory: the extension module, then models/ beside it.
build plugin: $(VENV)/.deps
	cmake -S . -B build/cmake -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(ROOT)/$(PY) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) \
	  -DTAVELIN_OUTPUT_DIR=$(ROOT)/$(PLUGIN_DIR) >/dev/null
	cmake --build build/cmake

models: $(MODELS)

$(MODELS) &: $(CONVERTER) | $(VENV)/.deps
	$(PY) -m models.convert --out $(PLUGIN_DIR)/models

test: plugin models test-cpp test-cpp-asan test-py310 test-py

test-cpp: plugin
	cd build/cmake && ctest --output-on-failure

# The C++ unit tests again under AddressSanitizer and UBSan (seconds): a pixel
# pass that reads a word past a row's end fails here.
test-cpp-asan: $(VENV)/.deps
	cmake -S . -B build/cpp-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVELIN_SANITIZE=ON \
	  -DPython_EXECUTABLE=$(ROOT)/$(PY) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null
	cmake --build build/cpp-asan --target test_pixels
	cd build/cpp-asan && ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure

test-py: plugin models browser
	$(PY) -m pytest tests $(PYTEST_ARGS)

# The wheel built, installed into a fresh venv, run and uninstalled (minutes: not part of `make test`).
test-wheel: $(VENV)/.deps
	TAVELIN_WHEEL_TEST=1 $(PY) -m pytest tests/test_wheel.py

# The server's page is tested in Debian's Chromium; where it cannot be installed that test is skipped.
browser:
	@command -v chromedriver >/dev/null || { [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null && \
	  { apt-get install -y -q --no-install-recommends chromium chromium-driver >/dev/null 2>&1 || \
	    { apt-get update -q >/dev/null 2>&1 && apt-get install -y -q --no-install-recommends chromium chromium-driver >/dev/null 2>&1; }; }; } || \
	  echo "note: chromium and chromium-driver could not be installed: the browser test is skipped"

# The host's interpreter is Python 3.10: build the module there too and run what needs no torch.
PLUGIN310_DIR := build/plugin310/Tavelin

$(VENV310)/.deps: requirements-py310.txt
	test -x $(VENV310)/bin/python || $(PY310) -m venv $(VENV310)
	$(VENV310)/bin/python -m pip install -q -r requirements-py310.txt
	touch $@

plugin310:
	@if [ -x "$(PY310)" ]; then \
	  set -e; \
	  $(MAKE) --no-print-directory $(VENV310)/.deps; \
	  $(VENV310)/bin/cmake -S . -B build/cmake310 -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DPython_EXECUTABLE=$(ROOT)/$(VENV310)/bin/python \
	    -Dpybind11_DIR=$$($(VENV310)/bin/python -m pybind11 --cmakedir) \
	    -DTAVELIN_OUTPUT_DIR=$(ROOT)/$(PLUGIN310_DIR) >/dev/null; \
	  $(VENV310)/bin/cmake --build build/cmake310; \
	else echo "No Python 3.10 found (give one with make PY310=/path/to/python3.10): skipping the 3.10 build"; fi

test-py310: plugin310 models
	@if [ -x "$(PY310)" ]; then \
	  set -e; \
	  PYTHONPATH=$(ROOT)/$(PLUGIN310_DIR):$(ROOT)/host $(VENV310)/bin/python -m pytest -q -p no:cacheprovider \
	    tests/test_module.py tests/test_params.py tests/test_methods.py; \
	  ln -sfn $(ROOT)/$(PLUGIN_DIR)/models $(PLUGIN310_DIR)/models; \
	  PYTHONPATH=$(ROOT)/testkit/doubles $(VENV310)/bin/python testkit/check_bundle.py $(PLUGIN310_DIR); \
	fi

# The plug-in directory as a host expects it: the module for every supported
# CPython side by side, models/, the weights' NOTICE and licence, README.txt.
# Each module is then imported and run by its own interpreter; 3.10 has no
# torch build here and runs on the test double in testkit/doubles.
bundle: plugin models plugin310
	rm -rf dist/Tavelin
	mkdir -p dist/Tavelin/models
	cp $(PLUGIN_DIR)/Tavelin*.so dist/Tavelin/
	if [ -d $(PLUGIN310_DIR) ]; then cp $(PLUGIN310_DIR)/Tavelin*.so dist/Tavelin/; fi
	cp $(MODELS) dist/Tavelin/models/
	cat models/*/NOTICE > dist/Tavelin/NOTICE
	cp $$(ls models/*/LICENSE | head -n 1) dist/Tavelin/LICENSE
	$(PY) testkit/bundle_platform.py plugin/bundle/README.txt dist/Tavelin/README.txt dist/Tavelin/Tavelin*.so
	$(PY) testkit/check_bundle.py dist/Tavelin
	if [ -d $(PLUGIN310_DIR) ]; then PYTHONPATH=$(ROOT)/testkit/doubles $(VENV310)/bin/python testkit/check_bundle.py dist/Tavelin; fi
	$(VENV)/bin/tavelin examples/astronaut.png -o build/bundle-check --overwrite --quiet --plugin-dir dist/Tavelin
	@find dist/Tavelin -type f | sort

# The main job: matte the sample photo into out/ (cut-out + preview, matte, and a
# decontaminated cut-out with its preview over a contrasting background).
demo: plugin models
	$(VENV)/bin/tavelin examples/astronaut.png -o out --preview --overwrite --plugin-dir $(PLUGIN_DIR)
	$(VENV)/bin/tavelin examples/astronaut.png -o out --output matte --overwrite --plugin-dir $(PLUGIN_DIR)
	$(VENV)/bin/tavelin examples/astronaut.png -o out/decontaminated --decontaminate --preview --overwrite \
	  --plugin-dir $(PLUGIN_DIR)
	$(VENV)/bin/tavelin examples/people/pexels_skatepark_small.jpg -o out --preview --overwrite --plugin-dir $(PLUGIN_DIR)
	$(VENV)/bin/tavelin examples/people/pexels_skatepark_small.jpg -o out --output matte --overwrite --plugin-dir $(PLUGIN_DIR)
	@ls -1 out/astronaut.* out/decontaminated/astronaut.* out/pexels_skatepark_small.*

bench: plugin models
	$(PY) bench/bench_render.py
	$(PY) bench/bench_network.py
	$(PY) bench/bench_decontaminate.py
	$(PY) bench/bench_alpha_matting.py
	$(PY) bench/bench_people.py
	$(PY) bench/bench_load.py
	$(PY) bench/bench_cli.py
	$(PY) bench/bench_video.py
	$(PY) bench/bench_serve.py
	$(PY) bench/bench_cluster.py

soak: plugin
	$(PY) bench/soak.py

# The module and its C++ tests built with AddressSanitizer and UBSan, then the
# whole Python suite under them (the sanitizer runtime preloaded into Python).
ASAN_LIB = $$(g++ -print-file-name=libasan.so)
UBSAN_LIB = $$(g++ -print-file-name=libubsan.so)
test-asan: $(VENV)/.deps models
	cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVELIN_SANITIZE=ON \
	  -DPython_EXECUTABLE=$(ROOT)/$(PY) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) \
	  -DTAVELIN_OUTPUT_DIR=$(ROOT)/build/plugin-asan/Tavelin >/dev/null
	cmake --build build/asan
	ln -sfn $(ROOT)/$(PLUGIN_DIR)/models build/plugin-asan/Tavelin/models
	cd build/asan && ctest --output-on-failure
	rm -rf build/asan/lsan && mkdir -p build/asan/lsan
	LD_PRELOAD="$(ASAN_LIB) $(UBSAN_LIB)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_odr_violation=0:malloc_context_size=40 \
	  LSAN_OPTIONS=exitcode=0:log_path=$(ROOT)/build/asan/lsan/log \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  TAVELIN_SANITIZED=1 TAVELIN_TEST_PLUGIN_DIR=$(ROOT)/build/plugin-asan/Tavelin PYTHONPATH=$(ROOT)/build/plugin-asan/Tavelin \
	  $(PY) -m pytest tests -q -p no:cacheprovider $(PYTEST_ARGS)
	$(PY) tests/sanitizers/check_lsan.py build/asan/lsan

clean:
	rm -rf build dist out
