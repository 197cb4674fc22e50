# Top-level entry points.  Build trees live under build/ (ignored by git).
SHELL      := /bin/bash
JOBS       ?= $(shell nproc)
BUILD      ?= build/plain
ASAN_BUILD ?= build/asan
TSAN_BUILD ?= build/tsan
FUZZ_SECONDS ?= 15
CMAKE_GEN  := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
CCACHE     := $(shell command -v ccache >/dev/null 2>&1 && echo "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache")
# ccache hits across clones: paths under the tree are hashed relative to it, and
# the working directory is left out of the hash (debug info then names the first
# clone's directory, which only a debugger minds).
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
CTEST      := ctest --output-on-failure --timeout 300 -j $(JOBS)

DEB_PACKAGES := build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev \
	libpaho-mqtt-dev libssl-dev libzip-dev libjsmn-dev \
	googletest libgtest-dev libgmock-dev libbenchmark-dev \
	mosquitto mosquitto-clients python3 srecord python3-crcmod python3-matplotlib ccache \
	chromium

.PHONY: all deps build test test-plain test-asan test-tsan fuzz demo dist fleet clean deps-armhf armhf-root test-armhf test-armhf-boxes

all: build

# apt-get update that a broken index does not stop (a mirror serving one
# Packages file short fails the whole update): one line about it, and the
# indexes that did load serve the install.  Needs $SUDO; takes the target name.
APT_UPDATE = apt_update() { out=$$($$SUDO apt-get update -qq 2>&1) || \
	  echo "$$1: apt-get update failed, going on with the indexes that loaded ($$(grep -m1 -E '^(E|W):' <<<"$$out" | cut -c1-160))"; }; apt_update

deps:
	@SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(APT_UPDATE) deps; DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	else echo "deps: all present"; fi

$(BUILD)/build.ninja $(BUILD)/Makefile:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) $(CCACHE) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/$(if $(CMAKE_GEN),build.ninja,Makefile)
	cmake --build $(BUILD) -j $(JOBS)

# The packages first, then sub-makes that see them (the generator and ccache are
# looked up again once ninja and ccache are installed).
test: deps
	$(MAKE) build
	$(MAKE) test-plain test-asan test-tsan fuzz
	$(MAKE) test-armhf
	$(MAKE) fleet BOXES=3 SECONDS=120 SEED=7

# The integration tests run real peers on pseudo-terminals, a broker and HTTP
# servers; they mostly wait on those peers (load average near 0.1 two at a time),
# so the plain run takes three per core.  A test that fails is run once more,
# alone, and the first failure stays in the output: a test that fails twice fails
# the run.  The sanitizer and fuzz runs are never retried.
PLAIN_JOBS ?= $(shell echo $$(( $(JOBS) * 3 )))
test-plain: build
	cd $(BUILD) && { ctest --output-on-failure --timeout 300 -j $(PLAIN_JOBS) || { echo "== test-plain: running the failed tests once more, alone =="; \
	  ctest --output-on-failure --timeout 300 --rerun-failed; }; }

# One clang build with AddressSanitizer and UndefinedBehaviorSanitizer serves both
# the sanitizer unit tests and the libFuzzer targets (their coverage hooks cost the
# unit tests little): one cold build fewer than a build for each.
ASAN_CONFIGURE = CC=clang CXX=clang++ cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) $(CCACHE) -DCMAKE_BUILD_TYPE=Debug \
	  -DTELAGENT_SANITIZE=address -DTELAGENT_FUZZ=ON -DTELAGENT_INTEGRATION_TESTS=OFF
test-asan:
	$(ASAN_CONFIGURE)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizer/lsan.supp UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(CTEST) -L unit

# ThreadSanitizer on the unit tests: the concurrency cases are what it is for.
test-tsan:
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) $(CCACHE) -DCMAKE_BUILD_TYPE=Debug -DTELAGENT_SANITIZE=thread -DTELAGENT_INTEGRATION_TESTS=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/sanitizer/tsan.supp $(CTEST) -L unit

# libFuzzer targets, from the same build as test-asan, each run for FUZZ_SECONDS
# from its seed corpus.
fuzz:
	$(ASAN_CONFIGURE)
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target fuzz_targets
	cd $(ASAN_BUILD) && FUZZ_SECONDS=$(FUZZ_SECONDS) $(CTEST) -L fuzz

