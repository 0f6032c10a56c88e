// The compact JSON writer used for every document, error body and event frame.
#include "sdk/base/json.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>

#include <charconv>
#include <cmath>
#include <cstring>

namespace korvalle::json {

namespace {

void write_string(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t run = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(s.data() + run, i - run);
        run = i + 1;
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            case '\b': out.append("\\b"); break;
            case '\f': out.append("\\f"); break;
            default: {
                const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
                out.append(esc, sizeof esc);
            }
        }
    }
    out.append(s.data() + run, s.size() - run);
    out.push_back('"');
}

template <class T>
void write_integer(std::string& out, T value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

void append_double(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out.append("null");
        return;
    }
    // Shortest round-trip digits in scientific form ("1.5e-07"), then laid out as the Rust
    // writers do: positional with ".0" when the decimal point falls within 16 digits,
    // exponent form "1e16" / "1.5e-7" otherwise.
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    if (sci.front() == '-') {
        out.push_back('-');
        sci.remove_prefix(1);
    }
    std::size_t e_pos = sci.find('e');
    char digits[20];
    std::size_t length = 0;
    for (std::size_t i = 0; i < e_pos; ++i) {
        if (sci[i] != '.') digits[length++] = sci[i];
    }
    int exponent = 0;
    std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+' ? 1 : 0), sci.data() + sci.size(),
                    exponent);
    if (length == 1 && digits[0] == '0') {
        out.append("0.0");
        return;
    }
    const int kk = exponent + 1;  // position of the decimal point after the first digit
    const int len = static_cast<int>(length);
    if (len <= kk && kk <= 16) {
        out.append(digits, length);
        out.append(static_cast<std::size_t>(kk - len), '0');
        out.append(".0");
    } else if (0 < kk && kk <= 16) {
        out.append(digits, static_cast<std::size_t>(kk));
        out.push_back('.');
        out.append(digits + kk, length - static_cast<std::size_t>(kk));
    } else if (-5 < kk && kk <= 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-kk), '0');
        out.append(digits, length);
    } else {
        out.push_back(digits[0]);
        if (length > 1) {
            out.push_back('.');
            out.append(digits + 1, length - 1);
        }
        out.push_back('e');
        write_integer(out, kk - 1);
    }
}

}  // namespace

void write_to(std::string& out, const boost::json::value& value) {
    switch (value.kind()) {
        case boost::json::kind::null: out.append("null"); break;
        case boost::json::kind::bool_: out.append(value.get_bool() ? "true" : "false"); break;
        case boost::json::kind::int64: write_integer(out, value.get_int64()); break;
        case boost::json::kind::uint64: write_integer(out, value.get_uint64()); break;
        case boost::json::kind::double_: append_double(out, value.get_double()); break;
        case boost::json::kind::string: {
            const auto& s = value.get_string();
            write_string(out, std::string_view(s.data(), s.size()));
            break;
        }
        case boost::json::kind::array: {
            out.push_back('[');
            bool first = true;
            for (const auto& element : value.get_array()) {
                if (!first) out.push_back(',');
                first = false;
                write_to(out, element);
            }
            out.push_back(']');
            break;
        }
        case boost::json::kind::object: {
            out.push_back('{');
            bool first = true;
            for (const auto& member : value.get_object()) {
                if (!first) out.push_back(',');
                first = false;
                write_string(out, std::string_view(member.key().data(), member.key().size()));
                out.push_back(':');
                write_to(out, member.value());
            }
            out.push_back('}');
            break;
        }
    }
}

std::string write(const boost::json::value& value) {
    std::string out;
    write_to(out, value);
    return out;
}

std::string format_double(double value) {
    std::string out;
    append_double(out, value);
    return out;
}

}  // namespace korvalle::json
