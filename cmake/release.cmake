# The release archive, ostrel_ca-VERSION-windows.zip, made by CPack's ZIP generator:
#
#   x86/ and x64/   ostrel_ca.dll and ostrel_ca.dll.debug of the two builds
#   examples/       the sample authoring (ostrel_desk.wxs) and installation folder
#   docs/           reference.md
#   README.md       the README's sections for installer authors
#   SHA256SUMS      the sum of every other file, as sha256sum writes them
#
# Each build tree installs its own DLL (component "dll"); the 32-bit tree, the
# product's, also installs the authoring files and holds the CPack configuration,
# which gathers the 64-bit tree's DLL from OSTREL_RELEASE_X64_BUILD. scripts/release
# builds both and runs CPack; so does `cmake --build --preset mingw-i686 --target
# package` once the 64-bit tree is built.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    set(OSTREL_RELEASE_ARCH_DIR x86)
else()
    set(OSTREL_RELEASE_ARCH_DIR x64)
endif()
install(FILES $<TARGET_FILE:ostrel_ca> $<TARGET_FILE:ostrel_ca>.debug
    DESTINATION ${OSTREL_RELEASE_ARCH_DIR} COMPONENT dll)

if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    return()
endif()

install(FILES ${CMAKE_SOURCE_DIR}/docs/reference.md DESTINATION docs COMPONENT authoring)
install(FILES ${CMAKE_SOURCE_DIR}/examples/ostrel_desk.wxs DESTINATION examples COMPONENT authoring)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/install DESTINATION examples COMPONENT authoring)

set(OSTREL_RELEASE_X64_BUILD ${CMAKE_SOURCE_DIR}/build/mingw-x86_64 CACHE PATH
    "Build tree of the 64-bit DLL that the release archive takes its x64/ folder from")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ostrel_ca)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ostrel_ca-${PROJECT_VERSION}-windows)
set(CPACK_INSTALL_CMAKE_PROJECTS
    ${CMAKE_BINARY_DIR} ostrel_ca ALL /
    ${OSTREL_RELEASE_X64_BUILD} ostrel_ca dll /)
# Run in the staging folder before it is zipped: the README's author sections,
# the signatures when scripts/release is given a certificate, then the sums.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/release_staging.cmake)
set(CPACK_OSTREL_SOURCE_DIR ${CMAKE_SOURCE_DIR})
include(CPack)