# The box's own architecture: Debian's cross toolchain and qemu-user, installed
# once like `deps`, and the armhf builds of the libraries from one of two places
# (ARMHF_ROOT_MODE):
#   system  installed beside the native ones with dpkg multiarch; taken when all
#           of ARMHF_LIBS are (or forced, and then installed here);
#   local   unpacked from Debian's armhf .debs into ARMHF_LOCAL_ROOT by
#           tools/armhf_root.sh (.debs cached in ARMHF_DEBS), used as the
#           cross-build's sysroot and the emulator's -L; nothing armhf gets
#           installed.  Multi-Arch: same packages (linux-libc-dev, libssl-dev, ...)
#           must have one version on both architectures, which a mirror whose
#           armhf index lags the amd64 one cannot give; an unpacked root can.
# auto (the default) is system when every one of ARMHF_LIBS is installed, else local.
ARMHF_TOOLS := crossbuild-essential-armhf qemu-user
ARMHF_LIBS  := libc6 libstdc++6 libpaho-mqtt-dev libssl-dev libzip-dev libgtest-dev libgmock-dev
# Architecture: all, from `deps` in the system mode; the local root needs its own.
ARMHF_ROOT_INDEP := libjsmn-dev
ARMHF_ROOT_MODE  ?= auto
ARMHF_LOCAL_ROOT ?= build/armhf-root
ARMHF_DEBS       ?= build/armhf-debs
ifeq ($(ARMHF_ROOT_MODE),auto)
ARMHF_MODE := $(shell for p in $(ARMHF_LIBS); do dpkg-query -W -f='$${Status}' $$p:armhf 2>/dev/null | \
	grep -q "install ok installed" || { echo local; exit 0; }; done; echo system)
else ifneq ($(filter $(ARMHF_ROOT_MODE),system local),)
ARMHF_MODE := $(ARMHF_ROOT_MODE)
else
$(error ARMHF_ROOT_MODE is auto, system or local, not $(ARMHF_ROOT_MODE))
endif
ifeq ($(ARMHF_MODE),local)
ARMHF_BUILD    ?= build/armhf-local
ARMHF_RUN_ROOT := $(abspath $(ARMHF_LOCAL_ROOT))
ARMHF_SAID     := the local root $(ARMHF_LOCAL_ROOT)
else
ARMHF_BUILD    ?= build/armhf
ARMHF_RUN_ROOT := /
ARMHF_SAID     := this machine (dpkg multiarch)
endif
ARMHF_CMAKE := -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-armhf.cmake \
	-DTELAGENT_ARMHF_ROOT=$(if $(filter local,$(ARMHF_MODE)),$(ARMHF_RUN_ROOT))

deps-armhf:
	@SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; updated=""; \
	dpkg --print-foreign-architectures | grep -qx armhf || { echo "adding the armhf architecture"; $$SUDO dpkg --add-architecture armhf; }; \
	missing=""; for p in $(ARMHF_TOOLS) $(if $(filter system,$(ARMHF_MODE)),$(addsuffix :armhf,$(ARMHF_LIBS))); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(APT_UPDATE) deps-armhf; updated=1; DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	else echo "deps-armhf: all present"; fi; \
	if [ "$(ARMHF_MODE)" = local ] && [ -z "$$updated" ] && ! apt-cache show libc6:armhf >/dev/null 2>&1; then \
	  $(APT_UPDATE) deps-armhf; fi
	@echo "deps-armhf: armhf libraries from $(ARMHF_SAID) (ARMHF_ROOT_MODE=$(ARMHF_ROOT_MODE))"
	@$(if $(filter local,$(ARMHF_MODE)),$(MAKE) --no-print-directory armhf-root)

# The local root alone (ARMHF_ROOT_MODE=local or auto on a machine without the
# armhf packages): fetched once, unpacked again only when its packages change.
armhf-root:
	tools/armhf_root.sh $(ARMHF_LOCAL_ROOT) $(ARMHF_DEBS) $(ARMHF_LIBS) $(ARMHF_ROOT_INDEP)

