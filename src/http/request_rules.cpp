#include "src/http/request_rules.hpp"

#include <boost/beast/core/string.hpp>

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::server {

namespace http = boost::beast::http;
using boost::beast::iequals;
using std::string_view;

namespace {

// Codings a client may apply beneath chunked. Bodies are dropped unread whatever their coding, so
// knowing one only means that the framing around it is understood.
constexpr std::array<string_view, 5> known_codings{"gzip", "x-gzip", "deflate", "compress", "x-compress"};

string_view trim(string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The codings of every Transfer-Encoding line, in order; empty list elements are skipped.
std::vector<string_view> transfer_codings(const http::request_header<>& head) {
    std::vector<string_view> codings;
    for (auto [line, end] = head.equal_range(http::field::transfer_encoding); line != end; ++line) {
        string_view rest = line->value();
        while (!rest.empty()) {
            const auto comma = rest.find(',');
            if (auto coding = trim(rest.substr(0, comma)); !coding.empty()) codings.push_back(coding);
            rest = comma == string_view::npos ? string_view{} : rest.substr(comma + 1);
        }
    }
    return codings;
}

// The status that refuses the head's framing, or 0 when the body's end is certain. A body whose
// last coding is not chunked has no length a reader can agree on: read as empty, its bytes would
// be taken for the next request.
unsigned framing_fault(const http::request_header<>& head) {
    if (head.count(http::field::transfer_encoding) == 0) return 0;
    if (head.version() < 11 || head.count(http::field::content_length) != 0) return 400;
    auto codings = transfer_codings(head);
    if (codings.empty() || !iequals(codings.back(), "chunked")) return 400;
    codings.pop_back();
    for (auto coding : codings) {
        if (iequals(coding, "chunked")) return 400;
        auto known = [&](string_view name) { return iequals(coding, name); };
        if (std::none_of(known_codings.begin(), known_codings.end(), known)) return 501;
    }
    return 0;
}

bool is_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_unreserved_or_sub_delim(char c) { return is_alnum(c) || string_view("-._~!$&'()*+,;=").find(c) != string_view::npos; }

// RFC 3986 reg-name or IPv4address: unreserved, sub-delims and percent escapes.
bool is_reg_name(string_view name) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%') {
            if (i + 2 >= name.size() || !is_hex(name[i + 1]) || !is_hex(name[i + 2])) return false;
            i += 2;
        } else if (!is_unreserved_or_sub_delim(name[i])) {
            return false;
        }
    }
    return true;
}

// The host part of a Host value (a bracketed literal keeps its brackets), or nothing when the
// value is not `uri-host [ ":" port ]`.
std::optional<string_view> host_part(string_view value) {
    std::size_t end = 0;
    if (!value.empty() && value.front() == '[') {
        end = value.find(']');
        if (end == string_view::npos) return std::nullopt;
        ++end;
        const auto inner = value.substr(1, end - 2);
        if (inner.empty() || !std::all_of(inner.begin(), inner.end(), [](char c) {
                return c == ':' || is_unreserved_or_sub_delim(c);
            })) {
            return std::nullopt;
        }
    } else {
        end = std::min(value.find(':'), value.size());
        if (!is_reg_name(value.substr(0, end))) return std::nullopt;
    }
    const auto port = value.substr(end);
    if (!port.empty() && (port.front() != ':' || !std::all_of(port.begin() + 1, port.end(), [](char c) {
                              return c >= '0' && c <= '9';
                          }))) {
        return std::nullopt;
    }
    return value.substr(0, end);
}

// The authority of an absolute-form target ("http://localhost:8765/api/v2/runs"), taken where the
// router takes the path after it; nothing for a target of any other form.
std::optional<string_view> target_authority(string_view target) {
    const auto scheme_end = target.find("://");
    if (target.empty() || target.front() == '/' || scheme_end == string_view::npos) return std::nullopt;
    const auto rest = target.substr(scheme_end + 3);
    return rest.substr(0, rest.find_first_of("/?"));
}

bool parses_as(int family, string_view text) {
    std::array<unsigned char, 16> address{};
    return ::inet_pton(family, std::string(text).c_str(), address.data()) == 1;
}

// A name that only the client's own machine resolves: `localhost` or one or more labels under it.
// A trailing dot is refused: the absolute form is looked up by resolvers that may ask DNS.
bool is_localhost_name(string_view name) {
    constexpr string_view localhost = "localhost";
    if (name.size() < localhost.size() || !iequals(name.substr(name.size() - localhost.size()), localhost)) return false;
    if (name.size() == localhost.size()) return true;
    auto labels = name.substr(0, name.size() - localhost.size());
    if (labels.size() < 2 || labels.back() != '.') return false;
    labels.remove_suffix(1);
    for (std::size_t begin = 0; begin <= labels.size();) {
        const auto end = std::min(labels.find('.', begin), labels.size());
        const auto label = labels.substr(begin, end - begin);
        if (label.empty() || !std::all_of(label.begin(), label.end(), [](char c) { return is_alnum(c) || c == '-'; })) {
            return false;
        }
        begin = end + 1;
    }
    return true;
}

// A host a browser sends only when the page came from this machine or named an address: a page
// can have its own name resolve to 127.0.0.1, but not an IP literal or a localhost name.
bool names_this_machine(string_view host) {
    if (!host.empty() && host.front() == '[') return parses_as(AF_INET6, host.substr(1, host.size() - 2));
    return parses_as(AF_INET, host) || is_localhost_name(host);
}

Response status_only(unsigned status) {
    Response r;
    r.status = status;
    return r;
}

Response foreign_host(string_view value) {
    std::string text = "host \"";
    text += value;
    text += "\" is not served on a loopback address: reach this server as 127.0.0.1 or localhost, "
            "or bind another address\n";
    return Response{403, {{"content-type", "text/plain; charset=utf-8"}}, std::move(text)};
}

}  // namespace

bool is_loopback(const boost::asio::ip::address& address) {
    if (address.is_v4()) return address.to_v4().is_loopback();
    const auto v6 = address.to_v6();
    if (v6.is_v4_mapped()) return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6).is_loopback();
    return v6.is_loopback();
}

std::optional<Response> refusal(const http::request_header<>& head, bool loopback) {
    if (const unsigned status = framing_fault(head)) return status_only(status);
    const auto hosts = head.count(http::field::host);
    if (hosts > 1 || (hosts == 0 && head.version() >= 11)) return status_only(400);
    // The name the request is for: the target's authority when it has one, else Host (which
    // HTTP/1.0 need not send). Host must be well formed either way.
    std::optional<string_view> named;
    if (hosts == 1) {
        named = head[http::field::host];
        if (!host_part(*named)) return status_only(400);
    }
    if (const auto authority = target_authority(head.target())) {
        // Userinfo ("localhost@evil.example") is no host and port, so it is refused here too.
        if (authority->empty() || !host_part(*authority)) return status_only(400);
        named = authority;
    }
    if (loopback && named && !names_this_machine(*host_part(*named))) return foreign_host(*named);
    return std::nullopt;
}

}  // namespace korvalle::server
