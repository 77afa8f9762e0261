# Short commands; CMake is the build of record.
#   make build PYTHON=<interpreter> BUILD=<folder>   build the module for one interpreter
#   make test                                        install what the tests need, build, run every test
#   make demo                                        install what building needs, build, run the example
#   make examples                                    the jobs the module is for, about a minute each
#   make bench [BENCH_FLAGS=--quick]                 engine, operation and tree-training benchmarks:
#                                                    tables, bench/results.json and .png, the README's
#                                                    tables
#   make check-hard                                  every test plus fuzzing, sanitizers on the
#                                                    Python suite, soak, constant-time check

# The interpreter that `python3` runs, as `python3 -m pip install .` would build for.
PYTHON ?= $(or $(shell command -v python3),python3)
BUILD ?= build
JOBS ?= $(shell nproc)
DIST_PACKAGES = /usr/lib/python3/dist-packages

.PHONY: build test ci check-hard demo examples bench clean format-check

# Each script installs what it needs (scripts/install-deps) and shows build
# output only when something fails.
build:
	@./scripts/install-deps build
	@echo "building hecrypt for $(PYTHON) in $(BUILD)/"
	@./scripts/quietly cmake -S . -B $(BUILD) -DPython3_EXECUTABLE=$(PYTHON) -DCMAKE_BUILD_TYPE=Release -DHECRYPT_TESTS=OFF
	@./scripts/quietly cmake --build $(BUILD) -j $(JOBS)

test:
	./scripts/run-tests

# What CI runs: the layout check, every test, then a short fuzzing run, the
# worker-fault tests, the threaded tests under ThreadSanitizer and the
# constant-time checks.
ci: format-check test
	./scripts/fuzz 60
	./scripts/fault-injection-tests
	./scripts/tsan-tests
	./scripts/ct-check

# Everything, within about 15 minutes on two cores.
check-hard: test
	./scripts/fuzz 240
	./scripts/fault-injection-tests
	./scripts/tsan-tests
	./scripts/memcheck-python
	./scripts/ct-check
	$(MAKE) --no-print-directory build
	PYTHONPATH=$(BUILD) $(PYTHON) scripts/soak.py
	HECRYPT_SLOW_TESTS=1 PYTHONPATH=$(BUILD):$(DIST_PACKAGES) $(PYTHON) -m pytest -q \
		-p no:cacheprovider tests/python/test_module.py -k default_key_pair

format-check:
	./scripts/format-check

demo: build
	PYTHONPATH=$(BUILD) $(PYTHON) examples/roundtrip.py

# The system's tqdm and Dask import under the system's CPython only.
examples: PYTHON = python3
examples: BUILD = build-examples
examples: build
	@./scripts/install-deps examples
	for example in secure_boost vertical_tree linear_gradient distributed_blocks; do \
		PYTHONPATH=$(BUILD):$(DIST_PACKAGES) $(PYTHON) examples/$$example.py || exit 1; done

bench:
	@./scripts/install-deps bench
	cmake -S . -B build-bench -DHECRYPT_BENCH=ON -DHECRYPT_PYTHON=OFF -DHECRYPT_TESTS=OFF >/dev/null
	cmake --build build-bench -j $(JOBS) -- -s
	$(PYTHON) bench/report.py build-bench/core_bench $(BENCH_FLAGS)
	@$(MAKE) --no-print-directory build PYTHON=python3 BUILD=build-examples
	PYTHONPATH=build-examples:$(DIST_PACKAGES) python3 bench/tree.py $(BENCH_FLAGS)
	PYTHONPATH=$(DIST_PACKAGES) python3 bench/plot.py

clean:
	rm -rf build build-* *.egg-info
