# Kinetra: the two commands of the README, wrapped around CMake.
#   make demo   install what is missing, build, render the built-in demo
#   make test   install what is missing, build, run every test (plain, sanitized and i386 builds)
#   make bench  build and run the benchmarks, then bench/compare.sh (Kinetra against ffmpeg)
#   make fuzz   build the fuzz targets with clang and run each for FUZZ_SECONDS
#   make install   build the program and install it under PREFIX (/usr/local)
#   make deb       build a Debian package (build/kinetra_VERSION_ARCH.deb)
#   make windows       cross-compile build-win32/kinetra.auf (the editor's) and build-win64/kinetra.auf
#   make test-windows  the 64-bit plug-in and its tests built for Windows and run under Wine;
#                      the 32-bit plug-in checked without running it
#   make test-i386     the plug-in and its tests built for i386 Linux (the editor
#                      build's 32-bit code and float mode) and run under QEMU

JOBS ?= 2
BUILD ?= build
BUILD_SAN ?= build-sanitize
PREFIX ?= /usr/local
BUILD_WIN32 ?= build-win32
BUILD_WIN64 ?= build-win64
BUILD_I386 ?= build-i386

# Debian packages the build, the tests and the demo need.
PACKAGES := cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
            libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev \
            libfreetype-dev libfontconfig-dev fonts-ipafont-gothic ffmpeg \
            libcpp-httplib-dev nlohmann-json3-dev chromium melt libmlt-dev libmlt++-dev time
# The render farm's test runs a single-node Slurm (tests/app/farm) and GNU parallel.
PACKAGES += slurm-wlm munge parallel
# The preview's browser test runs playwright-core (tests/preview) on node.
NODE_DIR := tests/preview

# What `make fuzz` needs besides: clang with its libFuzzer and OpenMP runtimes.
FUZZ_PACKAGES := clang libclang-rt-dev libomp-dev
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= formula loader executor media
FUZZ_FLAGS ?= -timeout=25 -rss_limit_mb=2560

# The Windows builds: MinGW-w64 with the -posix thread model (std::thread),
# and GoogleTest's sources, which the Windows test build compiles.
WINDOWS_PACKAGES := cmake make g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest
# Running the 64-bit tests: Wine's 64-bit loader (never wine32, which breaks
# the wine command for 64-bit programs), the font the text tests expect, and
# the locale sources for a Japanese locale.
WINDOWS_TEST_PACKAGES := wine64 fonts-ipafont-gothic locales

# The i386 build: the compilers' 32-bit support, QEMU's user-mode emulator
# (this machine runs no 32-bit code itself) and the font the text tests
# expect. Its i386 libraries are downloaded into $(BUILD_I386)/sysroot
# (cmake/i386-sysroot.sh), not installed.
I386_PACKAGES := cmake make gcc-multilib g++-multilib qemu-user-static pkg-config \
                 fonts-ipafont-gothic

.PHONY: all deps node-deps build build-app build-sanitize test test-plain test-sanitize demo bench install deb fuzz fuzz-build clean \
        windows-deps windows-test-deps windows test-windows i386-deps build-i386 test-i386

all: build

# Installs the Debian packages in $(1) that are missing.
define install_missing
	@missing=""; \
	for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES))

windows-deps:
	$(call install_missing,$(WINDOWS_PACKAGES))

windows-test-deps: windows-deps
	$(call install_missing,$(WINDOWS_TEST_PACKAGES))

# node from Debian where the machine has none; playwright-core as locked.
node-deps: deps
	@if ! command -v node >/dev/null || ! command -v npm >/dev/null; then \
	  echo "Installing: nodejs npm"; \
	  SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends nodejs npm; \
	fi
	@if [ ! -d $(NODE_DIR)/node_modules/playwright-core ]; then \
	  cd $(NODE_DIR) && npm ci --no-audit --no-fund; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)

# The program and its plug-in alone, without the test suites.
build-app: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD) -j$(JOBS) --target kinetra_app

