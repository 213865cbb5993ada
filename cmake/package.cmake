# Debian packages, made by CPack from the two components of the install rules
# (cmake/install.cmake):
#   cdedup          the command, its man page and its bash completion
#   libcdedup-dev   the header, the static archives, the CMake package and
#                   cdedup.pc (Debian names a library's development package
#                   lib<name>-dev, with or without a shared library beside it)
# `cmake --workflow --preset package` configures for the /usr prefix, builds
# and writes both .deb files into build/package.  The prefix has to be /usr
# when configuring, not only when packaging: that is when GNUInstallDirs
# chooses Debian's multiarch library folder (lib/x86_64-linux-gnu), so a
# build for another prefix makes no packages rather than wrong ones.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cdedup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tool dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)   # name_version_arch.deb
set(CPACK_STRIP_FILES ON)
set(CDEDUP_DEB_MAINTAINER "cdedup maintainers <maintainers@users.noreply.c-seed-37178dc0.example>"
  CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CDEDUP_DEB_MAINTAINER}")
# Each package's synopsis is the first line of its own description; with a
# project-wide summary CPack would put that one line in front of both.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME cdedup)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
# Depends: from the shared libraries the binary links (libc, libstdc++,
# libgcc, libzstd), as dpkg-shlibdeps reads them.
set(CPACK_DEBIAN_TOOL_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOL_DESCRIPTION
  "deduplicating filter for backups and other streams with long repeats
cdedup cuts a byte stream into content-defined chunks and replaces each
chunk seen before by a short reference, so that repeats gigabytes apart
cost a few bytes. With -z it writes a standard zstd frame, and it works
as a compressor for tar -I.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libcdedup-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The archives are C++ inside: linking them needs the C++ runtime's
# development files, whatever language the program is written in.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libstdc++-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "pkg-config, cmake")
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "deduplicating stream codec (static library and header)
The streaming encoder and decoder of cdedup as static libraries behind a C
header, for programs that embed them. Found with find_package(cdedup)
(target cdedup::codec) or with pkg-config (cdedup.pc).")

include(CPack)
