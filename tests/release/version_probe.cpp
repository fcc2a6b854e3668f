// version_probe.exe DLL OUTPUT: the DLL's version resource as Windows reads it
// (GetFileVersionInfoW, VerQueryValueW), for tests/release. OUTPUT receives lines
// "NAME<TAB>VALUE": "#FileVersion" and "#ProductVersion" of the fixed part
// (a.b.c.d), "#Translation" (language and code page, "0000 04b0"), then each
// string of that translation. The values are written as ASCII.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    DWORD ignored = 0;
    DWORD size = argc == 3 ? GetFileVersionInfoSizeW(argv[1], &ignored) : 0;
    std::string block(size, '\0');
    VS_FIXEDFILEINFO* fixed = nullptr;
    WORD* translation = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(argv[1], 0, size, &block[0]) ||
        !VerQueryValueW(&block[0], L"\\", reinterpret_cast<void**>(&fixed), &length) ||
        length < sizeof(VS_FIXEDFILEINFO) ||
        !VerQueryValueW(&block[0], L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &length) ||
        length < 2 * sizeof(WORD)) {
        fprintf(stderr, "no version resource read (error %lu)\n", GetLastError());
        return 1;
    }
    FILE* out = _wfopen(argv[2], L"w");
    if (out == nullptr) return 1;
    fprintf(out, "#FileVersion\t%u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS),
            LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
            LOWORD(fixed->dwFileVersionLS));
    fprintf(out, "#ProductVersion\t%u.%u.%u.%u\n", HIWORD(fixed->dwProductVersionMS),
            LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
            LOWORD(fixed->dwProductVersionLS));
    fprintf(out, "#Translation\t%04x %04x\n", translation[0], translation[1]);
    for (const wchar_t* name : {L"FileDescription", L"FileVersion", L"InternalName",
                                L"LegalCopyright", L"OriginalFilename", L"ProductName",
                                L"ProductVersion"}) {
        wchar_t path[96];
        _snwprintf(path, 95, L"\\StringFileInfo\\%04x%04x\\%s", translation[0], translation[1],
                   name);
        path[95] = L'\0';
        wchar_t* value = nullptr;
        if (VerQueryValueW(&block[0], path, reinterpret_cast<void**>(&value), &length)) {
            fprintf(out, "%S\t%S\n", name, value);
        }
    }
    return fclose(out) == 0 ? 0 : 1;
}
