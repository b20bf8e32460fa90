# The two commands a newcomer needs; everything else is in scripts/.
.PHONY: demo test bench sanitize clean

demo:
	@scripts/demo.sh

test:
	@scripts/test.sh

bench:
	@scripts/bench.sh

sanitize:
	@scripts/sanitize.sh

clean:
	rm -rf build .venvs
