# Quick start: `make demo` runs the demo, `make test` runs every suite.
# Each first installs what is missing (see scripts/ensure-deps.sh).
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build demo test bench format lint clean

all: build

build:
	@scripts/ensure-deps.sh
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	octave-cli --norc --no-history --no-window-system examples/demo.m $(BUILD)/octave

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench:
	@scripts/ensure-deps.sh bench
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) --target run_bench

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
	rm -rf $(BUILD)
