# Each target sets up what it needs first (interpreter, tools, build).
.PHONY: demo test bench wheels format

demo:
	@scripts/run.sh examples/tour.py

test:
	@scripts/run.sh -m pytest tests

bench:
	@scripts/run.sh bench/bench_scalar.py

# One repaired wheel per interpreter, into dist/.
wheels:
	@scripts/wheels.sh

format:
	@.venv/bin/clang-format -i $$(git ls-files -co --exclude-standard '*.cpp' '*.hpp')
