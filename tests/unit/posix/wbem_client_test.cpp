// The posix WMI client as a COM component: the vtable layout of the four
// interfaces (slot by slot as wbemcli.h declares them), the locator in the class
// registry, namespaces, ExecQuery's flags and when its errors come, the
// enumerator's counts and forward-only rule, the class object's enumeration, Get
// and GetNames, arrays in safe arrays, the methods that are not served, and
// CoSetProxyBlanket.
#include <sys/utsname.h>

#include <cstring>

#include "wbem_test_support.h"

namespace {

std::string HostName() {
    utsname name = {};
    uname(&name);
    return name.nodename;
}

using Strings = std::vector<std::string>;

// The vtable slot a pointer to a virtual member function names (the Itanium C++
// ABI stores 1 + the slot's byte offset in its first word).
template <typename Method>
size_t Slot(Method method) {
    static_assert(sizeof(method) == 2 * sizeof(uintptr_t), "Itanium member pointer");
    uintptr_t word = 0;
    std::memcpy(&word, &method, sizeof(word));
    return (word - 1) / sizeof(void*);
}

TEST(WbemVtables, SlotsFollowTheSdkDeclarationOrder) {
    EXPECT_EQ(0u, Slot(&IWbemLocator::QueryInterface));
    EXPECT_EQ(2u, Slot(&IWbemLocator::Release));
    EXPECT_EQ(3u, Slot(&IWbemLocator::ConnectServer));

    EXPECT_EQ(3u, Slot(&IEnumWbemClassObject::Reset));
    EXPECT_EQ(4u, Slot(&IEnumWbemClassObject::Next));
    EXPECT_EQ(5u, Slot(&IEnumWbemClassObject::NextAsync));
    EXPECT_EQ(6u, Slot(&IEnumWbemClassObject::Clone));
    EXPECT_EQ(7u, Slot(&IEnumWbemClassObject::Skip));

    EXPECT_EQ(3u, Slot(&IWbemServices::OpenNamespace));
    EXPECT_EQ(6u, Slot(&IWbemServices::GetObject));
    EXPECT_EQ(12u, Slot(&IWbemServices::CreateClassEnum));
    EXPECT_EQ(18u, Slot(&IWbemServices::CreateInstanceEnum));
    EXPECT_EQ(20u, Slot(&IWbemServices::ExecQuery));
    EXPECT_EQ(21u, Slot(&IWbemServices::ExecQueryAsync));
    EXPECT_EQ(25u, Slot(&IWbemServices::ExecMethodAsync));

    EXPECT_EQ(3u, Slot(&IWbemClassObject::GetQualifierSet));
    EXPECT_EQ(4u, Slot(&IWbemClassObject::Get));
    EXPECT_EQ(7u, Slot(&IWbemClassObject::GetNames));
    EXPECT_EQ(8u, Slot(&IWbemClassObject::BeginEnumeration));
    EXPECT_EQ(9u, Slot(&IWbemClassObject::Next));
    EXPECT_EQ(10u, Slot(&IWbemClassObject::EndEnumeration));
    EXPECT_EQ(12u, Slot(&IWbemClassObject::Clone));
    EXPECT_EQ(26u, Slot(&IWbemClassObject::GetMethodOrigin));
}

using WbemClient = WbemTest;

void PutTable() {
    SeamWbemSetTable(
        u"Test_Thing",
        {{u"Name", CIM_STRING}, {u"Size", CIM_UINT64}, {u"Tags", CIM_STRING | CIM_FLAG_ARRAY}},
        {{WbemValue::Text(u"first"), WbemValue::Text(u"10"),
          WbemValue::Array(VT_BSTR, {WbemValue::Text(u"a"), WbemValue::Text(u"b")})},
         {WbemValue::Text(u"second"), WbemValue::Text(u"20")}});
}

TEST_F(WbemClient, LocatorIsRegisteredWithoutProgIdAndServesOnlyItsInterface) {
    void* object = nullptr;
    EXPECT_EQ(E_NOINTERFACE, locator_->QueryInterface(IID_IWbemServices, &object));
    EXPECT_EQ(nullptr, object);
    CLSID clsid{};
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"", &clsid));
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_LOCAL_SERVER,
                                                    IID_IWbemLocator, &object));
}

