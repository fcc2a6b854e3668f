// Where the tests find the source tree, the installer host, the library and the
// test certificates. The values are set at configure time in a generated source of
// their own (build_paths.cpp in the build folder), not as compile definitions: no
// other test object then depends on the folder it was built in, so a compiler
// cache serves a clone of the project in another folder.
#ifndef OSTREL_TESTS_UNIT_POSIX_BUILD_PATHS_H
#define OSTREL_TESTS_UNIT_POSIX_BUILD_PATHS_H

namespace build_paths {
extern const char* const kSourceDir;
extern const char* const kHostPath;
extern const char* const kLibraryPath;
extern const char* const kTestCertDir;
}  // namespace build_paths

#define OSTREL_SOURCE_DIR (::build_paths::kSourceDir)
#define OSTREL_HOST_PATH (::build_paths::kHostPath)
#define OSTREL_LIBRARY_PATH (::build_paths::kLibraryPath)
#define OSTREL_TEST_CERT_DIR (::build_paths::kTestCertDir)

#endif
