# SPDX-License-Identifier: MIT
# The program's Win32 layer without Qt, run under Wine (run-win32-layer.sh);
# the test program carries a version resource of its own.
if(TARGET netscry_win32)
    include(NetscryVersionResource)
    add_executable(test_win32_layer test_win32_layer.cpp)
    netscry_version_resource(test_win32_layer "Netscry Win32 layer test")
    foreach(part MAJOR MINOR PATCH TWEAK)
        set(v_${part} ${PROJECT_VERSION_${part}})
        if(v_${part} STREQUAL "")
            set(v_${part} 0)
        endif()
    endforeach()
    target_compile_definitions(test_win32_layer PRIVATE
        NETSCRY_VERSION_MAJOR=${v_MAJOR} NETSCRY_VERSION_MINOR=${v_MINOR}
        NETSCRY_VERSION_PATCH=${v_PATCH} NETSCRY_VERSION_TWEAK=${v_TWEAK}
        NETSCRY_VERSION_TEXT="${v_MAJOR}.${v_MINOR}.${v_PATCH}.${v_TWEAK}"
        NETSCRY_ABOUT_TEXT="${v_MAJOR}.4.${v_PATCH} build ${v_TWEAK}")
    target_link_libraries(test_win32_layer PRIVATE netscry_win32)
    if(MINGW)
        target_link_options(test_win32_layer PRIVATE -static)
    endif()
endif()
