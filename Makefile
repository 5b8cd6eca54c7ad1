# The two commands a user needs: `make test` and `make demo` (DB=postgresql
# for the server database).
# Everything else here is for developers.
JOBS ?= $(shell nproc)
BUILD ?= build
FUZZ_SECONDS ?= 60

.PHONY: all deps build test asan tsan bench fuzz demo demo-gap install package format clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/CMakeCache.txt: CMakeLists.txt | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 300

asan: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZO_SANITIZE=ON >/dev/null
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j$(JOBS) --timeout 600

tsan: deps
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZO_TSAN=ON >/dev/null
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j$(JOBS) --timeout 600

bench: deps
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DZO_BENCH=ON >/dev/null
	cmake --build build-bench -j$(JOBS)
	@for b in build-bench/bench/bench_*; do [ -x "$$b" ] && "$$b" || exit 1; done

# Each fuzz target for FUZZ_SECONDS under ASan and UBSan, built with clang
# and every library instrumented for coverage (FUZZ_TARGETS picks some).
fuzz: deps
	@cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZO_FUZZ=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build build-fuzz -j$(JOBS) --target fuzzers
	@scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Builds only the programs the demo runs (no tests, fuzzers or oracles);
# DB=postgresql runs it against a throwaway PostgreSQL server.
DEMO_TARGETS = Quorvane iosim logview oxactl qvadm configs
demo: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j$(JOBS) --target $(DEMO_TARGETS)
	@DB=$(DB) scripts/demo.sh $(BUILD)

# The same across a one-way network gap: Quorvane sends gapudp datagrams,
# gaprx writes them into SQLite (DB=postgresql: a throwaway PostgreSQL server).
demo-gap: build
	@DB=$(DB) scripts/demo.sh $(BUILD) gap

# The programs, the unit quorvane@.service, the configuration directory and
# the docs under PREFIX (DESTDIR=... stages them elsewhere); see
# dist/CMakeLists.txt for the layout.
PREFIX ?= /usr/local
INSTALL_TARGETS = Quorvane qvadm oxactl logview iosim gaprx
install: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	cmake --build $(BUILD) -j$(JOBS) --target $(INSTALL_TARGETS)
	cmake --install $(BUILD)

# The Debian package build-pkg/quorvane_<version>_<arch>.deb, for /usr.
package: deps
	@cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
	cmake --build build-pkg -j$(JOBS) --target $(INSTALL_TARGETS)
	cd build-pkg && cpack -G DEB

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz build-pkg
