# Cross build for the unit's board (32-bit ARM, Debian "armhf") from a Debian PC.
# Uses Debian's cross compiler and the :armhf development packages installed next to the PC's own
# (multiarch), so there is no separate sysroot: headers in /usr/include, libraries in
# /usr/lib/arm-linux-gnueabihf. scripts/cross-armhf.sh installs both.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Only the armhf libraries may be found, never the PC's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_IGNORE_PREFIX_PATH /usr/lib/x86_64-linux-gnu)

# ctest (and gtest discovery) run every armhf program through user-mode emulation; the tests that
# start the program as a child process read the same setting (tests/CMakeLists.txt).
# The programs load Debian's own armhf loader and libraries (libc6:armhf, the board's), found at
# their multiarch paths, hence the prefix "/". The cross compiler's copy under
# /usr/arm-linux-gnueabihf is a different C library release: its loader with libc6:armhf's libc
# (which the :armhf library packages bring) crashes every program that starts a thread.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)
