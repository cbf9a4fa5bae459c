# Wraps CMake. `make demo` runs the agent emulator against the example provider,
# `make test` runs every test; the other targets are further checks (see TESTING.md).
SHELL := /bin/bash
JOBS ?= 2
# Warnings are errors in CI.
CMAKE_FLAGS ?= $(if $(CI),-DCPCLIENT_WERROR=ON,)
# Test programs that valgrind runs whole (the sweep replaces malloc itself).
MEMCHECK_PROGRAMS = util_tests host_tests transport_tests xml_tests config_tests api_tests

.PHONY: all configure build test demo sanitize tsan memcheck fuzz coverage bench bench-build bench-smoke clean \
  format format-check lint python-check wheel

all: build

configure:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: configure
	cmake --build build -j$(JOBS)

test: build
	cd build && ctest --output-on-failure -j$(JOBS)

# Runs agentemu against sysmon with two rounds and an echo task, printing the
# conversation. Builds only what it runs, not the test programs.
demo: configure
	cmake --build build -j$(JOBS) --target cpclient agentemu sysmon
	build/agentemu --rounds 2 --task "echo hello from sysmon" \
	  --columns FileSystem=mountPoint,type,sizeKB,usedKB,pctUsed \
	  --columns Process=pid,name,state,rssKB,threads --columns Load=load1,load5,load15 \
	  -- build/examples/sysmon/sysmon

# The Python platform wheel, libcpclient.so.1 inside the package, in build/dist/: built
# offline with Debian's pip, setuptools and wheel (README, "Python: pip and wheel").
wheel: configure
	cmake --build build -j$(JOBS) --target wheel

# The Debian packages libcpclient1, libcpclient-dev, python3-cpclient and cpclient-tools
# from one build in build-deb/ (CPack), into build-deb/packages/ (docs/PACKAGING.md):
# Debian's build flags (all hardening) and /usr; only what the packages hold is built.
# The last commit's time dates the changelog and the trace's build stamp (__DATE__
# follows SOURCE_DATE_EPOCH, hence -Wno-date-time).
DEB_ENV = SOURCE_DATE_EPOCH=$$(git log -1 --format=%ct 2>/dev/null || date +%s)
DEB_BUILDFLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
DEB_FLAGS = $$($(DEB_BUILDFLAGS) CPPFLAGS) -Wno-date-time
.PHONY: package
package:
	$(DEB_ENV) CFLAGS="$$($(DEB_BUILDFLAGS) CFLAGS) $(DEB_FLAGS)" \
	  CXXFLAGS="$$($(DEB_BUILDFLAGS) CXXFLAGS) $(DEB_FLAGS)" LDFLAGS="$$($(DEB_BUILDFLAGS) LDFLAGS)" \
	  cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
	  -DCPCLIENT_DEB=ON -DCPCLIENT_TESTS=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON $(CMAKE_FLAGS)
	$(DEB_ENV) cmake --build build-deb -j$(JOBS) --target cpclient agentemu man_pages
	rm -rf build-deb/packages
	cd build-deb && $(DEB_ENV) cpack

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

# The libFuzzer targets (clang-14) in build-fuzz/; .ci/run runs them. Their corpus
# replays run in every ctest.
fuzz:
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 \
	  -DCMAKE_CXX_COMPILER=clang++-14 -DCPCLIENT_FUZZ=ON -DCPCLIENT_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j$(JOBS) --target fuzz_targets

