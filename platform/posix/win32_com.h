// posix substitutes: COM basics of ole32, OLE Automation strings and variants of
// oleaut32, and the MSXML DOM interfaces the library calls.
//
// Interfaces are C++ abstract classes with the methods and signatures of the
// Windows SDK's definitions, reduced to the methods called here: the library's code
// calls them the same way on both builds. IXMLDOMNode derives from IUnknown here,
// not from IDispatch: nothing calls through IDispatch. Implementations live in
// ole32/com.cpp (apartments, class registry), oleaut32/bstr_variant.cpp (BSTR,
// VARIANT) and msxml/xml_dom_*.cpp (the document class, over libxml2).
#ifndef OSTREL_PLATFORM_POSIX_WIN32_COM_H
#define OSTREL_PLATFORM_POSIX_WIN32_COM_H

#include "platform/posix/win32_base.h"

// ---------------------------------------------------------------- status codes
#define CLASS_E_NOAGGREGATION static_cast<HRESULT>(0x80040110)
#define REGDB_E_CLASSNOTREG static_cast<HRESULT>(0x80040154)
#define CO_E_NOTINITIALIZED static_cast<HRESULT>(0x800401F0)
#define CO_E_CLASSSTRING static_cast<HRESULT>(0x800401F3)
#define DISP_E_TYPEMISMATCH static_cast<HRESULT>(0x80020005)

// ---------------------------------------------------------------- COM basics
typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef CLSID* LPCLSID;

enum CLSCTX {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
};

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

  protected:
    ~IUnknown() = default;  // objects are destroyed by Release only
};

// Enters the calling thread into COM: S_OK the first time, S_FALSE when it already
// is; each success must be balanced by one CoUninitialize.
HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize();
// The class registered for a ProgID; CO_E_CLASSSTRING when none is.
HRESULT CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid);
// Creates an object of a registered class on a thread that entered COM.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         LPVOID* object);
bool IsEqualGUID(REFGUID left, REFGUID right);

// ---------------------------------------------------------------- OLE Automation
// A BSTR points at UTF-16 text that is preceded by its byte length (32 bits) and
// followed by a terminator; it may hold NULs of its own.
typedef OLECHAR* BSTR;
typedef short VARIANT_BOOL;
typedef unsigned short VARTYPE;
#define VARIANT_TRUE static_cast<VARIANT_BOOL>(-1)
#define VARIANT_FALSE static_cast<VARIANT_BOOL>(0)

enum VARENUM {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I4 = 3,
    VT_BSTR = 8,
    VT_BOOL = 11,
    VT_UNKNOWN = 13,
};

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONG lVal;
        VARIANT_BOOL boolVal;
        BSTR bstrVal;
        IUnknown* punkVal;
    };
};
typedef VARIANT* LPVARIANT;
#define V_VT(variant) ((variant)->vt)
#define V_BSTR(variant) ((variant)->bstrVal)

BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
UINT SysStringLen(BSTR text);
void SysFreeString(BSTR text);
void VariantInit(VARIANT* variant);
// Frees what the variant holds (a BSTR, a reference) and leaves it VT_EMPTY.
HRESULT VariantClear(VARIANT* variant);

// ---------------------------------------------------------------- MSXML DOM
enum DOMNodeType {
    NODE_INVALID = 0,
    NODE_ELEMENT = 1,
    NODE_ATTRIBUTE = 2,
    NODE_TEXT = 3,
    NODE_CDATA_SECTION = 4,
    NODE_ENTITY_REFERENCE = 5,
    NODE_ENTITY = 6,
    NODE_PROCESSING_INSTRUCTION = 7,
    NODE_COMMENT = 8,
    NODE_DOCUMENT = 9,
    NODE_DOCUMENT_TYPE = 10,
    NODE_DOCUMENT_FRAGMENT = 11,
    NODE_NOTATION = 12,
};

struct IXMLDOMNamedNodeMap;

struct IXMLDOMNode : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_nodeValue(VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_nodeType(DOMNodeType* type) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap** attributeMap) = 0;
    virtual HRESULT STDMETHODCALLTYPE appendChild(IXMLDOMNode* newChild,
                                                  IXMLDOMNode** outNewChild) = 0;
    virtual HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR queryString,
                                                       IXMLDOMNode** resultNode) = 0;

  protected:
    ~IXMLDOMNode() = default;
};

struct IXMLDOMElement : public IXMLDOMNode {
  protected:
    ~IXMLDOMElement() = default;
};

struct IXMLDOMNamedNodeMap : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE getNamedItem(BSTR name, IXMLDOMNode** namedItem) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_length(LONG* length) = 0;

  protected:
    ~IXMLDOMNamedNodeMap() = default;
};

struct IXMLDOMDocument : public IXMLDOMNode {
    virtual HRESULT STDMETHODCALLTYPE get_documentElement(IXMLDOMElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE createElement(BSTR tagName, IXMLDOMElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_async(VARIANT_BOOL isAsync) = 0;
    // Whether load resolves external entities and DTDs (on for a new document).
    virtual HRESULT STDMETHODCALLTYPE put_resolveExternals(VARIANT_BOOL isResolving) = 0;
    virtual HRESULT STDMETHODCALLTYPE load(VARIANT xmlSource, VARIANT_BOOL* isSuccessful) = 0;

  protected:
    ~IXMLDOMDocument() = default;
};

// Interface identifiers of the interfaces above, as the Windows SDK numbers them.
extern const IID IID_IUnknown;
extern const IID IID_IXMLDOMNode;
extern const IID IID_IXMLDOMElement;
extern const IID IID_IXMLDOMNamedNodeMap;
extern const IID IID_IXMLDOMDocument;

#endif  // OSTREL_PLATFORM_POSIX_WIN32_COM_H
