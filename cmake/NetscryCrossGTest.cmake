# SPDX-License-Identifier: MIT
# GoogleTest for a cross build, compiled from its sources (Debian's
# googletest package puts them in /usr/src/googletest): the host's gtest
# libraries are Linux ones. Gives the same GTest:: targets find_package does.
set(NETSCRY_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources, built for the target system")
if(NOT EXISTS ${NETSCRY_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "no GoogleTest sources in ${NETSCRY_GTEST_SOURCE_DIR}; "
        "install Debian's googletest or set NETSCRY_GTEST_SOURCE_DIR")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${NETSCRY_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# its own sources trip our warnings, not its own
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)
# (its own CMake defines the GTest:: aliases too)
