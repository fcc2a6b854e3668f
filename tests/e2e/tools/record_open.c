/* record_open.exe FILE TARGET: the browser of the end-to-end prefix. The prefix's
 * "open" verbs for http, https and .htm files run it in place of winebrowser, so
 * that what CASendServiceTag opens is appended to FILE (UTF-8, one line each)
 * instead of reaching a browser of the machine. Exit status 0 when written. */
#include <stdio.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 2;
    }
    char target[8192];
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, target, sizeof target, NULL, NULL);
    if (bytes <= 0) {
        return 1;
    }
    FILE* out = _wfopen(argv[1], L"ab");
    if (out == NULL) {
        return 1;
    }
    fwrite(target, 1, (size_t)(bytes - 1), out);
    fputc('\n', out);
    return fclose(out) == 0 ? 0 : 1;
}
