// Names, texts and the program name rule of the telemetry client.
#include "src/telemetry/telemetry.hpp"

#include "sdk/base/text.hpp"

#include <array>

namespace korvalle::telemetry {

namespace {

constexpr std::array<std::string_view, bucket_count> bucket_names = {
    "agent", "judge", "llmlint", "gate", "publication_wait", "lock_wait", "setup", "scheduling"};
constexpr std::array<std::string_view, party_count> party_names = {"agent", "judge", "llmlint", "total"};

}  // namespace

std::string_view bucket_name(BucketName bucket) { return bucket_names.at(static_cast<std::size_t>(bucket)); }

std::string_view party_name(UsageParty party) { return party_names.at(static_cast<std::size_t>(party)); }

std::string NotAnAmount::to_string() const { return text::f64_debug(value) + ", which is not an amount of money"; }

std::string telemetry_binary(std::optional<std::string_view> value) {
    if (const auto usable = text::usable_setting(value)) return std::string(*usable);
    return "korvalle";
}

std::string Unavailable::message(std::string_view program_name) const {
    const std::string program(program_name);
    switch (kind) {
    case Kind::CannotStart:
        return "cannot start `" + program + " telemetry`: " + text +
               " \u2014 install the matching `korvalle`, or name one with KORVALLE_UI_KORVALLE_BIN";
    case Kind::Refused:
        return "`" + program + " telemetry` refused: " + text;
    case Kind::Unreadable:
        return "`" + program + " telemetry` answered a document this build cannot read: " + text;
    case Kind::Stopped:
        return "`" + program + " telemetry` was stopped with the server";
    }
    return text;
}

}  // namespace korvalle::telemetry
