# Kinetra: the two commands of the README, wrapped around CMake.
#   make demo   install what is missing, build, render the built-in demo
#   make test   install what is missing, build, run every test (plain and sanitized builds)
#   make bench  build and run the benchmarks
#   make fuzz   build the fuzz targets with clang and run each for FUZZ_SECONDS
#   make install   build the program and install it under PREFIX (/usr/local)
#   make deb       build a Debian package (build/kinetra_VERSION_ARCH.deb)

JOBS ?= 2
BUILD ?= build
BUILD_SAN ?= build-sanitize
PREFIX ?= /usr/local

# Debian packages the build, the tests and the demo need.
PACKAGES := cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
            libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev \
            libfreetype-dev libfontconfig-dev fonts-ipafont-gothic ffmpeg

# What `make fuzz` needs besides: clang with its libFuzzer and OpenMP runtimes.
FUZZ_PACKAGES := clang libclang-rt-dev libomp-dev
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= formula loader executor media
FUZZ_FLAGS ?= -timeout=25 -rss_limit_mb=2560

.PHONY: all deps build build-app build-sanitize test test-plain test-sanitize demo bench install deb fuzz fuzz-build clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)

# The program and its plug-in alone, without the test suites.
build-app: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS) --target kinetra_app

build-sanitize: deps
	cmake -S . -B $(BUILD_SAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKINETRA_SANITIZE=ON
	cmake --build $(BUILD_SAN) -j$(JOBS)

test-plain: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

test-sanitize: build-sanitize
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir $(BUILD_SAN) --output-on-failure -j$(JOBS)

test: test-plain test-sanitize

demo: build-app
	$(BUILD)/kinetra demo kinetra-demo

install: build-app
	cmake --install $(BUILD) --prefix $(PREFIX)

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

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_FUZZ)
