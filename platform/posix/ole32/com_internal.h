// Inside the posix COM layer: the live-object count that the tests read, and the
// factory of the one class the layer serves. Not for the library.
#ifndef OSTREL_PLATFORM_POSIX_COM_INTERNAL_H
#define OSTREL_PLATFORM_POSIX_COM_INTERNAL_H

#include "platform/posix/win32_com.h"

// Every COM object of the layer counts itself from construction to destruction.
void ComObjectCreated();
void ComObjectDestroyed();

// A new, empty DOM document with one reference; null when memory is short.
IXMLDOMDocument* CreateXmlDomDocument();

#endif  // OSTREL_PLATFORM_POSIX_COM_INTERNAL_H