build-sanitize: deps
	cmake -S . -B $(BUILD_SAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKINETRA_SANITIZE=ON
	cmake --build $(BUILD_SAN) -j$(JOBS)

test-plain: build node-deps
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

test-sanitize: build-sanitize node-deps
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  ctest --test-dir $(BUILD_SAN) --output-on-failure -j$(JOBS)

test: test-plain test-sanitize test-i386

demo: build-app
	$(BUILD)/kinetra demo kinetra-demo

# MLT loads modules from its own folder only: the MLT module (and the
# Kdenlive effect) also go under MLT's prefix.
install: build-app
	cmake --install $(BUILD) --prefix $(PREFIX)
	@mlt=$$(pkg-config --variable=prefix mlt-framework-7 2>/dev/null); \
	if [ -n "$$mlt" ] && [ "$$mlt" != "$(PREFIX)" ] && [ -f $(BUILD)/libmltkinetra.so ]; then \
	  cmake --install $(BUILD) --prefix $$mlt --component mlt; \
	fi

deb: build-app
	cd $(BUILD) && cpack -G DEB

# Each target runs FUZZ_SECONDS on its seeds (fuzz/seeds) and the corpus it
# grew before; a failing input lands in $(BUILD_FUZZ)/failures/TARGET/ and the
# run stops with an error. Copy such inputs to fuzz/regressions/TARGET/.
fuzz-build: deps
	@$(MAKE) --no-print-directory deps PACKAGES="$(FUZZ_PACKAGES)"
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKINETRA_FUZZ=ON -DKINETRA_BUILD_TESTS=OFF
	cmake --build $(BUILD_FUZZ) -j$(JOBS)

fuzz: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(BUILD_FUZZ)/corpus/$$t $(BUILD_FUZZ)/failures/$$t; \
	  echo "== $$t: $(FUZZ_SECONDS) s"; \
	  $(BUILD_FUZZ)/fuzz/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) $(FUZZ_FLAGS) \
	    -dict=fuzz/kinetra.dict -artifact_prefix=$(BUILD_FUZZ)/failures/$$t/ \
	    $(BUILD_FUZZ)/corpus/$$t fuzz/seeds/$$t || exit 1; \
	done

bench: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DKINETRA_BUILD_BENCH=ON
	cmake --build $(BUILD) -j$(JOBS)
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b; done
	bash bench/compare.sh $(BUILD)

# Both plug-ins as self-contained DLLs (see README, "Windows").
windows: windows-deps
	cmake -S . -B $(BUILD_WIN32) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DKINETRA_BUILD_APP=OFF -DKINETRA_BUILD_TESTS=OFF
	cmake --build $(BUILD_WIN32) -j$(JOBS) --target kinetra
	cmake -S . -B $(BUILD_WIN64) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DKINETRA_BUILD_APP=OFF
	cmake --build $(BUILD_WIN64) -j$(JOBS) --target kinetra

# The 64-bit tests run under Wine in a private prefix inside $(BUILD_WIN64),
# with one wine server kept up for the whole run and stopped whatever happens.
# One text test runs first, alone: Wine builds its font cache at the first
# drawing, which parallel tests would otherwise all wait for.
test-windows: windows-test-deps windows
	cmake -S . -B $(BUILD_WIN64) -DKINETRA_WIN32_PLUGIN=$(CURDIR)/$(BUILD_WIN32)/kinetra.auf
	cmake --build $(BUILD_WIN64) -j$(JOBS)
	$(BUILD_WIN64)/wine-run.sh start && \
	  $(BUILD_WIN64)/wine-run.sh $(BUILD_WIN64)/tests/kinetra_tests.exe --gtest_brief=1 \
	    --gtest_filter=TextEngine.UnknownOrEmptyFaceStillGivesAFont >/dev/null && \
	  ctest --test-dir $(BUILD_WIN64) --output-on-failure -j$(JOBS); \
	  status=$$?; $(BUILD_WIN64)/wine-run.sh stop; exit $$status

# The plug-in and its tests (no program, no FFmpeg) as i386 Linux programs,
# Release only; discovery and CTest run them under qemu-i386-static (see
# cmake/linux-i386.cmake and README, "Windows").
i386-deps:
	$(call install_missing,$(I386_PACKAGES))
	sh cmake/i386-sysroot.sh $(CURDIR)/$(BUILD_I386)/sysroot

build-i386: i386-deps
	cmake -S . -B $(BUILD_I386) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/linux-i386.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DKINETRA_BUILD_APP=OFF
	cmake --build $(BUILD_I386) -j$(JOBS)

test-i386: build-i386
	ctest --test-dir $(BUILD_I386) --output-on-failure -j$(JOBS)

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_WIN32) $(BUILD_WIN64) $(BUILD_FUZZ) $(BUILD_I386)
