# Two commands matter: `make demo` and `make test`. Both install what they need first.
SHELL := /bin/bash
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

# Debian packages the build, the tests and the demo use.
PACKAGES := build-essential cmake g++ pkg-config libyaml-cpp-dev libgtest-dev libgmock-dev \
            iproute2 util-linux procps curl atftp tftp-hpa rdate python3 man-db groff-base

.PHONY: all deps build asan demo test unit-test asan-test clean install package

all: build

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

$(ASAN_BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTAVO_SANITIZE=ON

asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j$(JOBS)

unit-test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

asan-test: asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

test: unit-test asan-test

demo: build
	python3 tests/support/demo.py --build $(BUILD)

# CMake install; DESTDIR=/some/root stages the tree there instead of the live system.
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)

# The Debian package (tavo_<version>_<arch>.deb) in $(BUILD).
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
