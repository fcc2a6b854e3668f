# Linux build: the posix platform layer, the shared object, the host and the tests.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBXML2 REQUIRED IMPORTED_TARGET libxml-2.0)
# WinHTTP over libcurl; OpenSSL (libcurl's TLS here) for the extra trusted CA.
pkg_check_modules(LIBCURL REQUIRED IMPORTED_TARGET libcurl)
find_package(OpenSSL REQUIRED)
find_package(Threads REQUIRED)
# Package databases (MsiOpenDatabaseW and its views) over libmsi, msitools' MSI
# reader; its pkg-config module brings GLib, GObject and GIO, which it is built on.
pkg_check_modules(LIBMSI REQUIRED IMPORTED_TARGET libmsi-1.0)

# libostrel_win32.so plays the part of the Windows system DLLs: one instance per
# process, shared by the host, the library and the tests (the installer session
# store lives here, as it lives in msi.dll on Windows).
file(GLOB OSTREL_POSIX_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/posix/*/*.cpp)
add_library(ostrel_win32 SHARED ${OSTREL_POSIX_SOURCES})
target_include_directories(ostrel_win32 PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(ostrel_win32 PUBLIC Threads::Threads PRIVATE PkgConfig::LIBXML2 ${CMAKE_DL_LIBS})
target_link_libraries(ostrel_win32 PRIVATE PkgConfig::LIBCURL OpenSSL::SSL)
target_link_libraries(ostrel_win32 PRIVATE PkgConfig::LIBMSI)
target_link_libraries(ostrel_ca_core PUBLIC ostrel_win32)

if(OSTREL_BUILD_FUZZ)
    # Fuzzing needs only the libraries the targets call.
    add_subdirectory(tests/fuzz)
    return()
endif()

# libostrel_ca.so exports the action functions and nothing else.
add_library(ostrel_ca SHARED ${OSTREL_MODULE_SOURCES})
target_compile_options(ostrel_ca PRIVATE ${OSTREL_LIBRARY_COMPILE_OPTIONS})
target_link_libraries(ostrel_ca PRIVATE ostrel_ca_core)
set_target_properties(ostrel_ca PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${CMAKE_SOURCE_DIR}/module/exports.map)
target_link_options(ostrel_ca PRIVATE
    -Wl,--version-script=${CMAKE_SOURCE_DIR}/module/exports.map -Wl,--no-undefined)

file(GLOB OSTREL_HOST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/host/*.cpp)
add_executable(ostrel-ca-run ${OSTREL_HOST_SOURCES})
target_link_libraries(ostrel-ca-run PRIVATE ostrel_win32 ${CMAKE_DL_LIBS})
add_dependencies(ostrel-ca-run ostrel_ca)

# ostrel-ca-check, the package checker, over the database calls of the platform layer.
file(GLOB OSTREL_CHECKER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/checker/*.cpp)
add_executable(ostrel-ca-check ${OSTREL_CHECKER_SOURCES})
target_link_libraries(ostrel-ca-check PRIVATE ostrel_win32)

if(OSTREL_BUILD_TESTS)
    enable_testing()
    add_subdirectory(tests/unit)
    add_subdirectory(tests/torture)
endif()

if(OSTREL_BUILD_BENCH)
    add_subdirectory(bench)
endif()
