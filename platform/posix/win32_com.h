// posix substitutes: COM basics of ole32 (with the proxy security blanket), OLE
// Automation strings, variants and safe arrays of oleaut32, and the MSXML DOM
// interfaces the library calls.
//
// Interfaces are C++ abstract classes with the methods and signatures of the
// Windows SDK's definitions, reduced to the methods called here: the library's code
// calls them the same way on both builds. IXMLDOMNode derives from IUnknown here,
// not from IDispatch: nothing calls through IDispatch. Implementations live in
// ole32/com.cpp (apartments, class registry), ole32/proxy_blanket.cpp,
// oleaut32/bstr_variant.cpp (BSTR, VARIANT), oleaut32/safe_array.cpp (SAFEARRAY)
// and msxml/xml_dom_*.cpp (the document class, over libxml2). The WMI client
// interfaces are in win32_wbem.h.
#ifndef OSTREL_PLATFORM_POSIX_WIN32_COM_H
#define OSTREL_PLATFORM_POSIX_WIN32_COM_H

#include "platform/posix/win32_base.h"

// ---------------------------------------------------------------- status codes
#define CLASS_E_NOAGGREGATION static_cast<HRESULT>(0x80040110)
#define REGDB_E_CLASSNOTREG static_cast<HRESULT>(0x80040154)
#define CO_E_NOTINITIALIZED static_cast<HRESULT>(0x800401F0)
#define CO_E_CLASSSTRING static_cast<HRESULT>(0x800401F3)
#define DISP_E_TYPEMISMATCH static_cast<HRESULT>(0x80020005)
#define DISP_E_BADINDEX static_cast<HRESULT>(0x8002000B)
#define DISP_E_ARRAYISLOCKED static_cast<HRESULT>(0x8002000D)

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

// The security blanket of a proxy: how calls through it authenticate and whose
// identity they carry. Objects of this layer live in the calling process and have
// no proxy, so the blanket is checked and kept nowhere; S_OK for any object.
typedef void* RPC_AUTH_IDENTITY_HANDLE;
#define RPC_C_AUTHN_NONE 0
#define RPC_C_AUTHN_WINNT 10
#define RPC_C_AUTHN_DEFAULT static_cast<DWORD>(0xFFFFFFFF)
#define RPC_C_AUTHZ_NONE 0
#define RPC_C_AUTHN_LEVEL_DEFAULT 0
#define RPC_C_AUTHN_LEVEL_CALL 3
#define RPC_C_AUTHN_LEVEL_PKT_PRIVACY 6
#define RPC_C_IMP_LEVEL_DEFAULT 0
#define RPC_C_IMP_LEVEL_IDENTIFY 2
#define RPC_C_IMP_LEVEL_IMPERSONATE 3
#define EOAC_NONE 0
HRESULT CoSetProxyBlanket(IUnknown* proxy, DWORD authnService, DWORD authzService,
                          OLECHAR* serverPrincipalName, DWORD authnLevel, DWORD impLevel,
                          RPC_AUTH_IDENTITY_HANDLE authInfo, DWORD capabilities);

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
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0xFFF,
};

// One-dimensional safe arrays are all this layer makes (SafeArrayCreateVector).
struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};
struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};
typedef SAFEARRAY* LPSAFEARRAY;
#define FADF_HAVEVARTYPE 0x0080
#define FADF_BSTR 0x0100
#define FADF_UNKNOWN 0x0200

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        BSTR bstrVal;
        IUnknown* punkVal;
        SAFEARRAY* parray;
    };
};
typedef VARIANT* LPVARIANT;
#define V_VT(variant) ((variant)->vt)
#define V_BSTR(variant) ((variant)->bstrVal)
#define V_I2(variant) ((variant)->iVal)
#define V_I4(variant) ((variant)->lVal)
#define V_I8(variant) ((variant)->llVal)
#define V_R4(variant) ((variant)->fltVal)
#define V_R8(variant) ((variant)->dblVal)
#define V_UI1(variant) ((variant)->bVal)
#define V_UI2(variant) ((variant)->uiVal)
#define V_UI4(variant) ((variant)->ulVal)
#define V_BOOL(variant) ((variant)->boolVal)
#define V_UNKNOWN(variant) ((variant)->punkVal)
#define V_ARRAY(variant) ((variant)->parray)

BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
UINT SysStringLen(BSTR text);
void SysFreeString(BSTR text);
void VariantInit(VARIANT* variant);
// Frees what the variant holds (a BSTR, a reference, an array with what its
// elements hold) and leaves it VT_EMPTY. DISP_E_ARRAYISLOCKED, with the variant
// untouched, for an array whose data is being accessed.
HRESULT VariantClear(VARIANT* variant);

// A vector of `count` zeroed elements of `vt` (VT_I2, VT_I4, VT_R4, VT_R8, VT_BSTR,
// VT_BOOL, VT_UNKNOWN, VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8) from index
// `lowerBound`; null for any other type or when memory is short.
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG count);
// Frees the array and what its elements hold (BSTRs, references).
HRESULT SafeArrayDestroy(SAFEARRAY* array);
// Stores a copy of the value at indices[0]: `value` is the BSTR or interface itself
// for VT_BSTR and VT_UNKNOWN (the BSTR is copied, a reference added), else the
// address of the value. What the element held is freed. DISP_E_BADINDEX outside
// the bounds.
HRESULT SafeArrayPutElement(SAFEARRAY* array, LONG* indices, void* value);
// Copies the element at indices[0] to *value (a new BSTR, an added reference).
HRESULT SafeArrayGetElement(SAFEARRAY* array, LONG* indices, void* value);
HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);
HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dimension, LONG* bound);
HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dimension, LONG* bound);
UINT SafeArrayGetDim(SAFEARRAY* array);
// Locks the array and hands out its data; every access is balanced by an unaccess.
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);

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
