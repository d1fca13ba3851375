#include "python/messages.hpp"

namespace tolm::python::messages {
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += i + 1 == names.size() ? ", and " : ", ";
            }
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

}  // namespace

std::string too_many_positional(std::string_view function, size_t required, size_t positional,
                                size_t given) {
    std::string out(function);
    out += " takes ";
    if (required != positional) out += "from " + std::to_string(required) + " to ";
    out += std::to_string(positional) + " positional arguments but " + std::to_string(given);
    out += given == 1 ? " was given" : " were given";
    return out;
}

std::string unexpected_keyword(std::string_view function, std::string_view key) {
    return std::string(function) + " got an unexpected keyword argument '" + std::string(key) + "'";
}

std::string multiple_values(std::string_view function, std::string_view name) {
    return std::string(function) + " got multiple values for argument '" + std::string(name) + "'";
}

std::string positional_only_as_keyword(std::string_view function,
                                       const std::vector<std::string_view>& names) {
    return std::string(function) +
           " got some positional-only arguments passed as keyword arguments: " + quoted_list(names);
}

std::string missing_arguments(std::string_view function, std::string_view kind,
                              const std::vector<std::string_view>& names) {
    return std::string(function) + " missing " + std::to_string(names.size()) + " required " +
           std::string(kind) + (names.size() == 1 ? " argument: " : " arguments: ") +
           quoted_list(names);
}

std::string cannot_convert(std::string_view type_name, std::string_view target) {
    return "'" + std::string(type_name) + "' object cannot be converted to '" +
           std::string(target) + "'";
}

std::string labelled(std::string_view parameter, std::string_view message) {
    return "argument '" + std::string(parameter) + "': " + std::string(message);
}

std::string class_init_failed(std::string_view class_name) {
    return "An error occurred while initializing class " + std::string(class_name);
}

}  // namespace tolm::python::messages
