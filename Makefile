# Quick start: `make demo` runs the demo, `make test` runs every suite.
# Each first installs what is missing (see scripts/ensure-deps.sh).
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build demo quality package test bench paths compare memory coverage fuzz format lint clean

all: build

build:
	@scripts/ensure-deps.sh
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)

# pgrestore calls pgproxmt; the M-code one in bench/reference stands in, behind the compiled
# modules on the path, where the compiled one is not built.
OCTAVE_PATH = addpath('$(BUILD)/octave', 'pgrestore', 'examples', 'bench'); \
	addpath('bench/reference', '-end');
WARM_ALLOCATOR = MALLOC_MMAP_MAX_=0 MALLOC_TRIM_THRESHOLD_=1073741824 MALLOC_TOP_PAD_=67108864

demo: build
	octave-cli --norc --no-history --no-window-system --eval \
		"$(OCTAVE_PATH) restore_demo('$(BUILD)/demo');"

# pgrestore's quality, convergence, speed and 3-D benchmarks (bench/restore_quality.m), hours
# with the M-code pgproxmt; results are kept in $(BUILD)/quality, so a rerun resumes, and the
# tables go to $(BUILD)/quality/restoration.md. Not part of make test.
quality: build
	$(WARM_ALLOCATOR) octave-cli --norc --no-history --no-window-system --eval \
		"$(OCTAVE_PATH) restore_quality('$(BUILD)/quality');"

# The Octave package, for `pkg install $(BUILD)/pgmex-VERSION.tar.gz`.
package:
	scripts/octave-package.sh $(BUILD)

# The stand-in suites again in build folders of their own, with every module, the stand-in host
# and the tests instrumented: AddressSanitizer with UndefinedBehaviorSanitizer, then
# ThreadSanitizer. Octave plays no part there.
STANDIN_SUITES = '^(standin|lambertw)/'
# ThreadSanitizer maps its shadow memory at fixed addresses, which a kernel with more address
# randomization than it expects can refuse; the runs go without randomization where allowed.
NO_ASLR := $(shell setarch $$(uname -m) -R true 2>/dev/null && echo setarch $$(uname -m) -R)
define sanitized
cmake -S . -B $(1) -DSANITIZE='$(2)' -DREQUIRE_OCTAVE=OFF
cmake --build $(1) -j $(JOBS) --target module_tests lambertw_tests
cd $(1) && $(NO_ASLR) ctest --output-on-failure -j $(JOBS) -R $(STANDIN_SUITES)
endef

test: build
	@scripts/ensure-deps.sh fuzz
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(call sanitized,build-asan,address;undefined;float-cast-overflow)
	$(call sanitized,build-tsan,thread)

# Line and branch coverage of the modules and the Lambert W library over the stand-in suites.
# The exception edges of host calls are left out of the branch count: they are the host's way
# out of a call, not a decision of the code measured.
COVERED = groupshrinkmt/groupshrinkmt.cpp obsexpscale/obsexpscale.cpp termdecay/termdecay.cpp \
	slopemapmt/slopemapmt.cpp pglikmt/pglikmt.cpp lambertw/LambertW.cpp
GCOVR = gcovr -r . build-cov $(foreach f,$(COVERED),--filter $(f)) --exclude-throw-branches
coverage:
	@scripts/ensure-deps.sh coverage
	cmake -S . -B build-cov -DCOVERAGE=ON -DREQUIRE_OCTAVE=OFF
	find build-cov -name '*.gcda' -delete
	cmake --build build-cov -j $(JOBS) --target module_tests lambertw_tests
	find build-cov -name '*.gcda' -delete
	cd build-cov && ctest --output-on-failure -j $(JOBS) -R $(STANDIN_SUITES)
	$(GCOVR)
	$(GCOVR) --branches

# Every benchmark keeps freed memory for reuse (bench/warm_allocator.h), counts minor page faults
# per call apart from the time and gives the median and range over five repetitions.
bench:
	@scripts/ensure-deps.sh bench
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) --target run_bench

# groupshrinkmt and slopemapmt: the default build beside its avx2 and scalar builds, in turn.
paths:
	@scripts/ensure-deps.sh bench
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) --target run_paths

# Each module against the vectorized Octave code for the same result, slopemapmt against the bare
# exp, and groupshrinkmt and slopemapmt against their build from commit BASE (default in
# bench/CMakeLists.txt), all in one Octave process (bench/compare_octave.m).
compare: build
	cmake -S . -B $(BUILD) $(if $(BASE),-DCOMPARE_BASE=$(BASE),-UCOMPARE_BASE)
	cmake --build $(BUILD) --target run_compare

# Peak memory of a call (/usr/bin/time -v) against its inputs and output, time per element and
# minor faults from N = 1e2 to 1e8 (bench/memory.sh).
memory:
	@scripts/ensure-deps.sh bench
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) --target run_memory

# libFuzzer over the four gateways (fuzz/), FUZZ_SECONDS after the seeds; make test runs 60 s.
FUZZ_SECONDS ?= 600
fuzz:
	@scripts/ensure-deps.sh fuzz
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

# Plain loops are the house style, so cppcheck's advice to use algorithms is off; each
# module is a shared object of its own, so equal names across modules are no clash.
lint:
	cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability \
		--std=c++17 --library=googletest --library=posix --suppress=useStlAlgorithm \
		--suppress=ctuOneDefinitionRuleViolation \
		--inline-suppr --suppress=missingIncludeSystem -I host -I standin -I lambertw \
		$$(git ls-files '*.cpp')

clean:
	rm -rf $(BUILD) build-asan build-tsan build-cov build-fuzz
