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
target_compile_options(ostrel_ca PRIVATE ${OSTREL_LIBRARY_COMPILE_OPTIONS})
target_link_libraries(ostrel_ca PRIVATE ostrel_ca_core)
target_link_libraries(ostrel_ca_core PUBLIC
    msi ole32 oleaut32 uuid rpcrt4 advapi32 winhttp shell32 kernel32)
set_target_properties(ostrel_ca PROPERTIES PREFIX "" OUTPUT_NAME ostrel_ca)
# The C++ runtime, libgcc and winpthread are linked in, so nothing but system DLLs
# has to stand beside ostrel_ca.dll. --kill-at keeps the .def names undecorated on
# i686, where __stdcall functions are otherwise exported as Name@4.
target_link_options(ostrel_ca PRIVATE -static -static-libgcc -static-libstdc++
    -Wl,--enable-stdcall-fixup -Wl,--kill-at)

# Every custom action call makes the installer extract the DLL from the package, so
# its size is paid on every call. All of the library's code is cold (it runs once
# per install step), so it is optimized for size.
target_compile_options(ostrel_ca_core PRIVATE -Os)
target_compile_options(ostrel_ca PRIVATE -Os)
# 32-bit Windows unwinds structured exceptions through the frame chain, and the
# library throws no C++ exception, so the DWARF unwind tables would only be
# carried along. (64-bit Windows unwinds through tables: they stay there.)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    target_compile_options(ostrel_ca_core PRIVATE -fno-asynchronous-unwind-tables)
    target_compile_options(ostrel_ca PRIVATE -fno-asynchronous-unwind-tables)
endif()

# The shipped DLL carries no symbols. Its debugging information stays beside it in
# ostrel_ca.dll.debug, which the stripped DLL names through a debug link, so a
# debugger given both finds the symbols.
if(NOT CMAKE_OBJCOPY OR NOT CMAKE_STRIP)
    message(FATAL_ERROR "objcopy and strip of the mingw-w64 toolchain are needed to strip the DLL")
endif()
add_custom_command(TARGET ostrel_ca POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:ostrel_ca> $<TARGET_FILE_NAME:ostrel_ca>.debug
    COMMAND ${CMAKE_STRIP} --strip-all $<TARGET_FILE_NAME:ostrel_ca>
    COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE_NAME:ostrel_ca>.debug $<TARGET_FILE_NAME:ostrel_ca>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:ostrel_ca>
    COMMENT "Stripping ostrel_ca.dll (symbols kept in ostrel_ca.dll.debug)"
    VERBATIM)

# ostrel-ca-check.exe, the package checker, over msi.dll's database calls: linked
# statically like the Windows test program, so it runs with system DLLs alone;
# wmain (-municode) takes the command line as UTF-16.
file(GLOB OSTREL_CHECKER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/checker/*.cpp)
add_executable(ostrel-ca-check ${OSTREL_CHECKER_SOURCES})
target_include_directories(ostrel-ca-check PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(ostrel-ca-check PRIVATE msi)
target_link_options(ostrel-ca-check PRIVATE -static -static-libgcc -static-libstdc++ -municode)

if(OSTREL_BUILD_TESTS)
    include(${CMAKE_SOURCE_DIR}/tests/unit/windows.cmake)
endif()
