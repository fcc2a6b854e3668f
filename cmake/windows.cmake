# Windows build: ostrel_ca.dll, PE32 (i686) or PE32+ (x86_64), exporting the five
# actions by name from the .def file and importing only Windows system DLLs.
add_library(ostrel_ca SHARED ${OSTREL_MODULE_SOURCES} ${CMAKE_SOURCE_DIR}/module/ostrel_ca.def)
target_link_libraries(ostrel_ca PRIVATE ostrel_ca_core)
target_link_libraries(ostrel_ca_core PUBLIC
    msi ole32 oleaut32 uuid rpcrt4 advapi32 winhttp shell32 kernel32)
set_target_properties(ostrel_ca PROPERTIES PREFIX "" OUTPUT_NAME ostrel_ca)
# The C++ runtime, libgcc and winpthread are linked in, so nothing but system DLLs
# has to stand beside ostrel_ca.dll.
target_link_options(ostrel_ca PRIVATE -static -static-libgcc -static-libstdc++
    -Wl,--enable-stdcall-fixup)
