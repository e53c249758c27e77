# The two commands of the README:
#   make run   installs what is missing, builds and starts JOLTO Host
#   make test  installs what is missing, builds twice (GCC, Clang with sanitizers) and runs
#              every test in both, then the audio capture's tests under ThreadSanitizer,
#              then fuzzes the packet decoder for a bounded time
# and  make package  builds the Debian package build/release/jolto-host_<version>_<arch>.deb
JOBS ?= $(shell nproc)

.PHONY: all setup build run test format package clean

all: build

setup:
	@scripts/setup.sh

build: setup
	cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/release -j $(JOBS)

package: build
	cmake --build build/release --target package

run: build
	scripts/run.sh build/release

test: setup
	scripts/test.sh

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
