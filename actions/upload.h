// The service tag upload: the bytes of svctag.xml sent to the registration service
// in one synchronous HTTPS POST through WinHTTP, judged by the status code alone.
#ifndef OSTREL_ACTIONS_UPLOAD_H
#define OSTREL_ACTIONS_UPLOAD_H

#include "platform/win32.h"

// Posts the `bodyLength` bytes of `body` to the payload destination `destination`
// (a URL) with the headers "User-Agent:User Interface" and
// "Content-Type:text/xml; charset=utf-8". The request always goes over TLS 1.2 or
// later to port 443 of the URL's host, whatever scheme or port the URL names; its
// path is the URL's path and query as they stand. S_OK only when the service
// answered 200; E_FAIL when no answer came or it had another status (trace lines
// only); otherwise the status of the step that failed, logged with its line.
HRESULT PostServiceTag(LPCWSTR destination, const BYTE* body, DWORD bodyLength);

#endif  // OSTREL_ACTIONS_UPLOAD_H
