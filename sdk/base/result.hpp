// The result types of the run-model side: the outcome of reading one record from text or a
// value (Read), and the outcome of loading a file or opening a run (Loaded, failing with
// SdkError).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace korvalle {

// The outcome of one reading: the record, or the message of the first fault.
template <class T>
struct Read {
    std::optional<T> value;
    std::string error;  // set when value is empty

    bool ok() const { return value.has_value(); }
};

// The error type of the run-model side.
struct SdkError {
    // The run directory is not a directory.
    struct RunNotFound {
        std::string id;
        std::filesystem::path dir;  // the directory searched
    };
    // A file could not be read as UTF-8 text.
    struct Io {
        std::filesystem::path path;  // as the caller gave it
        int code = 0;                // errno; 0 for text that is not valid UTF-8
        std::string error;           // "No such file or directory (os error 2)", ...
    };
    // A file was read but does not hold what it should; the text starts with the path.
    struct Message {
        std::string text;
    };

    std::variant<RunNotFound, Io, Message> error;

    // Display text: the message text, "{path}: {os error}", or "run {id} not found in {dir}".
    std::string to_string() const;
};

template <class T>
struct Loaded {
    std::variant<T, SdkError> result;

    bool ok() const { return result.index() == 0; }
    const T& value() const { return std::get<0>(result); }
    T& value() { return std::get<0>(result); }
    const SdkError& error() const { return std::get<1>(result); }
};

}  // namespace korvalle
