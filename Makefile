# Wraps CMake: `make` builds build/libcpclient.so, `make test` runs every test,
# `make sanitize` runs them again under AddressSanitizer and UndefinedBehaviorSanitizer.
JOBS ?= 2
# Warnings are errors in CI.
CMAKE_FLAGS ?= $(if $(CI),-DCPCLIENT_WERROR=ON,)

.PHONY: all build test sanitize clean

all: build

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)

test: build
	cd build && ctest --output-on-failure -j$(JOBS)

sanitize:
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DCPCLIENT_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build-sanitize -j$(JOBS)
	cd build-sanitize && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j$(JOBS)

clean:
	rm -rf build build-sanitize
