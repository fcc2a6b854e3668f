// Inside the posix WMI client: class schemas, the providers that serve them, query
// execution and the factories of the COM classes. Not for the library.
//
// A provider serves classes: a schema (the class name and its properties, in the
// order WMI enumerates them) and a reader that delivers the rows, each a value per
// property in schema order. Two providers exist: the tables a test puts in
// (SeamWbemSetTable), which take precedence, and this machine's inventory
// (inventory_*.cpp). Rows are read when a query runs, so each query sees the
// machine as it is then.
#ifndef OSTREL_PLATFORM_POSIX_WBEM_INTERNAL_H
#define OSTREL_PLATFORM_POSIX_WBEM_INTERNAL_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/wbem/wbem_value.h"
#include "platform/posix/wbem/wql_parser.h"

struct WbemProperty {
    std::u16string name;
    CIMTYPE type;
};

struct WbemClassSchema {
    std::u16string name;
    std::vector<WbemProperty> properties;
};

// One instance: a value per property of the schema, in the schema's order.
using WbemRow = std::vector<WbemValue>;

struct WbemClassSource {
    std::shared_ptr<const WbemClassSchema> schema;
    // Appends the class's rows; a failure status when they cannot be read.
    std::function<HRESULT(std::vector<WbemRow>*)> read;
};

// Finds the class named `name` (without regard to case): a test table first, then
// this machine's inventory.
bool WbemFindClass(const std::u16string& name, WbemClassSource* source);
bool WbemFindTableClass(const std::u16string& name, WbemClassSource* source);
bool WbemFindInventoryClass(const std::u16string& name, WbemClassSource* source);
// The names of the classes this machine's inventory serves.
std::vector<std::u16string> WbemInventoryClassNames();

// One instance as a query hands it out: the properties it carries (indices into
// the schema, in the schema's order) and their values.
struct WbemObjectData {
    std::shared_ptr<const WbemClassSchema> schema;
    std::vector<size_t> selected;
    WbemRow values;  // one per entry of `selected`
};
using WbemObjectRef = std::shared_ptr<const WbemObjectData>;

// Runs a parsed query: WBEM_E_INVALID_CLASS for a class no provider serves,
// WBEM_E_INVALID_QUERY for a column or WHERE name the class lacks, the provider's
// status when its rows cannot be read; else S_OK with the rows the WHERE clause
// keeps, in the provider's order.
HRESULT WbemRunQuery(const WqlQuery& query, std::vector<WbemObjectRef>* rows);

// Whether `row` of `schema` satisfies `condition`, whose names the schema has. A
// comparison involving a property without a value is false; IS NULL holds for it.
bool WbemConditionHolds(const WqlCondition& condition, const WbemClassSchema& schema,
                        const WbemRow& row);

// The system properties every object carries, enumerated before the others.
struct WbemSystemProperty {
    const char16_t* name;
    CIMTYPE type;
};
extern const WbemSystemProperty kWbemSystemProperties[];
extern const size_t kWbemSystemPropertyCount;
// The value of system property `index` for `object`.
WbemValue WbemSystemValue(size_t index, const WbemObjectData& object);

// This machine's name (uname), as __SERVER and the inventory show it.
std::u16string WbemComputerName();

// An armed failure of the method `name` (as "IWbemServices::ExecQuery"), as its
// HRESULT in *hr.
bool WbemMethodFails(const char* name, HRESULT* hr);

// Factories of the COM classes: a new object with one reference, null when memory
// is short.
IWbemServices* CreateWbemServices();
// An enumerator over `rows`; with a failing `pendingStatus` every Next answers
// that status instead (a query whose errors are reported late, as a
// semisynchronous call reports them).
IEnumWbemClassObject* CreateWbemEnumerator(std::vector<WbemObjectRef> rows, HRESULT pendingStatus,
                                           bool forwardOnly);
IWbemClassObject* CreateWbemClassObject(WbemObjectRef object);

#endif  // OSTREL_PLATFORM_POSIX_WBEM_INTERNAL_H
