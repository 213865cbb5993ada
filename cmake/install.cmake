# Install rules: the command and its man page, and the codec as a static
# library with a CMake package, so that another project embeds it with
#   find_package(cdedup) + target_link_libraries(app PRIVATE cdedup::codec).
# The library is C++ (its codec body runs on a C++20 coroutine) behind a C
# header: a consumer written in C still needs the C++ runtime at link time,
# which the package asks for instead of leaving it to a link error.
include(CMakePackageConfigHelpers)

set(CDEDUP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/cdedup)

install(TARGETS cdedup RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/cdedup.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

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
install(TARGETS cdedup_codec cdedup_dedup cdedup_platform EXPORT cdedupTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/cdedup/cdedup.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/cdedup)
install(EXPORT cdedupTargets NAMESPACE cdedup:: FILE cdedupTargets.cmake DESTINATION ${CDEDUP_CMAKE_DIR})

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
  DESTINATION ${CDEDUP_CMAKE_DIR})
