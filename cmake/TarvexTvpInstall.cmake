# SPDX-License-Identifier: MIT
# Install and export rules of the TVP library: a versioned shared object
# that exports only the TVP names, its public header, a pkg-config file and
# a CMake package with the imported target tarvextvp::tarvextvp.
#
# Included from the top level after the tvp/ directory, so that tvp/ keeps
# only the build of the library itself.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The library's own ABI version, independent of the program's version:
# bump the major number on any incompatible change to tvp.h.
set(TARVEXTVP_VERSION 1.0.0)
string(REGEX MATCH "^[0-9]+" TARVEXTVP_SOVERSION "${TARVEXTVP_VERSION}")

set(TARVEXTVP_VERSION_SCRIPT ${PROJECT_SOURCE_DIR}/tvp/tarvextvp.map)
set_target_properties(tarvextvp PROPERTIES
    VERSION ${TARVEXTVP_VERSION}
    SOVERSION ${TARVEXTVP_SOVERSION})
# a DLL exports only what is marked TVP_API: no version script there
if(NOT WIN32)
    set_target_properties(tarvextvp PROPERTIES LINK_DEPENDS ${TARVEXTVP_VERSION_SCRIPT})
    target_link_options(tarvextvp PRIVATE "LINKER:--version-script=${TARVEXTVP_VERSION_SCRIPT}")
endif()
# Every symbol resolved at link time; sanitizer runtimes come from the
# program, so not there.
if(NOT NETSCRY_SANITIZE)
    target_link_options(tarvextvp PRIVATE "LINKER:--no-undefined")
endif()

# The public header: tvp.h in the library's public include directory. Plain
# build-tree paths become build-only so the exported target carries the
# installed include directory instead.
get_target_property(_tvp_includes tarvextvp INTERFACE_INCLUDE_DIRECTORIES)
set(_tvp_build_includes)
set(TARVEXTVP_PUBLIC_HEADER "")
foreach(_dir IN LISTS _tvp_includes)
    if(_dir MATCHES "^\\$<BUILD_INTERFACE:(.*)>$")
        set(_path ${CMAKE_MATCH_1})
        list(APPEND _tvp_build_includes "${_dir}")
    elseif(_dir MATCHES "^\\$<")
        list(APPEND _tvp_build_includes "${_dir}")
        continue()
    else()
        set(_path ${_dir})
        list(APPEND _tvp_build_includes "$<BUILD_INTERFACE:${_dir}>")
    endif()
    if(NOT TARVEXTVP_PUBLIC_HEADER AND EXISTS "${_path}/tvp.h")
        set(TARVEXTVP_PUBLIC_HEADER "${_path}/tvp.h")
    endif()
endforeach()
if(NOT TARVEXTVP_PUBLIC_HEADER)
    message(FATAL_ERROR "tvp.h is in none of tarvextvp's public include directories: ${_tvp_includes}")
endif()
set_target_properties(tarvextvp PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_tvp_build_includes}")
target_include_directories(tarvextvp PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
unset(_tvp_includes)
unset(_tvp_build_includes)

install(TARGETS tarvextvp EXPORT tarvextvpTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        COMPONENT library NAMELINK_COMPONENT development
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES ${TARVEXTVP_PUBLIC_HEADER}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

set(TARVEXTVP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarvextvp)
install(EXPORT tarvextvpTargets
    NAMESPACE tarvextvp::
    DESTINATION ${TARVEXTVP_CMAKE_DIR}
    COMPONENT development)
configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/tarvextvpConfig.cmake.in
    ${PROJECT_BINARY_DIR}/tarvextvpConfig.cmake
    INSTALL_DESTINATION ${TARVEXTVP_CMAKE_DIR})
# Same major number, same ABI.
write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/tarvextvpConfigVersion.cmake
    VERSION ${TARVEXTVP_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
        ${PROJECT_BINARY_DIR}/tarvextvpConfig.cmake
        ${PROJECT_BINARY_DIR}/tarvextvpConfigVersion.cmake
    DESTINATION ${TARVEXTVP_CMAKE_DIR}
    COMPONENT development)

# pkg-config: paths relative to the prefix the file is installed under, so
# an unpacked or relocated tree works as well as /usr.
file(RELATIVE_PATH _tvp_pc_to_prefix
    /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" _tvp_pc_to_prefix "${_tvp_pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tarvextvp.pc.in
    ${PROJECT_BINARY_DIR}/tarvextvp.pc @ONLY)
unset(_tvp_pc_to_prefix)
install(FILES ${PROJECT_BINARY_DIR}/tarvextvp.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT development)
