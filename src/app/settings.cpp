#include "src/app/settings.hpp"

#include "sdk/run/liveness.hpp"
#include "src/http/pool.hpp"
#include "src/telemetry/telemetry.hpp"

#include <charconv>

#include <cstdlib>
#include <optional>
#include <string_view>

namespace korvalle::server {

namespace {

// The variable's value; none when it is unset.
std::optional<std::string_view> variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

}  // namespace

store::Settings read_settings() {
    store::Settings settings;
    settings.telemetry_program = telemetry::telemetry_binary(variable("KORVALLE_UI_KORVALLE_BIN"));
    settings.host_name = views::host_name(variable("HOSTNAME"), variable("COMPUTERNAME"));
    settings.parked_after_seconds = views::parked_after_seconds(variable("KORVALLE_PARKED_AFTER_SECONDS"));
    return settings;
}

std::size_t blocking_threads() {
    const auto value = variable("KORVALLE_UI_BLOCKING_THREADS");
    std::size_t threads = 0;
    if (value) std::from_chars(value->data(), value->data() + value->size(), threads);
    return threads > 0 ? threads : BlockingPool::default_max_threads;
}

}  // namespace korvalle::server
