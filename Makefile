# Each target sets up what it needs first (interpreter, tools, build).
.PHONY: demo cluster test docs bench wheels format sanitize tsan fuzz

demo:
	@scripts/run.sh examples/tour.py

# The point-cloud job on a local Dask cluster (see examples/cluster.py).
cluster:
	@scripts/run.sh examples/cluster.py

test:
	@scripts/run.sh -m pytest tests

# The documentation site, into docs/_build/html, read afresh each time; any
# warning, an unresolved cross-reference among them, fails the build.
docs:
	@scripts/run.sh -m sphinx -E -n -W --keep-going -q -b html docs docs/_build/html

# numpy is slowed here by OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE; they are
# unset for the benchmarks only.
bench:
	@env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE scripts/run.sh bench/bench_scalar.py
	@env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE scripts/run.sh bench/bench_veclist.py
	@env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE scripts/run.sh bench/bench_bulk.py
	@env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE scripts/run.sh bench/bench_interop.py
	@env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE scripts/run.sh bench/bench_select.py
	@env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE scripts/run.sh bench/bench_index.py
	@env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE scripts/run.sh bench/bench_rigid.py
	@env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE scripts/run.sh bench/bench_cloud.py
	@env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE scripts/run.sh bench/bench_icp.py
	@env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE scripts/run.sh bench/bench_cluster.py

# One repaired wheel per interpreter, into dist/.
wheels:
	@scripts/wheels.sh

# The suite under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# thread tests under ThreadSanitizer (see scripts/sanitize.sh).
sanitize:
	@scripts/sanitize.sh address

tsan:
	@scripts/sanitize.sh thread

# Every fuzz target for FUZZ_SECONDS each on its stored corpus and beyond
# (see scripts/fuzz.sh).
FUZZ_SECONDS ?= 30
fuzz:
	@scripts/fuzz.sh $(FUZZ_SECONDS)

format:
	@.venv/bin/clang-format -i $$(git ls-files -co --exclude-standard '*.cpp' '*.hpp')
