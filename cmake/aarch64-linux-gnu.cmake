# Cross build for 64-bit Arm Linux on a Debian x86-64 host, with Debian's
# cross compilers (g++-aarch64-linux-gnu) and multiarch libraries
# (libzstd-dev:arm64, libgtest-dev:arm64).  Programs built here run through
# qemu-user: the emulator is named below, so ctest and the tests that start
# cdedup as a child go through it; binfmt_misc is not needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
# Tools (python, bash) are the host's; libraries and packages come from the
# arm64 multiarch directories, which CMAKE_LIBRARY_ARCHITECTURE selects.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config would otherwise hand out the host's libzstd.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The programs run on the multiarch runtime (libc6:arm64, libstdc++6:arm64),
# found at the host's own paths (-L /), not on the copy under the cross root:
# that loader is an older point release than the libc6:arm64 that libzstd
# pulls in, and the mix hangs in pthread_create.
find_program(CDEDUP_QEMU_AARCH64 qemu-aarch64 NO_CMAKE_FIND_ROOT_PATH)
if(CDEDUP_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CDEDUP_QEMU_AARCH64} -L /)
endif()
