#include "python/messages.hpp"

#include <initializer_list>

namespace tolm::python::messages {
namespace {

std::string concat(std::initializer_list<std::string_view> parts) {
    size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    std::string out;
    out.reserve(size);
    for (std::string_view part : parts) out.append(part);
    return out;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out.append(" and ");
            } else {
                out.append(i + 1 == names.size() ? ", and " : ", ");
            }
        }
        out.append(concat({"'", names[i], "'"}));
    }
    return out;
}

}  // namespace

std::string too_many_positional(std::string_view function, size_t required, size_t positional,
                                size_t given) {
    const std::string range =
        required == positional
            ? std::to_string(positional)
            : concat({"from ", std::to_string(required), " to ", std::to_string(positional)});
    return concat({function, " takes ", range, " positional arguments but ", std::to_string(given),
                   given == 1 ? " was given" : " were given"});
}

std::string unexpected_keyword(std::string_view function, std::string_view key) {
    return concat({function, " got an unexpected keyword argument '", key, "'"});
}

std::string multiple_values(std::string_view function, std::string_view name) {
    return concat({function, " got multiple values for argument '", name, "'"});
}

std::string positional_only_as_keyword(std::string_view function,
                                       const std::vector<std::string_view>& names) {
    return concat({function, " got some positional-only arguments passed as keyword arguments: ",
                   quoted_list(names)});
}

std::string missing_arguments(std::string_view function, std::string_view kind,
                              const std::vector<std::string_view>& names) {
    return concat({function, " missing ", std::to_string(names.size()), " required ", kind,
                   names.size() == 1 ? " argument: " : " arguments: ", quoted_list(names)});
}

std::string cannot_convert(std::string_view type_name, std::string_view target) {
    return concat({"'", type_name, "' object cannot be converted to '", target, "'"});
}

std::string labelled(std::string_view parameter, std::string_view message) {
    return concat({"argument '", parameter, "': ", message});
}

std::string class_init_failed(std::string_view class_name) {
    return concat({"An error occurred while initializing class ", class_name});
}

}  // namespace tolm::python::messages
