// Helpers shared by the plan reader tests.
#pragma once

#include <string>
#include <string_view>

namespace korvalle::plan::checks {

// The message without a final " at line L column C" (left as it is when it has none).
inline std::string without_location(const std::string& message) {
    std::size_t at = message.rfind(" at line ");
    if (at == std::string::npos) return message;
    std::string_view rest = std::string_view(message).substr(at + 9);
    std::size_t column = rest.find(" column ");
    if (column == std::string_view::npos) return message;
    auto digits = [](std::string_view s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!digits(rest.substr(0, column)) || !digits(rest.substr(column + 8))) return message;
    return message.substr(0, at);
}

}  // namespace korvalle::plan::checks
