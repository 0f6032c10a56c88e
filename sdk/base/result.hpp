// How the run model and the server say that something failed as an expected outcome (a record
// that does not read, a file that cannot be read, a value a check refuses): a Result holding the
// value or the failure. A reading's failure is a Fault, whose message is written by message()
// alone; loading a file or opening a run fails with an SdkError, the run model's error type.
// Strict readers abandon a reading by throwing ReadingFailed, and their entry points turn it
// into a Result: no exception of theirs leaves them. A reading whose caller keeps only its
// verdict (a journal's open, which drops every line that is no envelope with its fault) is not abandoned
// by throwing: its reader stops at the first fault and notes it, with no Fault, message or place
// made (json::OnFault::Stop), and the verdict is the same.
#pragma once

#include <cstddef>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace korvalle {

// Where in a text a fault was found: lines count from 1, columns count bytes from 1.
struct TextPlace {
    std::size_t line = 0;
    std::size_t column = 0;

    bool operator==(const TextPlace&) const = default;
};

// The place of a fault found at a byte offset of text: a fault at a byte counts that byte in its
// column, a fault at the end (or past it) counts the bytes of the last line.
TextPlace place_in(std::string_view text, std::size_t offset);

// Why a reading failed or a check refused a value.
struct Fault {
    enum class Kind {
        Syntax,   // the text is not well-formed (or ends early)
        Data,     // well-formed, but not the record expected: a type, value, field or length
        Refused,  // a value a check refuses, such as an id
    };

    Kind kind = Kind::Data;
    std::string detail;              // the message without its place
    std::optional<TextPlace> place;  // where in the text, when the fault has a place

    bool operator==(const Fault&) const = default;
};

// The text of a fault: its detail, then " at line L column C" when it has a place.
std::string message(const Fault& fault);

// The error type of the run model: what loading a file or opening a run gives when it fails.
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

// The value, or why there is none. Both convert implicitly, so a function returns either.
template <class T, class E = Fault>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    // The value; only when ok().
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    // The failure; only when !ok().
    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

    // Equal when both hold equal values or equal failures (for types that compare).
    friend bool operator==(const Result&, const Result&) = default;

private:
    std::variant<T, E> state_;
};

// The outcome of a check or an action that gives nothing back when it succeeds.
template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    Result(E error) : error_(std::move(error)) {}

    bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }

    // The failure; only when !ok().
    const E& error() const& { return *error_; }
    E&& error() && { return *std::move(error_); }

    friend bool operator==(const Result&, const Result&) = default;

private:
    std::optional<E> error_;
};

// Thrown inside a strict reader to abandon the reading; the reader's entry point catches it and
// returns the fault. offset: the byte of the text read where the fault was found, turned into
// the fault's place by the entry point that knows the text (npos when the fault has its place
// already, or has none).
class ReadingFailed : public std::exception {
public:
    explicit ReadingFailed(Fault fault, std::size_t offset = npos) : fault_(std::move(fault)), offset_(offset) {}
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    const char* what() const noexcept override { return fault_.detail.c_str(); }
    const Fault& fault() const noexcept { return fault_; }
    Fault& fault() noexcept { return fault_; }
    std::size_t offset() const noexcept { return offset_; }

private:
    Fault fault_;
    std::size_t offset_;
};

// The fault of a reading of text abandoned by failure: placed at its offset, when it has one.
Fault fault_in(const ReadingFailed& failure, std::string_view text);

}  // namespace korvalle
