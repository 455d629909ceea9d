# make build : install what is missing (Debian packages), build, install into .venv
# make test  : build, then run every C++ (CTest) and Python (pytest) test
# make demo  : build, then run the main example
# make bench : build, then run the benchmarks
#
# make build BUILD_TYPE=Debug builds with symbols and assertions; later runs
# keep the last BUILD_TYPE given (Release at first). Changing it, or
# SYSTEM_PYTHON, reconfigures the build.

SYSTEM_PYTHON ?= /usr/bin/python3
BUILD_TYPE    ?= $(or $(file <build/stamps/build-type),Release)
VENV          := .venv
PYTHON        := $(VENV)/bin/python
CMAKE_BUILD   := build/cmake
STAMPS        := build/stamps

DEB_PACKAGES := python3-torch libtorch-dev pybind11-dev python3-pybind11 python3-dev \
  python3-numpy python3-onnx python3-torchvision python3-pytest python3-venv python3-pip \
  python3-setuptools python3-wheel python3-sklearn python3-cryptography python3-tqdm \
  python3-matplotlib python3-hypothesis cmake ninja-build g++ googletest libgtest-dev

SOURCES := $(shell find engine bindings python tests/probe -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.js' -o -name '*.pth' -o -name CMakeLists.txt \) 2>/dev/null) \
  CMakeLists.txt setup.py pyproject.toml README.md tools/cmake_build.py
STANDIN_SOURCES := $(shell find standins -type f \( -name '*.py' -o -name '*.toml' \) 2>/dev/null)

ORT_DIR       := build/ort

.PHONY: build test demo bench deps clean FORCE

build: $(STAMPS)/orrery-torch $(STAMPS)/standins

deps: $(STAMPS)/deps

# Debian packages: installed only when one is missing.
$(STAMPS)/deps: Makefile
	@missing=$$(for p in $(DEB_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y --no-install-recommends $$missing; \
	fi
	@mkdir -p $(STAMPS) && touch $@

# Stamps holding a setting, rewritten only when the setting changes, so that
# what depends on them is redone exactly then.
$(STAMPS)/python $(STAMPS)/build-type: FORCE
	@mkdir -p $(STAMPS)
	@value='$(if $(filter %/python,$@),$(SYSTEM_PYTHON),$(BUILD_TYPE))'; \
	  [ "$$(cat $@ 2>/dev/null)" = "$$value" ] || printf '%s' "$$value" > $@

# A virtual environment over the system packages, so it sees Debian's torch.
$(VENV)/bin/python: $(STAMPS)/deps $(STAMPS)/python
	$(SYSTEM_PYTHON) -m venv --clear --system-site-packages $(VENV)
	@touch $@

# tools/cmake_build.py configures when the interpreter or the build type
# differs from what the CMake cache records, then builds.
$(STAMPS)/cmake: $(STAMPS)/build-type $(VENV)/bin/python $(SOURCES)
	ORRERY_BUILD_TYPE=$(BUILD_TYPE) $(PYTHON) tools/cmake_build.py
	@touch $@

# pip without build isolation: there is no PyPI to fetch build requirements from.
$(STAMPS)/orrery-torch: $(STAMPS)/cmake $(VENV)/bin/python
	ORRERY_BUILD_TYPE=$(BUILD_TYPE) $(PYTHON) -m pip install --quiet --no-build-isolation --no-deps --no-index .
	@touch $@

$(STAMPS)/standins: $(STANDIN_SOURCES) $(VENV)/bin/python
	$(PYTHON) -m pip install --quiet --no-build-isolation --no-deps --no-index ./standins
	@touch $@

# ONNX Runtime for Node.js, the independent check of ONNX exports, installed
# with the machine's Node.js and npm. Fetched once from the npm registry (its
# install script would download more: skipped); without node, npm or the
# registry the ONNX Runtime tests skip and say why.
$(STAMPS)/ort: tools/ort/package.json $(STAMPS)/deps
	@mkdir -p $(ORT_DIR) && cp tools/ort/package.json $(ORT_DIR)/
	@command -v npm >/dev/null || echo "warning: npm not found; ONNX Runtime checks will be skipped"
	@command -v npm >/dev/null && cd $(ORT_DIR) && npm install --ignore-scripts --no-audit --no-fund --fetch-retries=1 \
	  --loglevel=error >npm.log 2>&1 \
	  || echo "warning: npm could not install onnxruntime-node (see $(ORT_DIR)/npm.log); ONNX Runtime checks will be skipped"
	@touch $@

test: build $(STAMPS)/ort
	cd $(CMAKE_BUILD) && ctest --output-on-failure --no-tests=error
	$(PYTHON) -m pytest -q tests

demo: build $(STAMPS)/ort
	$(PYTHON) examples/demo.py

bench: build
	@for b in bench/bench_*.py; do echo "== $$b"; $(PYTHON) $$b || exit 1; done

clean:
	rm -rf build $(VENV) *.egg-info standins/*.egg-info standins/build
