# make run   builds and starts the program on the module simulator
# make test  builds and runs every test, headless
# make package  builds the Debian package (in build/)
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build run test package clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	BUILD=$(BUILD) scripts/demo

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300 -j $(JOBS)

package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD)
