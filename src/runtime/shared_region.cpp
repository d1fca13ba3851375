// What every platform's shared region has in common: the names it accepts.
#include "runtime/shared_region.hpp"

#include <string>

namespace tolm::platform {

void validate_shared_region_name(std::string_view name) {
    if (name.empty() || name.size() > kMaxSharedRegionName) {
        throw SharedRegionError("shared region name must be 1 to " +
                                std::to_string(kMaxSharedRegionName) + " characters, got " +
                                std::to_string(name.size()));
    }
    for (const char c : name) {
        if (c == '/' || c == '\\' || c < 0x21 || c > 0x7e) {
            throw SharedRegionError(
                "shared region name may hold printable ASCII without '/', '\\' or blanks: '" +
                std::string(name) + "' does not");
        }
    }
}

}  // namespace tolm::platform