TEST_F(WbemClient, ConnectServerTakesTheLocalCimv2InAnySpelling) {
    struct Case {
        const char16_t* path;
        const char16_t* user;
        HRESULT expected;
    };
    const Case cases[] = {
        {u"root\\cimv2", nullptr, WBEM_S_NO_ERROR},
        {u"ROOT/CIMV2", nullptr, WBEM_S_NO_ERROR},
        {u"\\\\.\\root\\cimv2", nullptr, WBEM_S_NO_ERROR},
        {u"//localhost/ROOT/CIMV2", nullptr, WBEM_S_NO_ERROR},
        {u"ROOT\\CIMV2", u"", WBEM_S_NO_ERROR},
        {u"ROOT\\DEFAULT", nullptr, WBEM_E_INVALID_NAMESPACE},
        {u"ROOT\\CIMV2\\X", nullptr, WBEM_E_INVALID_NAMESPACE},
        {u"\\\\elsewhere-host\\root\\cimv2", nullptr, static_cast<HRESULT>(0x800706BA)},
        {u"ROOT\\CIMV2", u"someone", WBEM_E_LOCAL_CREDENTIALS},
    };
    for (const Case& c : cases) {
        TestBstr path(c.path);
        TestBstr user(c.user != nullptr ? c.user : u"");
        IWbemServices* services = nullptr;
        EXPECT_EQ(c.expected,
                  locator_->ConnectServer(path.get(), c.user != nullptr ? user.get() : nullptr,
                                          nullptr, nullptr, 0, nullptr, nullptr, &services))
            << Utf16ToUtf8(c.path);
        EXPECT_EQ(c.expected == WBEM_S_NO_ERROR, services != nullptr);
        if (services != nullptr) {
            services->Release();
        }
    }
    TestBstr path(u"ROOT\\CIMV2");
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER,
              locator_->ConnectServer(path.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                      nullptr));
}

TEST_F(WbemClient, SemisynchronousQueriesReportClassAndPropertyErrorsFromNext) {
    PutTable();
    const LONG semisync = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY;
    struct Case {
        const char16_t* statement;
        HRESULT immediate;  // ExecQuery's answer with flags 48
        HRESULT firstNext;  // then the first Next's
        HRESULT blocking;   // ExecQuery's answer with flags 0
    };
    const Case cases[] = {
        {u"SELECT * FROM Test_Thing", WBEM_S_NO_ERROR, WBEM_S_NO_ERROR, WBEM_S_NO_ERROR},
        {u"SELECT * FROM Win32_NoSuchClass", WBEM_S_NO_ERROR, WBEM_E_INVALID_CLASS,
         WBEM_E_INVALID_CLASS},
        {u"SELECT Weight FROM Test_Thing", WBEM_S_NO_ERROR, WBEM_E_INVALID_QUERY,
         WBEM_E_INVALID_QUERY},
        {u"SELECT * FROM Test_Thing WHERE Weight > 3", WBEM_S_NO_ERROR, WBEM_E_INVALID_QUERY,
         WBEM_E_INVALID_QUERY},
        {u"SELECT * FROM", WBEM_E_INVALID_QUERY, S_OK, WBEM_E_INVALID_QUERY},
    };
    for (const Case& c : cases) {
        IEnumWbemClassObject* rows = nullptr;
        ASSERT_EQ(c.immediate, Exec(c.statement, semisync, &rows)) << Utf16ToUtf8(c.statement);
        if (rows != nullptr) {
            for (int attempt = 0; attempt < 2; ++attempt) {  // the error stays
                IWbemClassObject* row = nullptr;
                ULONG returned = 7;
                EXPECT_EQ(c.firstNext,
                          rows->Next(static_cast<LONG>(WBEM_INFINITE), 1, &row, &returned))
                    << Utf16ToUtf8(c.statement);
                if (row != nullptr) {
                    row->Release();
                    break;
                }
                EXPECT_EQ(0u, returned);
            }
            rows->Release();
        }
        IEnumWbemClassObject* blocking = nullptr;
        EXPECT_EQ(c.blocking, Exec(c.statement, 0, &blocking)) << Utf16ToUtf8(c.statement);
        EXPECT_EQ(c.blocking == WBEM_S_NO_ERROR, blocking != nullptr);
        if (blocking != nullptr) {
            blocking->Release();
        }
    }
}

