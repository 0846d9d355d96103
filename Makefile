# Quick start: `make demo` runs the demo, `make test` runs every suite.
# Each first installs what is missing (see scripts/ensure-deps.sh).
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# The project's own builds fail on any warning, mkoctfile's included; a plain `cmake` does not.
CONFIGURE = cmake -S . -B $(BUILD) -DPGMEX_WERROR=ON
# The modules, their sources and include folders: toolbox.txt.
LIST = scripts/toolbox-list.sh toolbox.txt
MODULES := $(shell $(LIST) modules)

.PHONY: all build demo quality package test bench paths compare memory coverage fuzz format lint \
	clean noisefit-table

all: build

build:
	@scripts/ensure-deps.sh
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS)

# The built modules and functions (pgrestore, pgnoisefit) come first on the path.
OCTAVE_PATH = addpath('$(BUILD)/octave', 'examples', 'bench');
WARM_ALLOCATOR = MALLOC_MMAP_MAX_=0 MALLOC_TRIM_THRESHOLD_=1073741824 MALLOC_TOP_PAD_=67108864

demo: build
	$(WARM_ALLOCATOR) octave-cli --norc --no-history --no-window-system --eval \
		"$(OCTAVE_PATH) restore_demo('$(BUILD)/demo');"

# pgrestore's quality, convergence, speed and 3-D benchmarks (bench/restore_quality.m), hours
# of CPU; results are kept in $(BUILD)/quality, so a rerun resumes, and the
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
# At -O1: AddressSanitizer takes twice as long to compile the element kernel's inlined lanes at
# -O3, and what it checks is the same.
# ThreadSanitizer maps its shadow memory at fixed addresses, which a kernel with more address
# randomization than it expects can refuse; the runs go without randomization where allowed.
NO_ASLR := $(shell setarch $$(uname -m) -R true 2>/dev/null && echo setarch $$(uname -m) -R)
define sanitized
cmake -S . -B $(1) -DSANITIZE='$(2)' -DREQUIRE_OCTAVE=OFF -DPGMEX_WERROR=ON \
	-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG='-O1 -g'
cmake --build $(1) -j $(JOBS) --target module_tests lambertw_tests
cd $(1) && $(NO_ASLR) ctest --output-on-failure -j $(JOBS) -R $(STANDIN_SUITES)
endef

test: build
	@scripts/ensure-deps.sh fuzz
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(call sanitized,build-asan,address;undefined;float-cast-overflow)
	$(call sanitized,build-tsan,thread)

# Line and branch coverage of the modules, the Lambert W library and the headers of the include
# folders (the element kernel, the worker pattern) over the stand-in suites. The exception
# edges of host calls are left out of the branch count: they are the host's way out of a call,
# not a decision of the code measured.
COVERED = $(sort $(foreach m,$(MODULES),$(shell $(LIST) sources $(m))) \
	$(foreach d,$(shell $(LIST) includes),$(d)/))
GCOVR = gcovr -r . build-cov $(foreach f,$(COVERED),--filter $(f)) --exclude-throw-branches
coverage:
	@scripts/ensure-deps.sh coverage
	cmake -S . -B build-cov -DCOVERAGE=ON -DREQUIRE_OCTAVE=OFF -DPGMEX_WERROR=ON
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
	$(CONFIGURE)
	cmake --build $(BUILD) --target run_bench

# groupshrinkmt and slopemapmt: the default build beside its avx2 and scalar builds, in turn.
paths:
	@scripts/ensure-deps.sh bench
	$(CONFIGURE)
	cmake --build $(BUILD) --target run_paths

# pgnoisefit's accuracy table on the two photographs (single images and stacks) and its time,
# with the allocator warm (bench/noisefit_table.m); not part of make test.
noisefit-table: build
	env MALLOC_MMAP_MAX_=0 MALLOC_TRIM_THRESHOLD_=1073741824 MALLOC_TOP_PAD_=67108864 \
		octave-cli --norc --no-history --no-window-system --eval \
		"addpath('$(BUILD)/octave', 'bench'); noisefit_table('.');"

# Each module against the vectorized Octave code for the same result, slopemapmt against the bare
# exp, and groupshrinkmt and slopemapmt against their build from commit BASE (default in
# bench/CMakeLists.txt), all in one Octave process (bench/compare_octave.m).
compare: build
	$(CONFIGURE) $(if $(BASE),-DCOMPARE_BASE=$(BASE),-UCOMPARE_BASE)
	cmake --build $(BUILD) --target run_compare

# Peak memory of a call (/usr/bin/time -v) against its inputs and output, time per element and
# minor faults from N = 1e2 to 1e8 (bench/memory.sh).
memory:
	@scripts/ensure-deps.sh bench
	$(CONFIGURE)
	cmake --build $(BUILD) --target run_memory

# libFuzzer over the gateways (fuzz/), FUZZ_SECONDS after the seeds; make test runs 60 s.
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
		--inline-suppr --suppress=missingIncludeSystem -I standin \
		$(addprefix -I ,$(shell $(LIST) includes)) \
		$$(git ls-files '*.cpp')

clean:
	rm -rf $(BUILD) build-asan build-tsan build-cov build-fuzz
