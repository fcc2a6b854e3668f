/* Installs a package the way msiexec /qn does, with an external user interface
 * that receives the installer's information messages as the UTF-16 text msi hands
 * out, and writes each one, as UTF-8, on a line of OUTPUT.
 *
 *   ui_install.exe OUTPUT PACKAGE [PROPERTIES]
 *
 * Exits with what MsiInstallProductW returned. Wine's msi writes its verbose log
 * in the ANSI code page, which cannot hold every character of a line; the external
 * user interface sees the line as the custom action sent it. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <msi.h>

static FILE *output;

static INT CALLBACK on_message(LPVOID context, UINT type, LPCWSTR message) {
    (void)context;
    if ((type & 0xFF000000u) == INSTALLMESSAGE_INFO && message != NULL) {
        int bytes = WideCharToMultiByte(CP_UTF8, 0, message, -1, NULL, 0, NULL, NULL);
        char *text = bytes > 0 ? malloc((size_t)bytes) : NULL;
        if (text != NULL &&
            WideCharToMultiByte(CP_UTF8, 0, message, -1, text, bytes, NULL, NULL) == bytes) {
            fprintf(output, "%s\n", text);
            fflush(output);
        }
        free(text);
    }
    return 0; /* let msi go on as it would without this interface */
}

int wmain(int argc, wchar_t **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: ui_install OUTPUT PACKAGE [PROPERTIES]\n");
        return 2;
    }
    output = _wfopen(argv[1], L"wb");
    if (output == NULL) {
        return 3;
    }
    MsiSetInternalUI(INSTALLUILEVEL_NONE, NULL);
    MsiSetExternalUIW(on_message, INSTALLLOGMODE_INFO, NULL);
    UINT result = MsiInstallProductW(argv[2], argc > 3 ? argv[3] : L"");
    fclose(output);
    return (int)result;
}
