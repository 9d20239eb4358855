# Tilo: the two commands of the README, plus the hand-run benchmarks.
JOBS ?= $(shell nproc)
GEN  := -G Ninja

.PHONY: deps run test bench clean

deps:
	@scripts/install-deps

run: deps
	cmake -S . -B build/release $(GEN) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build build/release -j $(JOBS)
	@if [ -x build/release/app/tilo ]; then build/release/app/tilo; \
	else echo "The receiver program is not built yet; tools are in build/release/tools."; fi

test: deps
	cmake -S . -B build/test $(GEN) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DTILO_SANITIZE=ON
	cmake --build build/test -j $(JOBS)
	cd build/test && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

bench: deps
	cmake -S . -B build/bench $(GEN) -DCMAKE_BUILD_TYPE=Release -DTILO_BENCH=ON -DBUILD_TESTING=OFF
	cmake --build build/bench -j $(JOBS)
	@for b in build/bench/bench/bench_*; do [ -x "$$b" ] && "$$b"; done; true

clean:
	rm -rf build
