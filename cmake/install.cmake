# Install rules: the command with its man page and bash completion, and the
# codec as static libraries with a CMake package and a pkg-config file, so
# that another project embeds it with
#   find_package(cdedup) + target_link_libraries(app PRIVATE cdedup::codec)
# or with `pkg-config --cflags --libs cdedup`.  The library is C++ (its codec
# body runs on a C++20 coroutine) behind a C header: a consumer written in C
# still needs the C++ runtime at link time, which both ask for instead of
# leaving it to a link error.
#
# Two components, one Debian package each (cmake/package.cmake): "tool" for
# whoever runs cdedup, "dev" for whoever builds against it.
include(CMakePackageConfigHelpers)

set(CDEDUP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/cdedup)

install(TARGETS cdedup RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
install(FILES ${PROJECT_SOURCE_DIR}/docs/cdedup.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
# Where bash-completion looks for a command's completion when it is first needed.
install(FILES ${PROJECT_SOURCE_DIR}/completion/cdedup.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME cdedup COMPONENT tool)
# The measured sizes and times that the help text and the man page point to.
install(FILES ${PROJECT_SOURCE_DIR}/bench/chart.svg ${PROJECT_SOURCE_DIR}/bench/results.tsv
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tool)

# Exported as cdedup::codec, the same name the build tree's alias gives it.
# CMake records the static library's link language (CXX) in the export, so a
# consumer is linked by the C++ driver; the sanitizer runtime of an
# instrumented build has to travel the same way.
set_target_properties(cdedup_codec PROPERTIES EXPORT_NAME codec)
if(CDEDUP_SANITIZE)
  target_link_options(cdedup_codec INTERFACE $<INSTALL_INTERFACE:-fsanitize=address,undefined>)
endif()
# The layers below the codec are static libraries of their own, installed
# beside it and linked through it; a consumer names cdedup::codec alone.
set_target_properties(cdedup_dedup PROPERTIES EXPORT_NAME dedup)
set_target_properties(cdedup_platform PROPERTIES EXPORT_NAME platform)
install(TARGETS cdedup_codec cdedup_dedup cdedup_platform EXPORT cdedupTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/include/cdedup/cdedup.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/cdedup COMPONENT dev)
install(EXPORT cdedupTargets NAMESPACE cdedup:: FILE cdedupTargets.cmake DESTINATION ${CDEDUP_CMAKE_DIR} COMPONENT dev)

# The config template lives here rather than in a file of its own so the
# whole package is described in one place.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/cdedupConfig.cmake.in [=[
@PACKAGE_INIT@

# cdedup::codec is a static C++ library: whoever links it must have C++
# enabled, even when the calling code is C.
get_property(_cdedup_languages GLOBAL PROPERTY ENABLED_LANGUAGES)
if(NOT "CXX" IN_LIST _cdedup_languages)
  set(${CMAKE_FIND_PACKAGE_NAME}_FOUND FALSE)
  set(${CMAKE_FIND_PACKAGE_NAME}_NOT_FOUND_MESSAGE
      "cdedup::codec is a C++ library; enable CXX in project() or enable_language(CXX) so it links with the C++ runtime")
  unset(_cdedup_languages)
  return()
endif()
unset(_cdedup_languages)

# The encoder's worker threads.
include(CMakeFindDependencyMacro)
find_dependency(Threads)

include("${CMAKE_CURRENT_LIST_DIR}/cdedupTargets.cmake")
check_required_components(cdedup)
]=])
configure_package_config_file(${CMAKE_CURRENT_BINARY_DIR}/cdedupConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/cdedupConfig.cmake
  INSTALL_DESTINATION ${CDEDUP_CMAKE_DIR})
# 0.x releases may change the API between minor versions.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/cdedupConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/cdedupConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/cdedupConfigVersion.cmake
  DESTINATION ${CDEDUP_CMAKE_DIR} COMPONENT dev)

# ---- pkg-config
# There are only static archives, so every link needs what they need: the
# three archives, in the order they depend on each other, then the C++
# runtime (the driver of a C program does not add it) and threads.  These sit
# in Libs rather than Libs.private, so that `pkg-config --libs` and
# `pkg-config --static --libs` both link.  A library that a layer comes to link
# (target_link_libraries above) belongs on this line too: the install test and
# CI link a C program with `cc` and pkg-config alone, which fails without it.
set(CDEDUP_PC_LIBS "-lcdedup -lcdedup_dedup -lcdedup_platform -lstdc++ -lm -pthread")
if(CDEDUP_SANITIZE)
  string(APPEND CDEDUP_PC_LIBS " -fsanitize=address,undefined")
endif()
# The prefix is the one installed into, known only when installing:
# `cmake --install --prefix DIR` and the packages (/usr, staged below DESTDIR)
# both get a file that names where the headers and archives really are.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/cdedup.pc.in [=[
prefix=@CDEDUP_PC_PREFIX@
libdir=${prefix}/@CMAKE_INSTALL_LIBDIR@
includedir=${prefix}/@CMAKE_INSTALL_INCLUDEDIR@

Name: cdedup
Description: @PROJECT_DESCRIPTION@ (streaming codec library)
Version: @PROJECT_VERSION@
Cflags: -I${includedir}
Libs: -L${libdir} @CDEDUP_PC_LIBS@
]=])
set(CDEDUP_PC_PREFIX "@CDEDUP_PC_PREFIX@")   # left for the install step to fill in
configure_file(${CMAKE_CURRENT_BINARY_DIR}/cdedup.pc.in ${CMAKE_CURRENT_BINARY_DIR}/cdedup.pc.prefix @ONLY)
install(CODE "
  file(READ \"${CMAKE_CURRENT_BINARY_DIR}/cdedup.pc.prefix\" pc)
  string(REPLACE \"@CDEDUP_PC_PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" pc \"\${pc}\")
  file(WRITE \"${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/cdedup.pc\" \"\${pc}\")" COMPONENT dev)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/cdedup.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
