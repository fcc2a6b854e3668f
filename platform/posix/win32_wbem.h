// posix substitutes: the WMI client of wbemprox.dll, with the interfaces that
// wbemcli.h (through wbemidl.h) declares: IWbemLocator, IWbemServices,
// IEnumWbemClassObject and IWbemClassObject, their status codes, flags and CIM
// types, and the locator class CLSID_WbemLocator.
//
// Unlike the other interfaces of this layer, these carry every method of the
// Windows SDK's declaration, in its order, so each vtable has the real layout;
// the methods the layer does not serve answer WBEM_E_NOT_SUPPORTED. The classes
// live in wbem/ (one file per class), over a WQL parser and two providers: this
// machine's inventory (wbem/inventory_*.cpp) and tables the tests fill
// (platform/posix/shared/seams.h).
#ifndef OSTREL_PLATFORM_POSIX_WIN32_WBEM_H
#define OSTREL_PLATFORM_POSIX_WIN32_WBEM_H

#include "platform/posix/win32_com.h"

// ---------------------------------------------------------------- status codes
// The WBEMSTATUS values, as HRESULTs.
#define WBEM_S_NO_ERROR static_cast<HRESULT>(0)
#define WBEM_S_FALSE static_cast<HRESULT>(1)
#define WBEM_S_TIMEDOUT static_cast<HRESULT>(0x40004)
#define WBEM_S_NO_MORE_DATA static_cast<HRESULT>(0x40005)
#define WBEM_E_FAILED static_cast<HRESULT>(0x80041001)
#define WBEM_E_NOT_FOUND static_cast<HRESULT>(0x80041002)
#define WBEM_E_TYPE_MISMATCH static_cast<HRESULT>(0x80041005)
#define WBEM_E_OUT_OF_MEMORY static_cast<HRESULT>(0x80041006)
#define WBEM_E_INVALID_PARAMETER static_cast<HRESULT>(0x80041008)
#define WBEM_E_NOT_SUPPORTED static_cast<HRESULT>(0x8004100C)
#define WBEM_E_INVALID_NAMESPACE static_cast<HRESULT>(0x8004100E)
#define WBEM_E_INVALID_CLASS static_cast<HRESULT>(0x80041010)
#define WBEM_E_INVALID_OPERATION static_cast<HRESULT>(0x80041016)
#define WBEM_E_INVALID_QUERY static_cast<HRESULT>(0x80041017)
#define WBEM_E_INVALID_QUERY_TYPE static_cast<HRESULT>(0x80041018)
#define WBEM_E_UNEXPECTED static_cast<HRESULT>(0x8004101D)
#define WBEM_E_LOCAL_CREDENTIALS static_cast<HRESULT>(0x80041064)

// ---------------------------------------------------------------- flags
enum WBEM_GENERIC_FLAG_TYPE {
    WBEM_FLAG_RETURN_WBEM_COMPLETE = 0,
    WBEM_FLAG_BIDIRECTIONAL = 0,
    WBEM_FLAG_RETURN_IMMEDIATELY = 0x10,
    WBEM_FLAG_FORWARD_ONLY = 0x20,
};
enum WBEM_CONDITION_FLAG_TYPE {
    WBEM_FLAG_ALWAYS = 0,
    WBEM_FLAG_KEYS_ONLY = 0x4,
    WBEM_FLAG_REFS_ONLY = 0x8,
    WBEM_FLAG_LOCAL_ONLY = 0x10,
    WBEM_FLAG_PROPAGATED_ONLY = 0x20,
    WBEM_FLAG_SYSTEM_ONLY = 0x30,
    WBEM_FLAG_NONSYSTEM_ONLY = 0x40,
};
enum WBEM_TIMEOUT_TYPE : uint32_t {
    WBEM_NO_WAIT = 0,
    WBEM_INFINITE = 0xFFFFFFFF,
};
enum WBEM_FLAVOR_TYPE {
    WBEM_FLAVOR_ORIGIN_LOCAL = 0,
    WBEM_FLAVOR_ORIGIN_PROPAGATED = 0x20,
    WBEM_FLAVOR_ORIGIN_SYSTEM = 0x40,
};

// ---------------------------------------------------------------- CIM types
typedef LONG CIMTYPE;
enum CIMTYPE_ENUMERATION {
    CIM_ILLEGAL = 0xFFF,
    CIM_EMPTY = 0,
    CIM_SINT8 = 16,
    CIM_UINT8 = 17,
    CIM_SINT16 = 2,
    CIM_UINT16 = 18,
    CIM_SINT32 = 3,
    CIM_UINT32 = 19,
    CIM_SINT64 = 20,
    CIM_UINT64 = 21,
    CIM_REAL32 = 4,
    CIM_REAL64 = 5,
    CIM_BOOLEAN = 11,
    CIM_STRING = 8,
    CIM_DATETIME = 101,
    CIM_REFERENCE = 102,
    CIM_CHAR16 = 103,
    CIM_OBJECT = 13,
    CIM_FLAG_ARRAY = 0x2000,
};

// ---------------------------------------------------------------- interfaces
// Interfaces that appear only as arguments of methods the layer does not serve.
struct IWbemQualifierSet;
struct IWbemContext;
struct IWbemCallResult;
struct IWbemObjectSink;