TEST_F(WbemClient, ExecQueryChecksItsLanguageAndArguments) {
    PutTable();
    TestBstr lowerWql(u"wql");
    TestBstr sql(u"SQL");
    TestBstr query(u"SELECT * FROM Test_Thing");
    IEnumWbemClassObject* rows = nullptr;
    ASSERT_EQ(WBEM_S_NO_ERROR,
              services_->ExecQuery(lowerWql.get(), query.get(), 0, nullptr, &rows));
    rows->Release();
    rows = nullptr;
    EXPECT_EQ(WBEM_E_INVALID_QUERY_TYPE,
              services_->ExecQuery(sql.get(), query.get(), 0, nullptr, &rows));
    EXPECT_EQ(WBEM_E_INVALID_QUERY_TYPE,
              services_->ExecQuery(nullptr, query.get(), 0, nullptr, &rows));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER,
              services_->ExecQuery(lowerWql.get(), nullptr, 0, nullptr, &rows));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER,
              services_->ExecQuery(lowerWql.get(), query.get(), 0x8000, nullptr, &rows));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER,
              services_->ExecQuery(lowerWql.get(), query.get(), 0, nullptr, nullptr));
    EXPECT_EQ(nullptr, rows);
}

TEST_F(WbemClient, NextHandsOutUpToTheCountAndForwardOnlyCannotRewind) {
    PutTable();
    IEnumWbemClassObject* rows = nullptr;
    ASSERT_EQ(WBEM_S_NO_ERROR, Exec(u"SELECT * FROM Test_Thing", WBEM_FLAG_FORWARD_ONLY, &rows));
    IWbemClassObject* objects[3] = {};
    ULONG returned = 0;
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, rows->Next(0, 0, objects, &returned));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, rows->Next(-5, 1, objects, &returned));
    EXPECT_EQ(WBEM_S_FALSE, rows->Next(static_cast<LONG>(WBEM_INFINITE), 3, objects, &returned));
    ASSERT_EQ(2u, returned);
    EXPECT_EQ("first", ValueOf(ReadProperties(objects[0]), "Name"));
    EXPECT_EQ("second", ValueOf(ReadProperties(objects[1]), "Name"));
    objects[0]->Release();
    objects[1]->Release();
    EXPECT_EQ(WBEM_S_FALSE, rows->Next(0, 1, objects, &returned));
    EXPECT_EQ(0u, returned);
    EXPECT_EQ(WBEM_E_INVALID_OPERATION, rows->Reset());
    IEnumWbemClassObject* clone = nullptr;
    EXPECT_EQ(WBEM_E_INVALID_OPERATION, rows->Clone(&clone));
    EXPECT_EQ(WBEM_E_NOT_SUPPORTED, rows->NextAsync(1, nullptr));
    rows->Release();

    ASSERT_EQ(WBEM_S_NO_ERROR, Exec(u"SELECT * FROM Test_Thing", 0, &rows));
    EXPECT_EQ(WBEM_S_NO_ERROR, rows->Skip(0, 1));
    ASSERT_EQ(WBEM_S_NO_ERROR, rows->Clone(&clone));
    EXPECT_EQ(WBEM_S_NO_ERROR, clone->Next(0, 1, objects, &returned));
    EXPECT_EQ("second", ValueOf(ReadProperties(objects[0]), "Name"));
    objects[0]->Release();
    clone->Release();
    EXPECT_EQ(WBEM_S_FALSE, rows->Skip(0, 5));
    EXPECT_EQ(WBEM_S_NO_ERROR, rows->Reset());
    EXPECT_EQ(WBEM_S_NO_ERROR, rows->Next(0, 1, objects, &returned));
    EXPECT_EQ("first", ValueOf(ReadProperties(objects[0]), "Name"));
    objects[0]->Release();
    rows->Release();
}

