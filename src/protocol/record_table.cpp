#include "protocol/record_table.h"

namespace hq::protocol {

std::string columnName(std::string_view fieldName, Unit unit) {
    std::string name(fieldName);
    if (!unit.id.empty()) {
        name += '_';
        name += unit.id;
    }
    return name;
}

} // namespace hq::protocol