struct IWbemClassObject : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet** qualifierSet) = 0;
    virtual HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type,
                                          LONG* flavor) = 0;
    virtual HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG flags, VARIANT* value,
                                          CIMTYPE type) = 0;
    virtual HRESULT STDMETHODCALLTYPE Delete(LPCWSTR name) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR qualifierName, LONG flags,
                                               VARIANT* qualifierValue, SAFEARRAY** names) = 0;
    virtual HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG enumFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE Next(LONG flags, BSTR* name, VARIANT* value, CIMTYPE* type,
                                           LONG* flavor) = 0;
    virtual HRESULT STDMETHODCALLTYPE EndEnumeration() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR property,
                                                              IWbemQualifierSet** set) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** copy) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetObjectText(LONG flags, BSTR* objectText) = 0;
    virtual HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG flags,
                                                        IWbemClassObject** newClass) = 0;
    virtual HRESULT STDMETHODCALLTYPE SpawnInstance(LONG flags, IWbemClassObject** newInstance) = 0;
    virtual HRESULT STDMETHODCALLTYPE CompareTo(LONG flags, IWbemClassObject* compareTo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR name, BSTR* className) = 0;
    virtual HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR ancestor) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG flags,
                                                IWbemClassObject** inSignature,
                                                IWbemClassObject** outSignature) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR name, LONG flags,
                                                IWbemClassObject* inSignature,
                                                IWbemClassObject* outSignature) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR name) = 0;
    virtual HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG enumFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE NextMethod(LONG flags, BSTR* name,
                                                 IWbemClassObject** inSignature,
                                                 IWbemClassObject** outSignature) = 0;
    virtual HRESULT STDMETHODCALLTYPE EndMethodEnumeration() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR method,
                                                            IWbemQualifierSet** set) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR methodName, BSTR* className) = 0;

  protected:
    ~IWbemClassObject() = default;
};

struct IEnumWbemClassObject : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects,
                                           ULONG* returned) = 0;
    virtual HRESULT STDMETHODCALLTYPE NextAsync(ULONG count, IWbemObjectSink* sink) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** copy) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(LONG timeout, ULONG count) = 0;

  protected:
    ~IEnumWbemClassObject() = default;
};

struct IWbemServices : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR nameSpace, LONG flags,
                                                    IWbemContext* context,
                                                    IWbemServices** workingNamespace,
                                                    IWbemCallResult** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink* sink) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG flags,
                                                      IWbemObjectSink** responseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetObject(const BSTR objectPath, LONG flags,
                                                IWbemContext* context, IWbemClassObject** object,
                                                IWbemCallResult** callResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR objectPath, LONG flags,
                                                     IWbemContext* context,
                                                     IWbemObjectSink* responseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject* object, LONG flags,
                                               IWbemContext* context,
                                               IWbemCallResult** callResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject* object, LONG flags,
                                                    IWbemContext* context,
                                                    IWbemObjectSink* responseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR className, LONG flags,
                                                  IWbemContext* context,
                                                  IWbemCallResult** callResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR className, LONG flags,
                                                       IWbemContext* context,
                                                       IWbemObjectSink* responseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR superclass, LONG flags,
                                                      IWbemContext* context,
                                                      IEnumWbemClassObject** enumerator) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR superclass, LONG flags,
                                                           IWbemContext* context,
                                                           IWbemObjectSink* responseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject* instance, LONG flags,
                                                  IWbemContext* context,
                                                  IWbemCallResult** callResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject* instance, LONG flags,
                                                       IWbemContext* context,
                                                       IWbemObjectSink* responseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR objectPath, LONG flags,
                                                     IWbemContext* context,
                                                     IWbemCallResult** callResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR objectPath, LONG flags,
                                                          IWbemContext* context,
                                                          IWbemObjectSink* responseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR filter, LONG flags,
                                                         IWbemContext* context,
                                                         IEnumWbemClassObject** enumerator) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR filter, LONG flags,
                                                              IWbemContext* context,
                                                              IWbemObjectSink* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR queryLanguage, const BSTR query,
                                                LONG flags, IWbemContext* context,
                                                IEnumWbemClassObject** enumerator) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR queryLanguage, const BSTR query,
                                                     LONG flags, IWbemContext* context,
                                                     IWbemObjectSink* responseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR queryLanguage,
                                                            const BSTR query, LONG flags,
                                                            IWbemContext* context,
                                                            IEnumWbemClassObject** enumerator) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR queryLanguage,
                                                                 const BSTR query, LONG flags,
                                                                 IWbemContext* context,
                                                                 IWbemObjectSink* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR objectPath, const BSTR methodName,
                                                 LONG flags, IWbemContext* context,
                                                 IWbemClassObject* inParams,
                                                 IWbemClassObject** outParams,
                                                 IWbemCallResult** callResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR objectPath, const BSTR methodName,
                                                      LONG flags, IWbemContext* context,
                                                      IWbemClassObject* inParams,
                                                      IWbemObjectSink* responseHandler) = 0;

  protected:
    ~IWbemServices() = default;
};

struct IWbemLocator : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR networkResource, const BSTR user,
                                                    const BSTR password, const BSTR locale,
                                                    LONG securityFlags, const BSTR authority,
                                                    IWbemContext* context,
                                                    IWbemServices** services) = 0;

  protected:
    ~IWbemLocator() = default;
};

// The locator class and the interface identifiers, as the Windows SDK numbers them.
extern const CLSID CLSID_WbemLocator;
extern const IID IID_IWbemLocator;
extern const IID IID_IWbemServices;
extern const IID IID_IEnumWbemClassObject;
extern const IID IID_IWbemClassObject;

#endif  // OSTREL_PLATFORM_POSIX_WIN32_WBEM_H