TEST_F(WbemClient, ObjectsWalkSystemPropertiesFirstThenTheSelectedInClassOrder) {
    PutTable();
    IEnumWbemClassObject* rows = nullptr;
    ASSERT_EQ(WBEM_S_NO_ERROR, Exec(u"SELECT tags, NAME FROM test_thing", 0, &rows));
    IWbemClassObject* row = nullptr;
    ULONG returned = 0;
    ASSERT_EQ(WBEM_S_NO_ERROR, rows->Next(0, 1, &row, &returned));
    rows->Release();

    Strings names;
    for (const ReadProperty& property : ReadProperties(row, 0)) {
        names.push_back(property.name + "=" + property.text);
    }
    EXPECT_EQ(
        (Strings{"__GENUS=2", "__CLASS=Test_Thing", "__PROPERTY_COUNT=2", "__SERVER=" + HostName(),
                 "__NAMESPACE=ROOT\\CIMV2", "Name=first", "Tags=[a, b]"}),
        names);
    EXPECT_EQ(5u, ReadProperties(row, WBEM_FLAG_SYSTEM_ONLY).size());
    EXPECT_EQ(2u, ReadProperties(row, WBEM_FLAG_NONSYSTEM_ONLY).size());
    EXPECT_EQ(WBEM_E_NOT_SUPPORTED, row->BeginEnumeration(WBEM_FLAG_KEYS_ONLY));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, row->BeginEnumeration(0x1000));

    // Next outside an enumeration, and after its end.
    BSTR name = nullptr;
    VARIANT value;
    VariantInit(&value);
    EXPECT_EQ(WBEM_E_UNEXPECTED, row->Next(0, &name, &value, nullptr, nullptr));
    ASSERT_EQ(WBEM_S_NO_ERROR, row->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, row->Next(1, &name, &value, nullptr, nullptr));
    CIMTYPE type = 0;
    LONG flavor = -1;
    ASSERT_EQ(WBEM_S_NO_ERROR, row->Next(0, nullptr, nullptr, &type, &flavor));
    EXPECT_EQ(CIM_STRING, type);
    EXPECT_EQ(WBEM_FLAVOR_ORIGIN_PROPAGATED, flavor);
    ASSERT_EQ(WBEM_S_NO_ERROR, row->Next(0, nullptr, nullptr, &type, nullptr));
    EXPECT_EQ(CIM_STRING | CIM_FLAG_ARRAY, type);
    EXPECT_EQ(WBEM_S_NO_MORE_DATA, row->Next(0, &name, &value, nullptr, nullptr));
    EXPECT_EQ(nullptr, name);
    EXPECT_EQ(VT_EMPTY, value.vt);
    row->Release();
}

TEST_F(WbemClient, GetFindsNamesWithoutRegardToCaseAndArraysComeAsSafeArrays) {
    PutTable();
    IEnumWbemClassObject* rows = nullptr;
    ASSERT_EQ(WBEM_S_NO_ERROR, Exec(u"SELECT * FROM Test_Thing", 0, &rows));
    IWbemClassObject* row = nullptr;
    ULONG returned = 0;
    ASSERT_EQ(WBEM_S_NO_ERROR, rows->Next(0, 1, &row, &returned));
    rows->Release();

    const size_t arrays = SeamLiveSafeArrays();
    VARIANT value;
    CIMTYPE type = 0;
    ASSERT_EQ(WBEM_S_NO_ERROR, row->Get(u"TAGS", 0, &value, &type, nullptr));
    EXPECT_EQ(VT_ARRAY | VT_BSTR, value.vt);
    EXPECT_EQ(CIM_STRING | CIM_FLAG_ARRAY, type);
    EXPECT_EQ(1u, SafeArrayGetDim(value.parray));
    EXPECT_EQ("[a, b]", VariantText(value));
    EXPECT_EQ(arrays + 1, SeamLiveSafeArrays());
    EXPECT_EQ(S_OK, VariantClear(&value));  // frees the array and its strings
    EXPECT_EQ(arrays, SeamLiveSafeArrays());

    ASSERT_EQ(WBEM_S_NO_ERROR, row->Get(u"size", 0, &value, &type, nullptr));
    EXPECT_EQ(VT_BSTR, value.vt);  // uint64 travels as decimal text
    EXPECT_EQ(CIM_UINT64, type);
    VariantClear(&value);
    ASSERT_EQ(WBEM_S_NO_ERROR, row->Get(u"__Class", 0, &value, nullptr, nullptr));
    EXPECT_EQ("Test_Thing", VariantText(value));
    VariantClear(&value);
    EXPECT_EQ(WBEM_E_NOT_FOUND, row->Get(u"Weight", 0, &value, nullptr, nullptr));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, row->Get(nullptr, 0, &value, nullptr, nullptr));

    SAFEARRAY* names = nullptr;
    ASSERT_EQ(WBEM_S_NO_ERROR, row->GetNames(nullptr, WBEM_FLAG_NONSYSTEM_ONLY, nullptr, &names));
    VARIANT list;
    VariantInit(&list);
    list.vt = VT_ARRAY | VT_BSTR;
    list.parray = names;
    EXPECT_EQ("[Name, Size, Tags]", VariantText(list));
    VariantClear(&list);

    IWbemClassObject* copy = nullptr;
    ASSERT_EQ(WBEM_S_NO_ERROR, row->Clone(&copy));
    EXPECT_EQ("first", ValueOf(ReadProperties(copy), "Name"));
    copy->Release();
    row->Release();
}

