# The two commands of the README:
#   make test   install what is missing, configure, build and run every test
#   make demo   build and start the demo application with the provider simulator
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?= -DZELK_BUILD_BENCHMARKS=ON
JOBS ?= $(shell nproc)

# Debian 12 packages the build and the tests need (HAProxy, curl and ss for the deployment test,
# tests/deploy; hiredis for the session store, and redis-server, which its tests start).
DEB_PACKAGES := cmake ninja-build g++ clang pkg-config git ca-certificates \
  libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libboost1.81-dev libcpp-httplib-dev \
  googletest libgtest-dev libgmock-dev libbenchmark-dev libjemalloc-dev \
  libhiredis-dev redis-server haproxy curl iproute2

# What the browser tests add: Debian's Chromium, and Node.js with npm unless they are on the
# PATH already (from Debian or elsewhere); playwright-core comes from npm (tests/e2e).
E2E_DEB_PACKAGES := chromium
E2E_DIR := tests/e2e

.PHONY: all deps e2e-deps configure build test demo clean

all: build

deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = "0" ]; then \
	    echo "Installing:$$missing"; \
	    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	  else \
	    echo "Missing Debian packages. Install them with:"; \
	    echo "  sudo apt-get update && sudo apt-get install -y$$missing"; \
	    exit 1; \
	  fi; \
	fi

e2e-deps: deps
	@missing=""; \
	for p in $(E2E_DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	command -v node >/dev/null 2>&1 || missing="$$missing nodejs"; \
	command -v npm >/dev/null 2>&1 || missing="$$missing npm"; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = "0" ]; then \
	    echo "Installing for the browser tests:$$missing"; \
	    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	  else \
	    echo "The browser tests need Debian packages. Install them with:"; \
	    echo "  sudo apt-get update && sudo apt-get install -y$$missing"; \
	    exit 1; \
	  fi; \
	fi
	@$(MAKE) --no-print-directory $(E2E_DIR)/node_modules/.package-lock.json

# npm ci again whenever the lock file changes.
$(E2E_DIR)/node_modules/.package-lock.json: $(E2E_DIR)/package.json $(wildcard $(E2E_DIR)/package-lock.json)
	cd $(E2E_DIR) && if [ -f package-lock.json ]; then npm ci --no-audit --no-fund; \
	  else npm install --no-audit --no-fund; fi
	touch $@

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: e2e-deps build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

demo: build
	@if [ -x $(BUILD)/examples/demo/zelk-demo ]; then \
	  $(BUILD)/examples/demo/zelk-demo; \
	else \
	  echo "The demo application is not part of this build yet."; exit 1; \
	fi

clean:
	rm -rf $(BUILD)
