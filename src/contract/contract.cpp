#include "src/contract/contract.hpp"

namespace korvalle::contract {

namespace {

bool is_id_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}

Fault refused(std::string phrase) {
    return Fault{.kind = Fault::Kind::Refused, .detail = std::move(phrase), .place = {}};
}

}  // namespace

Result<void> validate_run_id(std::string_view text) {
    if (text.empty()) return refused("must not be empty");
    if (text.size() > max_id_bytes) {
        return refused("must be at most " + std::to_string(max_id_bytes) + " characters");
    }
    // Every allowed character is one ASCII byte, and every byte of a multi-byte UTF-8 sequence
    // (or of an invalid one) is outside that set, so a byte scan decides as a decoded scan would.
    for (unsigned char c : text) {
        if (!is_id_byte(c)) return refused("must use only ASCII letters, digits, '-', '_', and '.'");
    }
    if (text.front() == '.') return refused("must not start with '.'");
    return {};
}

std::optional<RunId> RunId::make(std::string_view text) {
    if (!validate_run_id(text)) return std::nullopt;
    return RunId(std::string(text));
}

}  // namespace korvalle::contract
