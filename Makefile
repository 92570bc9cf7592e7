# make run:  install what is missing, build, run the service with two simulated controllers.
# make test: install what is missing, build, set up the test peers, run every test.
BUILD ?= build
JOBS ?= $(shell nproc)
# make run builds the programs alone; make test adds the tests and the benchmarks.
CMAKE_FLAGS ?=

.PHONY: all deps build run test clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

run: CMAKE_FLAGS = -DBUILD_TESTING=OFF -DKVO_BENCHMARKS=OFF
run: build
	@bash scripts/run.sh $(BUILD)

test: CMAKE_FLAGS = -DBUILD_TESTING=ON -DKVO_BENCHMARKS=ON
test: build
	@bash scripts/test-setup.sh
	cd $(BUILD) && ctest --output-on-failure -j 2

clean:
	rm -rf $(BUILD)
