// The table provider: classes that a test fills with rows of typed values
// (SeamWbemSetTable). A table serves its class in place of any inventory class of
// the same name until SeamWbemClearTables.
#include <mutex>

#include "platform/posix/shared/seams.h"
#include "platform/posix/wbem/wbem_internal.h"

namespace {

struct Table {
    std::shared_ptr<const WbemClassSchema> schema;
    std::shared_ptr<const std::vector<WbemRow>> rows;
};

struct TableState {
    std::mutex lock;
    std::vector<Table> tables;
};

TableState& State() {
    static TableState* state = new TableState();  // never destroyed: used until exit
    return *state;
}

}  // namespace

void SeamWbemSetTable(const std::u16string& className, const std::vector<WbemTableColumn>& columns,
                      const std::vector<std::vector<WbemValue>>& rows) {
    auto schema = std::make_shared<WbemClassSchema>();
    schema->name = className;
    for (const WbemTableColumn& column : columns) {
        schema->properties.push_back(WbemProperty{column.name, column.type});
    }
    auto stored = std::make_shared<std::vector<WbemRow>>(rows);
    TableState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    for (Table& table : state.tables) {
        if (WqlSameName(table.schema->name, className)) {
            table = Table{schema, stored};
            return;
        }
    }
    state.tables.push_back(Table{schema, stored});
}

void SeamWbemClearTables() {
    TableState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.tables.clear();
}

bool WbemFindTableClass(const std::u16string& name, WbemClassSource* source) {
    TableState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    for (const Table& table : state.tables) {
        if (WqlSameName(table.schema->name, name)) {
            const std::shared_ptr<const std::vector<WbemRow>> rows = table.rows;
            source->schema = table.schema;
            source->read = [rows](std::vector<WbemRow>* out) {
                out->insert(out->end(), rows->begin(), rows->end());
                return S_OK;
            };
            return true;
        }
    }
    return false;
}

bool WbemFindClass(const std::u16string& name, WbemClassSource* source) {
    return WbemFindTableClass(name, source) || WbemFindInventoryClass(name, source);
}
