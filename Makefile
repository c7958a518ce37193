# Two commands matter: `make demo` and `make test`. Both install what they need first.
SHELL := /bin/bash
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
COVERAGE_BUILD ?= build-cov
SOAK_MINUTES ?= 10
JOBS ?= $(shell nproc)

# Debian packages the build, the tests and the demo use.
PACKAGES := build-essential cmake g++ pkg-config libyaml-cpp-dev libgtest-dev libgmock-dev libcpp-httplib-dev \
            iproute2 util-linux procps curl atftp tftp-hpa rdate python3 python3-prometheus-client man-db groff-base systemd

# Installs those of the Debian packages named in $(1) that are missing.
define install_missing
@missing=""; for p in $(1); do \
  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
done; \
if [ -n "$$missing" ]; then \
  echo "Installing:$$missing"; \
  export DEBIAN_FRONTEND=noninteractive; \
  apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing; \
fi
endef

.PHONY: all deps bench-deps build asan demo test unit-test asan-test clean install package soak tsan bench coverage \
        test-systemd

all: build

deps:
	$(call install_missing,$(PACKAGES))

# The peers the TFTP benchmark compares against. Their package scripts would start them as
# services on the machine; a policy-rc.d that refuses (Debian's own switch) keeps them off.
# tftpd-hpa and atftpd conflict as packages (both ship in.tftpd): tftpd-hpa is installed,
# atftpd is unpacked into the build tree and runs from there (its libraries are installed).
BENCH_PACKAGES := tftpd-hpa libpcre2-8-0 libwrap0 python3-matplotlib
bench-deps: deps
	@missing=""; for p in $(BENCH_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  export DEBIAN_FRONTEND=noninteractive; guard=""; \
	  if [ ! -e /usr/sbin/policy-rc.d ]; then \
	    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d && guard=1; \
	  fi; \
	  apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing; status=$$?; \
	  [ -z "$$guard" ] || rm -f /usr/sbin/policy-rc.d; exit $$status; \
	fi
	@if [ ! -x $(BUILD)/peers/usr/sbin/atftpd ]; then \
	  mkdir -p $(BUILD)/peers && cd $(BUILD)/peers && apt-get download -qq atftpd 2>/dev/null && \
	  dpkg-deb -x atftpd_*.deb . && rm -f atftpd_*.deb; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

$(ASAN_BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTAVO_SANITIZE=ON

asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j$(JOBS)

# ctest runs more tests than there are cores: the end-to-end tests spend most of their time
# waiting for daemons and simulated boards.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) + 1 )))
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

unit-test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(TEST_JOBS)

asan-test: asan
	$(SANITIZER_ENV) ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(TEST_JOBS)

# Both suites. While the normal one runs, the sanitizer tree builds at the lowest priority
# (its log in $(ASAN_BUILD)/build.log): the tests mostly wait, so the compiler takes up the
# idle cores without slowing them down.
test: build $(ASAN_BUILD)/CMakeCache.txt
	@nice -n 19 cmake --build $(ASAN_BUILD) -j$(JOBS) > $(ASAN_BUILD)/build.log 2>&1 & builder=$$!; \
	ctest --test-dir $(BUILD) --output-on-failure -j$(TEST_JOBS); status=$$?; \
	if ! wait $$builder; then tail -40 $(ASAN_BUILD)/build.log; echo "sanitizer build failed"; exit 1; fi; \
	[ $$status -eq 0 ] || exit $$status; \
	echo "Sanitizer build done; its suite:"; \
	$(SANITIZER_ENV) ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(TEST_JOBS)

demo: build
	python3 tests/support/demo.py --build $(BUILD)

# CMake install; DESTDIR=/some/root stages the tree there instead of the live system.
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)

# The Debian package, built the Debian way (debian/, dpkg-buildpackage) from a copy of the tree
# (what git tracks, and new files it does not ignore), so that neither the tree nor its parent
# directory gets build products. In $(BUILD)/deb/: tavo_<version>_<arch>.deb, its -dbgsym
# package, the .changes and .buildinfo, and build.log. lintian must report no error or warning,
# and the package must hold the installation with its unit where debhelper enables it.
PACKAGE_TOOLS := debhelper dpkg-dev fakeroot lintian
DEB_DIR = $(BUILD)/deb
package: deps
	$(call install_missing,$(PACKAGE_TOOLS))
	rm -rf $(DEB_DIR) && mkdir -p $(DEB_DIR)/source
	@if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then \
	  git ls-files -z --cached --others --exclude-standard; \
	else \
	  find . -path './build*' -prune -o -path ./.git -prune -o -type f -print0; \
	fi | tar --null --no-recursion --ignore-failed-read -T - -cf - | tar -xf - -C $(DEB_DIR)/source
	@echo "dpkg-buildpackage -b in $(DEB_DIR)/source, log in $(DEB_DIR)/build.log"
	@cd $(DEB_DIR)/source && dpkg-buildpackage -b -us -uc -j$(JOBS) > ../build.log 2>&1 || \
	  { tail -40 ../build.log; echo "Package build failed: $(DEB_DIR)/build.log"; exit 1; }
	rm -rf $(DEB_DIR)/source
	lintian --display-info --fail-on error,warning $(DEB_DIR)/*.changes
	python3 tests/packaging/test_install.py --build $(BUILD) --source . \
	  Package.test_deb_holds_the_installation_and_starts_its_unit
	@ls -1 $(DEB_DIR)/*.deb

# The package under a real systemd: Debian 12 booted in a container (systemd-nspawn), the
# package installed there, a board booted against the service, restart, stop, a broken
# configuration, remove and purge. Not part of `make test`: the first run debootstraps the
# container's tree into $(BUILD)/systemd-root from the network. The package is built again
# only when the files it is built from (those `make package` copies) have changed.
SYSTEMD_TEST_PACKAGES := debootstrap systemd-container
test-systemd: deps $(BUILD)/CMakeCache.txt
	$(call install_missing,$(SYSTEMD_TEST_PACKAGES))
	@sources=$$(git ls-files -z --cached --others --exclude-standard 2>/dev/null | xargs -0 -r sha256sum 2>/dev/null | sha256sum); \
	if git rev-parse --is-inside-work-tree >/dev/null 2>&1 && ls $(DEB_DIR)/tavo_*.deb >/dev/null 2>&1 && \
	   [ "$$sources" = "$$(cat $(DEB_DIR)/sources.sha256 2>/dev/null)" ]; then \
	  echo "Package up to date: $$(ls $(DEB_DIR)/tavo_*.deb)"; \
	else \
	  $(MAKE) package && echo "$$sources" > $(DEB_DIR)/sources.sha256; \
	fi
	ctest --test-dir $(BUILD) -C systemd -L systemd --output-on-failure

# The daemon for SOAK_MINUTES under 64 looping boards, a BOOTP storm, address changes, reloads
# and a cut board link; fails on a crash, a leak trend or a wrong byte. Not part of `make test`.
soak: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) --target tavo -j$(JOBS)
	python3 bench/soak.py --tavo $(BUILD)/tavo --minutes $(SOAK_MINUTES)

# The whole suite under ThreadSanitizer. Reports go to files, so that a detached daemon's
# races are not lost with its standard error; any report fails the run.
TSAN_REPORTS = $(abspath $(TSAN_BUILD))/tsan-reports
$(TSAN_BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVO_TSAN=ON

tsan: deps $(TSAN_BUILD)/CMakeCache.txt
	cmake --build $(TSAN_BUILD) -j$(JOBS)
	rm -rf $(TSAN_REPORTS) && mkdir -p $(TSAN_REPORTS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 log_path=$(TSAN_REPORTS)/race \
	  suppressions=$(abspath tests/support/tsan.supp)" \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -j$(JOBS); status=$$?; \
	if [ -n "$$(ls -A $(TSAN_REPORTS))" ]; then \
	  cat $(TSAN_REPORTS)/*; echo "ThreadSanitizer reports in $(TSAN_REPORTS)"; exit 1; \
	fi; exit $$status

# Product line and branch coverage of the whole suite (the real daemon's runs included: it
# writes its counts when it exits). gcovr reads them; only Basekit/, Tools/ and tools/ count.
# The counters are updated atomically: threads racing on them left negative branch counts.
$(COVERAGE_BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(COVERAGE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic" \
	  -DCMAKE_EXE_LINKER_FLAGS=--coverage

coverage: deps $(COVERAGE_BUILD)/CMakeCache.txt
	@dpkg-query -W -f='$${Status}' gcovr 2>/dev/null | grep -q 'install ok installed' || \
	  { export DEBIAN_FRONTEND=noninteractive; apt-get update -qq && apt-get install -y -qq --no-install-recommends gcovr; }
	cmake --build $(COVERAGE_BUILD) -j$(JOBS)
	find $(COVERAGE_BUILD) -name '*.gcda' -delete
	-ctest --test-dir $(COVERAGE_BUILD) -j$(JOBS)
	gcovr -r . $(COVERAGE_BUILD) --filter '(Basekit|Tools|tools)/' --exclude-throw-branches \
	  --exclude-unreachable-branches --gcov-ignore-parse-errors --print-summary -o $(COVERAGE_BUILD)/coverage.txt

# Figures, no assertions: TFTP against tftpd-hpa and atftpd, a BOOTP storm, logging lines/s,
# CPU per refused TFTP request, CPU and wake-ups of the idle daemon, a rack of 200 boards
# powered on at once.
# The benchmark programs are not part of the default build.
BENCH_TARGETS := BootpStormBench log_bench tavo_tftp_bench_host tavo_udp_round_trip
bench: bench-deps build
	cmake --build $(BUILD) -j$(JOBS) --target $(BENCH_TARGETS)
	bench/tftp_side_by_side.sh $(BUILD)
	tests/support/sandbox_run $(BUILD)/BootpStormBench
	tests/support/sandbox_run $(BUILD)/log_bench 100000
	bench/tftp_refused_cpu.sh $(BUILD)/tavo
	bench/idle_cpu.sh $(BUILD)/tavo
	bench/rack_power_on.py --tavo $(BUILD)/tavo --json $(BUILD)/rack_timeline.json --svg $(BUILD)/rack-timeline.svg

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(COVERAGE_BUILD)
