# SPDX-License-Identifier: MIT
# The program's Win32 layer without Qt, run under Wine (run-win32-layer.sh);
# the test program carries a version resource of its own.
if(TARGET netscry_win32)
    include(NetscryVersionResource)
    add_executable(test_win32_layer test_win32_layer.cpp)
    netscry_version_resource(test_win32_layer "Netscry Win32 layer test")
    netscry_version_parts()
    target_compile_definitions(test_win32_layer PRIVATE
        NETSCRY_VERSION_MAJOR=${NETSCRY_VERSION_MAJOR} NETSCRY_VERSION_MINOR=${NETSCRY_VERSION_MINOR}
        NETSCRY_VERSION_PATCH=${NETSCRY_VERSION_PATCH} NETSCRY_VERSION_TWEAK=${NETSCRY_VERSION_TWEAK}
        NETSCRY_VERSION_TEXT="${NETSCRY_VERSION_MAJOR}.${NETSCRY_VERSION_MINOR}.${NETSCRY_VERSION_PATCH}.${NETSCRY_VERSION_TWEAK}"
        NETSCRY_ABOUT_TEXT="${NETSCRY_VERSION_MAJOR}.4.${NETSCRY_VERSION_PATCH} build ${NETSCRY_VERSION_TWEAK}")
    target_link_libraries(test_win32_layer PRIVATE netscry_win32)
    if(MINGW)
        target_link_options(test_win32_layer PRIVATE -static)
    endif()
endif()
