#include "sdk/base/result.hpp"

#include "sdk/base/text.hpp"

namespace korvalle {

namespace {

std::string path_text(const std::filesystem::path& path) { return text::lossy_utf8(path.native()); }

}  // namespace

std::string SdkError::to_string() const {
    if (const auto* m = std::get_if<Message>(&error)) return m->text;
    if (const auto* io = std::get_if<Io>(&error)) return path_text(io->path) + ": " + io->error;
    const auto& nf = std::get<RunNotFound>(error);
    return "run " + nf.id + " not found in " + path_text(nf.dir);
}

}  // namespace korvalle
