# Korvalen: the two set-up commands (demo, test) and the rest.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: deps build demo test gui screenshots bench faults fuzz clean

deps:
	@scripts/deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	scripts/demo.sh $(BUILD)/bin

test: build
	cd $(BUILD) && ctest --output-on-failure --timeout 300

clean:
	rm -rf $(BUILD)
