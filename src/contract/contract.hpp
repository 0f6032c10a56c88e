// The identifier rule: which texts the system accepts as run, node, conversation and artifact
// ids and as the run-list cursor, and the owned id type that handlers, the store and the
// telemetry client pass around.
#pragma once

#include "sdk/base/result.hpp"

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace korvalle::contract {

// The read API's version numbers, carried by every success body and every snapshot event.
inline constexpr std::uint32_t api_version = 2;
inline constexpr std::uint32_t telemetry_schema_version = 12;

// The longest id, in bytes.
inline constexpr std::size_t max_id_bytes = 128;

// Checks one text against the identifier rule. Fails with a Refused fault whose message is the
// phrase ("must not be empty", "must be at most 128 characters", "must use only ASCII letters,
// digits, '-', '_', and '.'", "must not start with '.'"), which fills an API error's detail.
Result<void> validate_run_id(std::string_view text);

// An id that passed the identifier rule; never changed afterwards. Shown as its text.
class RunId {
public:
    // The text as an id when it passes the rule (callers that need the refusal's phrase run
    // validate_run_id themselves first).
    static std::optional<RunId> make(std::string_view text);

    const std::string& str() const { return text_; }
    std::string_view view() const { return text_; }

    friend bool operator==(const RunId&, const RunId&) = default;
    friend std::strong_ordering operator<=>(const RunId&, const RunId&) = default;
    // Shown as its text, unchanged: no quoting, and a width set for it is used up without
    // padding (it must not pass on to the next item written).
    friend std::ostream& operator<<(std::ostream& out, const RunId& id) {
        out.width(0);
        return out.write(id.text_.data(), static_cast<std::streamsize>(id.text_.size()));
    }

private:
    explicit RunId(std::string text) : text_(std::move(text)) {}
    std::string text_;
};

}  // namespace korvalle::contract

template <>
struct std::hash<korvalle::contract::RunId> {
    std::size_t operator()(const korvalle::contract::RunId& id) const noexcept {
        return std::hash<std::string_view>{}(id.view());
    }
};
