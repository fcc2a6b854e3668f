# Unit tests of the Windows build: the portable test table (tests that need none of
# the posix seams) compiled with mingw-w64 into one static program that runs under
# Wine against the real C runtime and process heap. The same table passes on the
# Linux build, which shows the posix substitutes behave as Windows does.
#
# GoogleTest is built from the distribution's sources (/usr/src/googletest, or
# OSTREL_GOOGLETEST_SOURCE) with the same cross toolchain. The program is linked
# -static, so it needs nothing beside it but kernel32, msvcrt and the system DLLs
# the library itself imports.
set(OSTREL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows tests")

file(GLOB OSTREL_PORTABLE_TEST_SOURCES CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/tests/unit/portable/*.cpp)

if(NOT OSTREL_PORTABLE_TEST_SOURCES)
    message(STATUS "No portable unit tests yet: the Windows test program is not built")
elseif(NOT EXISTS ${OSTREL_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(WARNING "GoogleTest sources not found in ${OSTREL_GOOGLETEST_SOURCE}: "
        "the Windows test program is not built")
else()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    # GoogleTest is not ours to hold to the project's warning flags.
    set(OSTREL_SAVED_COMPILE_OPTIONS "${COMPILE_OPTIONS}")
    get_directory_property(OSTREL_SAVED_COMPILE_OPTIONS COMPILE_OPTIONS)
    set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
    add_subdirectory(${OSTREL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    set_directory_properties(PROPERTIES COMPILE_OPTIONS "${OSTREL_SAVED_COMPILE_OPTIONS}")

    add_executable(ostrel_unit_tests ${OSTREL_PORTABLE_TEST_SOURCES})
    target_include_directories(ostrel_unit_tests PRIVATE ${CMAKE_SOURCE_DIR})
    target_link_libraries(ostrel_unit_tests PRIVATE ostrel_ca_core gmock gtest_main)
    target_link_options(ostrel_unit_tests PRIVATE -static -static-libgcc -static-libstdc++)
endif()
