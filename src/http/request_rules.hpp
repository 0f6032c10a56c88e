// What the server refuses of a request head before it reads the body or routes the request: the
// framing RFC 9112 forbids (where two readers of the same bytes could disagree on where the
// request ends), and, on a listener bound to a loopback address, Host names that a web page could
// have pointed there by DNS rebinding.
#pragma once

#include "src/http/message.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/beast/http/message.hpp>

#include <optional>

namespace korvalle::server {

// True for 127.0.0.0/8, ::1 and their IPv4-mapped forms.
bool is_loopback(const boost::asio::ip::address& address);

// The server's own answer to a head it refuses, or nothing when the request may be served. The
// connection ends after the answer: what follows the head is never read as another request.
//   400  Transfer-Encoding whose last coding is not chunked (or names chunked twice), together
//        with Content-Length, or on HTTP/1.0; no Host on HTTP/1.1, several, or one that is not
//        a host and port; an absolute-form target whose authority is not a host and port (empty,
//        or with userinfo);
//   501  Transfer-Encoding ending in chunked with another coding this server does not know;
//   403  on a loopback listener (`loopback`), a name that is not an IP literal, `localhost` or
//        a name under `.localhost` (any port), with a one-line text/plain body naming it. The
//        name is the authority of an absolute-form target ("GET http://localhost/..."), which
//        stands for Host, or else Host.
std::optional<Response> refusal(const boost::beast::http::request_header<>& head, bool loopback);

}  // namespace korvalle::server