TEST_F(WbemClient, MethodsNotServedAnswerNotSupported) {
    PutTable();
    IEnumWbemClassObject* rows = nullptr;
    ASSERT_EQ(WBEM_S_NO_ERROR, Exec(u"SELECT * FROM Test_Thing", 0, &rows));
    IWbemClassObject* row = nullptr;
    ULONG returned = 0;
    ASSERT_EQ(WBEM_S_NO_ERROR, rows->Next(0, 1, &row, &returned));
    rows->Release();
    TestBstr text(u"Test_Thing");
    const HRESULT answers[] = {
        services_->OpenNamespace(text.get(), 0, nullptr, nullptr, nullptr),
        services_->CancelAsyncCall(nullptr),
        services_->QueryObjectSink(0, nullptr),
        services_->GetObject(text.get(), 0, nullptr, nullptr, nullptr),
        services_->GetObjectAsync(text.get(), 0, nullptr, nullptr),
        services_->PutClass(row, 0, nullptr, nullptr),
        services_->PutClassAsync(row, 0, nullptr, nullptr),
        services_->DeleteClass(text.get(), 0, nullptr, nullptr),
        services_->DeleteClassAsync(text.get(), 0, nullptr, nullptr),
        services_->CreateClassEnum(text.get(), 0, nullptr, nullptr),
        services_->CreateClassEnumAsync(text.get(), 0, nullptr, nullptr),
        services_->PutInstance(row, 0, nullptr, nullptr),
        services_->PutInstanceAsync(row, 0, nullptr, nullptr),
        services_->DeleteInstance(text.get(), 0, nullptr, nullptr),
        services_->DeleteInstanceAsync(text.get(), 0, nullptr, nullptr),
        services_->CreateInstanceEnumAsync(text.get(), 0, nullptr, nullptr),
        services_->ExecQueryAsync(text.get(), text.get(), 0, nullptr, nullptr),
        services_->ExecNotificationQuery(text.get(), text.get(), 0, nullptr, nullptr),
        services_->ExecNotificationQueryAsync(text.get(), text.get(), 0, nullptr, nullptr),
        services_->ExecMethod(text.get(), text.get(), 0, nullptr, nullptr, nullptr, nullptr),
        services_->ExecMethodAsync(text.get(), text.get(), 0, nullptr, nullptr, nullptr),
        row->GetQualifierSet(nullptr),
        row->Put(u"Name", 0, nullptr, CIM_STRING),
        row->Delete(u"Name"),
        row->GetPropertyQualifierSet(u"Name", nullptr),
        row->GetObjectText(0, nullptr),
        row->SpawnDerivedClass(0, nullptr),
        row->SpawnInstance(0, nullptr),
        row->CompareTo(0, row),
        row->GetPropertyOrigin(u"Name", nullptr),
        row->InheritsFrom(u"CIM_Thing"),
        row->GetMethod(u"Go", 0, nullptr, nullptr),
        row->PutMethod(u"Go", 0, nullptr, nullptr),
        row->DeleteMethod(u"Go"),
        row->BeginMethodEnumeration(0),
        row->NextMethod(0, nullptr, nullptr, nullptr),
        row->EndMethodEnumeration(),
        row->GetMethodQualifierSet(u"Go", nullptr),
        row->GetMethodOrigin(u"Go", nullptr),
    };
    for (size_t i = 0; i < sizeof(answers) / sizeof(answers[0]); ++i) {
        EXPECT_EQ(WBEM_E_NOT_SUPPORTED, answers[i]) << "call " << i;
    }
    row->Release();

    // CreateInstanceEnum is served: every instance of the class.
    IEnumWbemClassObject* all = nullptr;
    ASSERT_EQ(WBEM_S_NO_ERROR, services_->CreateInstanceEnum(text.get(), 0, nullptr, &all));
    IWbemClassObject* objects[4] = {};
    EXPECT_EQ(WBEM_S_FALSE, all->Next(0, 4, objects, &returned));
    EXPECT_EQ(2u, returned);
    for (ULONG i = 0; i < returned; ++i) {
        objects[i]->Release();
    }
    all->Release();
}

