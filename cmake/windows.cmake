# Windows build: ostrel_ca.dll, PE32 (i686) or PE32+ (x86_64), exporting the five
# actions by name from the .def file and importing only Windows system DLLs.
#
# Formatting stays with the Microsoft C runtime (msvcrt.dll): mingw-w64 would
# otherwise switch C++ code to its own C99 printf family, whose "%s" in a wide
# format is narrow and which knows nothing of "%wS". The installer and the
# library's log lines rely on the Microsoft meaning, so every target here, the
# library and its tests alike, is compiled with __USE_MINGW_ANSI_STDIO=0.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=0)

add_library(ostrel_ca SHARED ${OSTREL_MODULE_SOURCES} ${CMAKE_SOURCE_DIR}/module/ostrel_ca.def)
target_link_libraries(ostrel_ca PRIVATE ostrel_ca_core)
target_link_libraries(ostrel_ca_core PUBLIC
    msi ole32 oleaut32 uuid rpcrt4 advapi32 winhttp shell32 kernel32)
set_target_properties(ostrel_ca PROPERTIES PREFIX "" OUTPUT_NAME ostrel_ca)
# The C++ runtime, libgcc and winpthread are linked in, so nothing but system DLLs
# has to stand beside ostrel_ca.dll. --kill-at keeps the .def names undecorated on
# i686, where __stdcall functions are otherwise exported as Name@4.
target_link_options(ostrel_ca PRIVATE -static -static-libgcc -static-libstdc++
    -Wl,--enable-stdcall-fixup -Wl,--kill-at)

if(OSTREL_BUILD_TESTS)
    include(${CMAKE_SOURCE_DIR}/tests/unit/windows.cmake)
endif()
