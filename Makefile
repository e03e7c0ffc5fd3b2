# Korvalen: the two set-up commands (demo, test) and the rest.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: deps build demo test gui screenshots bench faults fuzz sanitize windows clean
.PHONY: package package-test
.PHONY: windows-test windows-screenshots
.PHONY: gui-test

deps:
	@scripts/deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# A firmware load into the virtual device, checked byte for byte.
demo: build
	scripts/demo.sh $(BUILD)/bin

# The journal's tests start PostgreSQL servers of their own.
TEST_PACKAGES = postgresql-15
test: build
	scripts/deps.sh $(TEST_PACKAGES)
	cd $(BUILD) && ctest --output-on-failure --timeout 300

# The desktop program against the virtual device (needs a display).
gui: build
	scripts/gui.sh $(BUILD)/bin

# The desktop program on a real X display (Xvfb, openbox) driven by xdotool.
GUI_TEST_PACKAGES = xvfb openbox fluxbox xdotool x11-utils imagemagick tesseract-ocr tesseract-ocr-rus
gui-test: build
	scripts/deps.sh $(GUI_TEST_PACKAGES)
	scripts/gui-test.sh $(BUILD)/bin

# The windows rendered to docs/*.png (offscreen).
screenshots: build
	scripts/screenshots.sh $(BUILD)/bin docs

# Load time against the line's lower bound, CPU and memory.
bench: build
	scripts/deps.sh $(GUI_TEST_PACKAGES) $(TEST_PACKAGES)
	scripts/bench.sh $(BUILD)

# Loads under injected faults: every one ends done with exact memory or failed cleanly.
faults: build
	scripts/faults.sh $(BUILD)

fuzz:
	scripts/fuzz.sh 60

sanitize:
	scripts/sanitize.sh

# korvalen.exe, korvalen-cli.exe, korvalen-setup.exe and the portable zip.
windows:
	scripts/windows-build.sh

# The Debian package korvalen_<version>_amd64.deb, in $(BUILD).
package: build
	scripts/deps.sh dpkg-dev
	cd $(BUILD) && cpack -G DEB

# The package installed, used and removed (as root).
package-test: package
	scripts/deps.sh xvfb openbox xdotool desktop-file-utils
	scripts/package-test.sh $(BUILD)

# The Windows programs under Wine: the command line against the virtual
# device, the desktop program under Xvfb, the installer.
windows-test: build
	scripts/windows-test.sh $(BUILD)

# The same, with every Win32 window saved to docs/windows-*.png.
windows-screenshots: build
	KORVALEN_SHOTS=$(CURDIR)/docs scripts/windows-test.sh $(BUILD)

clean:
	rm -rf $(BUILD) build-asan build-fuzz build-mingw
