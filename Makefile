# make run:  install what building and running need, build both programs, run the service
#            with two simulated controllers.
# make test: install everything (test peers included), build with the tests and the
#            benchmarks, set up the peers, run every test.
# make install [DESTDIR=... PREFIX=...]: install the service, the simulator, its files and the
#            systemd unit (settings files already there are kept).
# make deb:  build the Debian packages (kvoomxsvr, kvoctlsim, their -dbgsym) into $(BUILD)/.
BUILD ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps deps-run build build-run run test install deb clean

all: build

deps:
	@bash scripts/install-deps.sh test

deps-run:
	@bash scripts/install-deps.sh run

build: deps
	$(CONFIGURE) -DBUILD_TESTING=ON -DKVO_BENCHMARKS=ON
	cmake --build $(BUILD) -j $(JOBS)

# The programs alone: neither the tests nor the benchmarks (nor their packages) are needed.
build-run: deps-run
	$(CONFIGURE) -DBUILD_TESTING=OFF -DKVO_BENCHMARKS=OFF
	cmake --build $(BUILD) -j $(JOBS) --target kvoomxsvr kvoctlsim

run: build-run
	@bash scripts/run.sh $(BUILD)

test: build
	@bash scripts/test-setup.sh
	cd $(BUILD) && ctest --output-on-failure -j 2

# The prefix is built into the service (its installed web root), so the programs
# are built again once it is set.
install: deps-run
	$(CONFIGURE) -DBUILD_TESTING=OFF -DKVO_BENCHMARKS=OFF -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD) -j $(JOBS) --target kvoomxsvr kvoctlsim
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)

deb: deps-run
	$(CONFIGURE) -DBUILD_TESTING=OFF -DKVO_BENCHMARKS=OFF -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(BUILD) -j $(JOBS) --target kvoomxsvr kvoctlsim
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD)