# Every test in a clang build with source-based coverage (build-coverage/), then
# line and branch coverage per folder.
COVERAGE_FLAGS = -fprofile-instr-generate -fcoverage-mapping
COVERAGE_FOLDERS = util host transport xml config api
coverage:
	cmake -S . -B build-coverage -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang-14 \
	  -DCMAKE_CXX_COMPILER=clang++-14 "-DCMAKE_C_FLAGS=$(COVERAGE_FLAGS)" "-DCMAKE_CXX_FLAGS=$(COVERAGE_FLAGS)" $(CMAKE_FLAGS)
	cmake --build build-coverage -j$(JOBS)
	rm -rf build-coverage/profiles
	cd build-coverage && LLVM_PROFILE_FILE=$(CURDIR)/build-coverage/profiles/%p.profraw ctest --output-on-failure -j$(JOBS)
	llvm-profdata-14 merge -sparse build-coverage/profiles/*.profraw -o build-coverage/coverage.profdata
	llvm-cov-14 report -instr-profile=build-coverage/coverage.profdata -ignore-filename-regex='^$(CURDIR)/(tests|examples|tools|bench)/|^/usr/' \
	  $$(find build-coverage -path '*/CMakeFiles' -prune -o -type f -perm -u+x -print | sed '2,$$s/^/-object=/') \
	  > build-coverage/report.txt 2> build-coverage/report.err
	@awk -v folders="$(COVERAGE_FOLDERS)" '\
	  { split($$1, path, "/"); d = path[1] } \
	  NF == 13 && $$8 ~ /^[0-9]+$$/ && index(" " folders " ", " " d " ") { l[d] += $$8; ml[d] += $$9; b[d] += $$11; mb[d] += $$12 } \
	  function pct(all, missed) { return all ? sprintf("%6.2f%%", 100 * (all - missed) / all) : "     -" } \
	  END { printf "%-10s %8s %14s %9s %14s\n", "folder", "lines", "(covered/all)", "branches", "(covered/all)"; \
	        n = split(folders, f, " "); \
	        for (i = 1; i <= n; i++) printf "%-10s %8s %14s %9s %14s\n", f[i], pct(l[f[i]], ml[f[i]]), \
	          (l[f[i]] - ml[f[i]]) "/" l[f[i]], pct(b[f[i]], mb[f[i]]), (b[f[i]] - mb[f[i]]) "/" b[f[i]] }' \
	  build-coverage/report.txt
	@echo "Per file: build-coverage/report.txt"

# The benchmark suite (BENCHMARKS.md) in build-bench/: google benchmark with
# libxml2, pugixml, expat and iconv as peers. `make bench` runs it in full and
# writes the table to build-bench/bench-table.md; `make bench-smoke` runs every
# benchmark once with tiny iteration counts, so that the suite cannot rot.
bench-build:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCPCLIENT_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-bench -j$(JOBS) --target cpbench

bench: bench-build
	build-bench/bench/cpbench --benchmark_min_time=0.2 --benchmark_repetitions=5 \
	  --benchmark_report_aggregates_only=true --cpbench_table=build-bench/bench-table.md

bench-smoke: bench-build
	build-bench/bench/cpbench --smoke --benchmark_min_time=0.001

# clang-format over every tracked C and C++ source: `format` rewrites them,
# `format-check` lists those that differ and fails.
CLANG_FORMAT ?= clang-format-14
FORMAT_SOURCES = $(shell git ls-files '*.c' '*.cpp' '*.h' '*.hpp')
format:
	@$(CLANG_FORMAT) -i $(FORMAT_SOURCES)

format-check:
	@$(CLANG_FORMAT) --dry-run -Werror $(FORMAT_SOURCES) && echo "format-check: all sources as .clang-format has them"

# clang-tidy with the checks of .clang-tidy (tests/ and bench/ relax some in their
# own) over every tracked C and C++ source, and through them the headers, from a
# compile database in build-tidy/ (configured only, nothing is built). The sources
# of tests/package/ build against an installed tree, outside this one.
CLANG_TIDY ?= clang-tidy-14
LINT_SOURCES = $(filter-out tests/package/%,$(shell git ls-files '*.c' '*.cpp'))
lint:
	@cmake -S . -B build-tidy -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCPCLIENT_TESTS=ON > /dev/null
	@set -o pipefail; printf '%s\n' $(LINT_SOURCES) | xargs -P$(JOBS) -n8 $(CLANG_TIDY) -p build-tidy --quiet 2>&1 | \
	  { grep -v '^[0-9]* warnings\? generated\.$$' || true; } && echo "lint: no findings"

# flake8 and mypy (Debian's) over the Python package and its tests; settings in python/setup.cfg.
python-check:
	cd python && flake8 && mypy

clean:
	rm -rf build build-sanitize build-tsan build-fuzz build-coverage build-bench build-tidy build-deb