# Cross-builds the agent, its host and the unit tests for armhf and runs them
# under qemu-user with the armhf libc of the chosen place (qemu-arm -L / or
# -L the local root), then the whole boxes (boot, telemetry, downlink) with
# the armhf host and library under qemu against the native harness, devsim,
# broker and cloud tool (the plain build's).  A failed case runs once more,
# alone, as in test-plain.  Between the two, the `build` test: the device side
# linked for armhf against a stand-in vendor sysroot made from
# src/platform/device/vendor_symbols.txt.  test-armhf-boxes runs only the
# boxes, on builds already made.
ARMHF_ENV := TELAGENT_TEST_EMULATOR="qemu-arm -L $(ARMHF_RUN_ROOT)" TELAGENT_TEST_HOST_BIN=$(CURDIR)/$(ARMHF_BUILD)/bin/telagent-host \
	TELAGENT_TEST_LIB_FILE=$(CURDIR)/$(ARMHF_BUILD)/lib/libTelAgent.so \
	TELAGENT_TEST_FAKE_AGENT_LIB=$(CURDIR)/$(ARMHF_BUILD)/tests/host/libFakeAgent.so
ARMHF_BOXES := ^(BoxBoot|ReportBox|DownlinkBox)\.
test-armhf: deps-armhf build
	cmake -S . -B $(ARMHF_BUILD) $(CMAKE_GEN) $(CCACHE) $(ARMHF_CMAKE) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELAGENT_INTEGRATION_TESTS=OFF -DTELAGENT_TOOLS=OFF
	cmake --build $(ARMHF_BUILD) -j $(JOBS)
	cd $(ARMHF_BUILD) && { $(CTEST) -L unit || { echo "== test-armhf: running the failed tests once more, alone =="; \
	  ctest --output-on-failure --timeout 300 --rerun-failed; }; }
	cd $(ARMHF_BUILD) && ctest --output-on-failure -L build
	$(MAKE) test-armhf-boxes

test-armhf-boxes:
	cd $(BUILD) && { $(ARMHF_ENV) $(CTEST) -R '$(ARMHF_BOXES)' || { echo "== test-armhf-boxes: running the failed tests once more, alone =="; \
	  $(ARMHF_ENV) ctest --output-on-failure --timeout 300 --rerun-failed; }; }

# From a fresh machine as `make test` does: the packages first, then a build
# that sees them (the generator and ccache are looked up again after deps).
demo: deps
	$(MAKE) build
	tools/demo.sh $(BUILD)

# The box's file tree as a tarball in $(DIST_DIR): DIST_ARCH=native (the plain
# build) or armhf (ARMHF_BUILD, cross-compiled with cmake/toolchain-armhf.cmake
# against the armhf libraries ARMHF_ROOT_MODE picks).
DIST_ARCH ?= native
DIST_DIR  ?= build/dist
dist:
	@case "$(DIST_ARCH)" in \
	native) $(MAKE) build && tools/dist.sh $(BUILD) "$$(dpkg --print-architecture 2>/dev/null || uname -m)" $(DIST_DIR) ;; \
	armhf) [ -f cmake/toolchain-armhf.cmake ] || { echo "dist: cmake/toolchain-armhf.cmake is missing: no armhf build here" >&2; exit 1; }; \
	  $(if $(filter local,$(ARMHF_MODE)),$(MAKE) --no-print-directory armhf-root || exit 1;) \
	  [ -f $(ARMHF_BUILD)/CMakeCache.txt ] || cmake -S . -B $(ARMHF_BUILD) $(CMAKE_GEN) $(CCACHE) \
	    $(ARMHF_CMAKE) -DCMAKE_BUILD_TYPE=RelWithDebInfo || exit 1; \
	  cmake --build $(ARMHF_BUILD) -j $(JOBS) --target TelAgent telagent-host && tools/dist.sh $(ARMHF_BUILD) armhf $(DIST_DIR) ;; \
	*) echo "dist: DIST_ARCH is native or armhf, not $(DIST_ARCH)" >&2; exit 2 ;; \
	esac

# Simulated boxes against one broker under a chaos schedule drawn from SEED;
# summary, report.json and report.png in FLEET_OUT (default under $(BUILD)/fleet).
BOXES   ?= 10
SECONDS ?= 600
SEED    ?= 1
# Debian's interpreter, which sees python3-matplotlib
FLEET_PYTHON ?= $(shell test -x /usr/bin/python3 && echo /usr/bin/python3 || echo python3)
fleet: build
	$(FLEET_PYTHON) tools/fleet/fleet.py --build $(BUILD) --boxes $(BOXES) --seconds $(SECONDS) --seed $(SEED) $(if $(FLEET_OUT),--out $(FLEET_OUT)) $(FLEET_ARGS)

clean:
	rm -rf build