TEST_F(WbemClient, MethodsFailThroughTheSeamsWithTheArmedCode) {
    PutTable();
    SeamFailNthCall("IWbemServices::ExecQuery", 1, WBEM_E_FAILED);
    HRESULT status = S_OK;
    EXPECT_TRUE(Query(u"SELECT * FROM Test_Thing", &status).empty());
    EXPECT_EQ(WBEM_E_FAILED, status);

    SeamFailNthCall("IEnumWbemClassObject::Next", 2, WBEM_E_OUT_OF_MEMORY);
    EXPECT_EQ(1u, Query(u"SELECT * FROM Test_Thing", &status).size());
    EXPECT_EQ(WBEM_E_OUT_OF_MEMORY, status);
}

TEST(PosixOleAut, SafeArraysHoldCopiesAndRefuseWhatTheyCannotHold) {
    const size_t arrays = SeamLiveSafeArrays();
    const size_t bstrs = SeamLiveBstrs();
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 1, 2);
    ASSERT_NE(nullptr, array);
    BSTR text = SysAllocString(u"kept");
    LONG index = 1;
    EXPECT_EQ(S_OK, SafeArrayPutElement(array, &index, text));
    SysFreeString(text);                                           // the array holds its own copy
    EXPECT_EQ(S_OK, SafeArrayPutElement(array, &index, nullptr));  // replaces and frees it
    index = 3;
    EXPECT_EQ(DISP_E_BADINDEX, SafeArrayPutElement(array, &index, nullptr));
    index = 0;
    BSTR out = nullptr;
    EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetElement(array, &index, &out));
    LONG bound = 0;
    EXPECT_EQ(S_OK, SafeArrayGetUBound(array, 1, &bound));
    EXPECT_EQ(2, bound);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(S_OK, SafeArrayGetVartype(array, &vt));
    EXPECT_EQ(VT_BSTR, vt);

    void* data = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAccessData(array, &data));
    VARIANT holder;
    VariantInit(&holder);
    holder.vt = VT_ARRAY | VT_BSTR;
    holder.parray = array;
    EXPECT_EQ(DISP_E_ARRAYISLOCKED, VariantClear(&holder));  // left as it was
    EXPECT_EQ(VT_ARRAY | VT_BSTR, holder.vt);
    EXPECT_EQ(S_OK, SafeArrayUnaccessData(array));
    EXPECT_EQ(S_OK, VariantClear(&holder));
    EXPECT_EQ(arrays, SeamLiveSafeArrays());
    EXPECT_EQ(bstrs, SeamLiveBstrs());

    EXPECT_EQ(nullptr, SafeArrayCreateVector(VT_VARIANT, 0, 1));
    EXPECT_EQ(nullptr, SafeArrayCreateVector(VT_R8, 0, 0x7FFFFFFF));
    SAFEARRAY* empty = SafeArrayCreateVector(VT_I4, 0, 0);
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(S_OK, SafeArrayGetUBound(empty, 1, &bound));
    EXPECT_EQ(-1, bound);
    EXPECT_EQ(S_OK, SafeArrayDestroy(empty));
}

TEST(PosixCom, ProxyBlanketNeedsAnObjectAndIsJournalled) {
    SeamComJournalStart();
    EXPECT_EQ(E_INVALIDARG, CoSetProxyBlanket(nullptr, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                              RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE,
                                              nullptr, EOAC_NONE));
    EXPECT_EQ((Strings{"CoSetProxyBlanket(null, 10, 0, null, 3, 3, null, 0)"}),
              SeamComJournalTake());
    SeamFailNthCall("CoSetProxyBlanket", 1, 0x80070005);
    EXPECT_EQ(static_cast<HRESULT>(0x80070005),
              CoSetProxyBlanket(nullptr, 0, 0, nullptr, 0, 0, nullptr, 0));
    SeamClearFailures();
    EXPECT_TRUE(SeamComJournalTake().empty());  // off once taken
}

}  // namespace
