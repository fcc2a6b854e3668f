// XML documents through the platform's DOM (the MSXML document class, a COM
// component): COM start and stop with a one-time choice of the document class, new
// documents, loading one from a file, finding one node by a selection expression,
// and reading one attribute of a node as a string. Nothing is logged here: callers
// log failures with a message naming their step.
//
// Every interface pointer handed to a caller carries one reference, which the
// caller releases. The attribute value handed out is a BSTR the caller frees with
// SysFreeString. Starts and stops come from one thread at a time.
#ifndef OSTREL_RUNTIME_XML_DOC_H
#define OSTREL_RUNTIME_XML_DOC_H

#include "platform/win32.h"

// Initialises COM on the calling thread (S_FALSE from CoInitialize counts as
// success) and raises the use count; on the step from 0 to 1 the document class is
// looked up from "Msxml2.DOMDocument", or else "MSXML.DOMDocument". A CoInitialize
// failure is returned with nothing changed; a failed lookup is returned with the
// count raised and COM initialised, so the matching XmlShutdown still balances it.
HRESULT XmlStartup();

// Balances one XmlStartup that got past CoInitialize: lowers the use count, forgets
// the document class when it reaches 0, and uninitialises COM. Without such a
// start-up open it does nothing at all.
void XmlShutdown();

// Creates a document of the chosen class and, given a root element name, its root
// element appended to it. The document goes to *document; the element to
// *rootElement when that is given, else it is released. Returns the result of the
// last call made; on failure nothing is handed out.
HRESULT XmlNewDocument(LPCWSTR rootElementName, IXMLDOMDocument** document,
                       IXMLDOMElement** rootElement);

// createElement on `document` with `name`. E_INVALIDARG for a null document or
// element variable, E_OUTOFMEMORY when the name cannot be made a BSTR (also for a
// null name).
HRESULT XmlCreateElement(IXMLDOMDocument* document, LPCWSTR name, IXMLDOMElement** element);

// Loads the file at `path` into a new synchronous document that resolves no
// external entity or DTD, handed to *document when that is given. A file that is missing or not
// well-formed gives 0x8007006E; S_FALSE from creating the document becomes E_FAIL; other COM
// failures pass.
HRESULT XmlLoadFile(LPCWSTR path, IXMLDOMDocument** document);

// selectSingleNode on `node` (a document may stand for it) with `expression` (null
// is the empty expression): S_OK with a node, S_FALSE with null when nothing
// matches. E_UNEXPECTED for a null node or node variable.
HRESULT XmlFindNode(IXMLDOMNode* node, LPCWSTR expression, IXMLDOMNode** found);

// getNamedItem on `map` with `name`: S_FALSE with null when the map holds no such
// name. E_INVALIDARG for a null map or node variable, E_OUTOFMEMORY when the name
// cannot be made a BSTR.
HRESULT XmlGetNamedItem(IXMLDOMNamedNodeMap* map, LPCWSTR name, IXMLDOMNode** item);

// The text of the attribute `name` of `node`, handed to *value when that is given.
// S_FALSE when the node has no such attribute; *value is then left as it was, as on
// every result but S_OK. E_INVALIDARG for a null node.
HRESULT XmlReadAttribute(IXMLDOMNode* node, LPCWSTR name, BSTR* value);

#endif  // OSTREL_RUNTIME_XML_DOC_H
