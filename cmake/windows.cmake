# Windows build: ostrel_ca.dll, PE32 (i686) or PE32+ (x86_64), exporting the five
# actions by name from the .def file and importing only Windows system DLLs.
#
# Formatting stays with the Microsoft C runtime (msvcrt.dll): mingw-w64 would
# otherwise switch C++ code to its own C99 printf family, whose "%s" in a wide
# format is narrow and which knows nothing of "%wS". The installer and the
# library's log lines rely on the Microsoft meaning, so every target here, the
# library and its tests alike, is compiled with __USE_MINGW_ANSI_STDIO=0.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=0)

# The version resource (module/version.rc.in), filled in from the project version
# and compiled by the toolchain's windres. An unset fourth number is 0: 1.0.0.0.
enable_language(RC)
set(OSTREL_VERSION_PARTS ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH})
if(PROJECT_VERSION_TWEAK STREQUAL "")
    list(APPEND OSTREL_VERSION_PARTS 0)
else()
    list(APPEND OSTREL_VERSION_PARTS ${PROJECT_VERSION_TWEAK})
endif()
list(JOIN OSTREL_VERSION_PARTS "," OSTREL_VERSION_COMMAS)
list(JOIN OSTREL_VERSION_PARTS "." OSTREL_VERSION_DOTS)
set(OSTREL_DESCRIPTION "Custom actions of the product's installer: time stamp, instance URN, inventory, offline registration, service tag upload")
set(OSTREL_COPYRIGHT "Copyright (C) 2026 the ostrel_ca authors")
configure_file(${CMAKE_SOURCE_DIR}/module/version.rc.in ${CMAKE_BINARY_DIR}/version.rc @ONLY)

add_library(ostrel_ca SHARED ${OSTREL_MODULE_SOURCES} ${CMAKE_SOURCE_DIR}/module/ostrel_ca.def
    ${CMAKE_BINARY_DIR}/version.rc)
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

# Two builds of the same sources give the same bytes, wherever and whenever they
# run: the source and build folders are written into the debugging information as
# ".", the link writes no time stamp (the PE header's and the export table's are
# 0), and a __DATE__ or __TIME__ in the code is a warning (an error in the presets).
set(OSTREL_REPRODUCIBLE_OPTIONS -Wdate-time
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
target_compile_options(ostrel_ca_core PRIVATE ${OSTREL_REPRODUCIBLE_OPTIONS})
target_compile_options(ostrel_ca PRIVATE ${OSTREL_REPRODUCIBLE_OPTIONS})
target_link_options(ostrel_ca PRIVATE -Wl,--no-insert-timestamp)

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
# objcopy and strip write the time of day into the PE header of what they write,
# unless SOURCE_DATE_EPOCH says otherwise: 0, as the link leaves it.
set(OSTREL_NO_TIME ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0)
add_custom_command(TARGET ostrel_ca POST_BUILD
    COMMAND ${OSTREL_NO_TIME} ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:ostrel_ca> $<TARGET_FILE_NAME:ostrel_ca>.debug
    COMMAND ${OSTREL_NO_TIME} ${CMAKE_STRIP} --strip-all $<TARGET_FILE_NAME:ostrel_ca>
    COMMAND ${OSTREL_NO_TIME} ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE_NAME:ostrel_ca>.debug $<TARGET_FILE_NAME:ostrel_ca>
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

include(${CMAKE_SOURCE_DIR}/cmake/release.cmake)
