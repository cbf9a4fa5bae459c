# Wraps CMake. `make demo` runs the agent emulator against the example provider,
# `make test` runs every test; the other targets are further checks (see TESTING.md).
JOBS ?= 2
# Warnings are errors in CI.
CMAKE_FLAGS ?= $(if $(CI),-DCPCLIENT_WERROR=ON,)
# Test programs that valgrind runs whole (the sweep replaces malloc itself).
MEMCHECK_PROGRAMS = util_tests host_tests transport_tests xml_tests config_tests api_tests

.PHONY: all build test demo sanitize tsan memcheck clean

all: build

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)

test: build
	cd build && ctest --output-on-failure -j$(JOBS)

# Runs agentemu against sysmon with two rounds and an echo task, printing the conversation.
demo: build
	build/agentemu --rounds 2 --task "echo hello from sysmon" -- build/examples/sysmon/sysmon

sanitize:
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DCPCLIENT_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build-sanitize -j$(JOBS)
	cd build-sanitize && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j$(JOBS)

tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCPCLIENT_TSAN=ON $(CMAKE_FLAGS)
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j$(JOBS)

memcheck: build
	set -e; for p in $(MEMCHECK_PROGRAMS); do \
	  echo "== valgrind $$p"; \
	  valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
	    --suppressions=tests/valgrind.supp \
	    --show-leak-kinds=definite,indirect build/tests/$$p --gtest_brief=1; \
	done

clean:
	rm -rf build build-sanitize build-tsan
