# The two commands a newcomer needs; everything else is in scripts/.
.PHONY: demo test bench clean

demo:
	@scripts/demo.sh

test:
	@scripts/test.sh

bench:
	@scripts/bench.sh

clean:
	rm -rf build .venvs
