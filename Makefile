# Kinetra: the two commands of the README, wrapped around CMake.
#   make demo   install what is missing, build, render the built-in demo
#   make test   install what is missing, build, run every test (plain and sanitized builds)
#   make bench  build and run the benchmarks
#   make install   build the program and install it under PREFIX (/usr/local)
#   make deb       build a Debian package (build/kinetra_VERSION_ARCH.deb)

JOBS ?= 2
BUILD ?= build
BUILD_SAN ?= build-sanitize
PREFIX ?= /usr/local

# Debian packages the build, the tests and the demo need.
PACKAGES := cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
            libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev \
            libfreetype-dev libfontconfig-dev fonts-ipafont-gothic ffmpeg \
            libcpp-httplib-dev nlohmann-json3-dev chromium
# The preview's browser test runs playwright-core (tests/preview) on node.
NODE_DIR := tests/preview

.PHONY: all deps node-deps build build-app build-sanitize test test-plain test-sanitize demo bench install deb clean

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
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS) --target kinetra_app

build-sanitize: deps
	cmake -S . -B $(BUILD_SAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKINETRA_SANITIZE=ON
	cmake --build $(BUILD_SAN) -j$(JOBS)

test-plain: build node-deps
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

test-sanitize: build-sanitize node-deps
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir $(BUILD_SAN) --output-on-failure -j$(JOBS)

test: test-plain test-sanitize

demo: build-app
	$(BUILD)/kinetra demo kinetra-demo

install: build-app
	cmake --install $(BUILD) --prefix $(PREFIX)

deb: build-app
	cd $(BUILD) && cpack -G DEB

bench: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DKINETRA_BUILD_BENCH=ON
	cmake --build $(BUILD) -j$(JOBS)
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD) $(BUILD_SAN)
