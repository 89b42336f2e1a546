#include "request.h"

namespace qgecho {

const std::string* Request::find(std::string_view name) const {
    for (const auto& [key, value] : variables) {
        if (key == name) {
            return &value;
        }
    }
    return nullptr;
}

}  // namespace qgecho
