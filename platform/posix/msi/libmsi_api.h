// The part of libmsi's C interface (msitools' MSI reader, libmsi0) and of the
// GLib calls it needs that installer_package.cpp uses, declared here.
//
// Why not <libmsi.h>: Debian's libmsi-dev installs headers that include GLib's
// development headers without depending on them, so on a machine without
// libglib2.0-dev they cannot be compiled. The declarations below are libmsi's and
// GLib's own, unchanged (opaque object types, the public GError layout); the
// library itself is linked as it is.
#ifndef OSTREL_PLATFORM_POSIX_LIBMSI_API_H
#define OSTREL_PLATFORM_POSIX_LIBMSI_API_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

extern "C" {

typedef struct _LibmsiDatabase LibmsiDatabase;
typedef struct _LibmsiQuery LibmsiQuery;
typedef struct _LibmsiRecord LibmsiRecord;
typedef struct _GInputStream GInputStream;
typedef struct _GCancellable GCancellable;

// GLib's public error record.
typedef struct _GError {
    uint32_t domain;
    int code;
    char* message;
} GError;

// LibmsiDbFlags
enum { LIBMSI_DB_FLAGS_READONLY = 1 << 0 };

LibmsiDatabase* libmsi_database_new(const char* path, unsigned flags, const char* persist,
                                    GError** error);
LibmsiQuery* libmsi_query_new(LibmsiDatabase* database, const char* query, GError** error);
int libmsi_query_execute(LibmsiQuery* query, LibmsiRecord* parameters, GError** error);
LibmsiRecord* libmsi_query_fetch(LibmsiQuery* query, GError** error);
int libmsi_query_close(LibmsiQuery* query, GError** error);

unsigned libmsi_record_get_field_count(const LibmsiRecord* record);
int libmsi_record_is_null(const LibmsiRecord* record, unsigned field);
int libmsi_record_get_int(const LibmsiRecord* record, unsigned field);
char* libmsi_record_get_string(const LibmsiRecord* record, unsigned field);
GInputStream* libmsi_record_get_stream(LibmsiRecord* record, unsigned field);

typedef void (*GLogFunc)(const char* domain, int level, const char* message, void* data);
GLogFunc g_log_set_default_handler(GLogFunc handler, void* data);

ssize_t g_input_stream_read(GInputStream* stream, void* buffer, size_t count,
                            GCancellable* cancellable, GError** error);
void g_object_unref(void* object);
void g_free(void* memory);
void g_error_free(GError* error);

}  // extern "C"

#endif  // OSTREL_PLATFORM_POSIX_LIBMSI_API_H
