# make run   builds and starts the program on the module simulator
# make test  builds and runs every test, headless
# make package  builds the Debian package (in build/)
# make windows  cross-builds the Windows programs, tests and installer (in
#               build-windows/; the first time also Qt for Windows)
#               and runs the tests under wine (with a Linux build in build/,
#               also its command line against the Windows simulator)
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build run test package windows clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD) -j $(JOBS)

# Only the window and the simulator: the tests are built by make test.
run: deps
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD) -j $(JOBS) --target hrvx3300 hrvx3300-sim
	BUILD=$(BUILD) scripts/demo

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300 -j $(JOBS)

package: build
	cd $(BUILD) && cpack -G DEB

# The first time, Qt for Windows is built from Debian's source (about 15
# minutes on two cores; scripts/build-qt-windows), then found in ~/.cache.
windows:
	scripts/install-deps --windows
	qt=$$(scripts/build-qt-windows) && toolchain=$$qt/lib/cmake/Qt6/qt.toolchain.cmake && \
	  { grep -qE "^CMAKE_TOOLCHAIN_FILE:[A-Z]+=$$toolchain$$" build-windows/CMakeCache.txt 2>/dev/null || rm -rf build-windows; } && \
	  cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=$$toolchain -DCMAKE_BUILD_TYPE=Release
	cmake --build build-windows -j $(JOBS)
	scripts/wine-tests build-windows $(if $(wildcard $(BUILD)/app/hrvx3300),$(BUILD))

clean:
	rm -rf $(BUILD) build-windows
