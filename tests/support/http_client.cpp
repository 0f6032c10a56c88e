#include "tests/support/http_client.hpp"

#include "tests/support/sanitizers.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <functional>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace korvalle::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (key == name) return value;
    }
    return std::nullopt;
}

struct HttpClient::Impl {
    asio::io_context ioc;
    tcp::socket socket{ioc};
    beast::flat_buffer buffer;
    std::chrono::milliseconds timeout;

    // Runs one asynchronous operation to its end or to the time limit.
    template <class Start>
    boost::system::error_code run(Start start, const char* what) {
        ioc.restart();
        bool done = false;
        boost::system::error_code result;
        start([&](boost::system::error_code ec, auto&&...) {
            done = true;
            result = ec;
        });
        ioc.run_for(timeout);
        if (!done) {
            boost::system::error_code ignored;
            socket.cancel(ignored);
            ioc.restart();
            ioc.run();
            throw std::runtime_error(std::string("timed out: ") + what);
        }
        return result;
    }
};

HttpClient::HttpClient(unsigned short port, std::chrono::milliseconds timeout, int receive_buffer)
    : impl_(std::make_unique<Impl>()) {
    impl_->timeout = timeout;
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
    if (receive_buffer > 0) {
        impl_->socket.open(tcp::v4());
        impl_->socket.set_option(asio::socket_base::receive_buffer_size(receive_buffer));
    }
    auto ec = impl_->run([&](auto handler) { impl_->socket.async_connect(endpoint, handler); }, "connect");
    if (ec) throw std::runtime_error("connect: " + ec.message());
}

HttpClient::~HttpClient() = default;

void HttpClient::send_raw(std::string_view bytes) {
    auto ec = impl_->run([&](auto handler) { asio::async_write(impl_->socket, asio::buffer(bytes), handler); },
                         "write");
    if (ec) throw std::runtime_error("write: " + ec.message());
}

HttpResponse HttpClient::read_response(bool head_request) {
    http::response_parser<http::string_body> parser;
    parser.body_limit(boost::none);
    parser.header_limit(1 << 20);
    if (head_request) parser.skip(true);
    auto ec = impl_->run([&](auto handler) { http::async_read(impl_->socket, impl_->buffer, parser, handler); },
                         "read");
    if (ec) throw std::runtime_error("read: " + ec.message());
    auto& res = parser.get();
    HttpResponse out;
    out.status = res.result_int();
    out.reason = std::string(res.reason());
    for (const auto& field : res) out.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    out.body = std::move(res.body());
    return out;
}

HttpResponse HttpClient::request(std::string_view method, std::string_view target,
                                 const std::vector<std::pair<std::string, std::string>>& headers,
                                 std::string_view body) {
    std::string raw = std::string(method) + " " + std::string(target) + " HTTP/1.1\r\nhost: 127.0.0.1\r\n";
    for (const auto& [name, value] : headers) raw += name + ": " + value + "\r\n";
    if (!body.empty()) raw += "content-length: " + std::to_string(body.size()) + "\r\n";
    raw += "\r\n";
    raw += body;
    send_raw(raw);
    return read_response(method == "HEAD");
}

std::string HttpClient::read_raw(std::size_t bytes) {
    std::string out(bytes, '\0');
    std::size_t got = asio::buffer_copy(asio::buffer(out), impl_->buffer.data());
    impl_->buffer.consume(got);
    if (got < bytes) {
        impl_->run(
            [&](auto handler) {
                asio::async_read(impl_->socket, asio::buffer(out.data() + got, bytes - got),
                                 [&, handler](boost::system::error_code ec, std::size_t n) mutable {
                                     got += n;
                                     handler(ec);
                                 });
            },
            "read");
    }
    out.resize(got);
    return out;
}

bool HttpClient::closed_by_peer(std::chrono::milliseconds wait) {
    auto saved = impl_->timeout;
    impl_->timeout = wait;
    char byte = 0;
    bool closed = false;
    try {
        auto ec = impl_->run([&](auto handler) { impl_->socket.async_read_some(asio::buffer(&byte, 1), handler); },
                             "read");
        closed = static_cast<bool>(ec);
    } catch (const std::runtime_error&) {
        closed = false;
    }
    impl_->timeout = saved;
    return closed;
}

HttpResponse http_get(unsigned short port, std::string_view target) {
    HttpClient client(port);
    return client.get(target);
}

std::string raw_exchange(unsigned short port, std::string_view bytes, std::chrono::milliseconds wait) {
    asio::io_context ioc;
    tcp::socket socket(ioc);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    asio::write(socket, asio::buffer(bytes));
    // Nothing more will be sent; a server that drains its input before closing sees the end.
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    std::string received;
    std::array<char, 4096> chunk{};
    std::function<void()> read_more = [&] {
        socket.async_read_some(asio::buffer(chunk), [&](boost::system::error_code ec, std::size_t n) {
            received.append(chunk.data(), n);
            if (!ec) read_more();
        });
    };
    read_more();
    ioc.run_for(wait);
    return received;
}

// The build tree: the test programs live in its "tests" folder.
static std::filesystem::path build_dir() {
#ifdef KORVALLE_BINARY_DIR
    return KORVALLE_BINARY_DIR;
#else
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path();
#endif
}

std::filesystem::path server_binary() { return build_dir() / "korvalle-api"; }
std::filesystem::path fake_tool_binary() { return build_dir() / "tests" / "fake_korvalle"; }

namespace {

std::vector<std::string> child_environment(const ProcessOptions& options) {
    std::vector<std::string> out;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        std::string_view name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& [key, value] : options.env) replaced = replaced || key == name;
        for (const auto& key : options.unset_env) replaced = replaced || key == name;
        if (!replaced) out.emplace_back(text);
    }
    for (const auto& [key, value] : options.env) out.push_back(key + "=" + value);
    return out;
}

// The texts as the array of C strings that exec takes; they must outlive it.
std::vector<char*> null_terminated(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& text : texts) out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

ServerProcess ServerProcess::spawn(ProcessOptions options) {
    ServerProcess process;
    char pattern[] = "/tmp/korvalle-api-stderr-XXXXXX";
    int err_fd = ::mkstemp(pattern);
    if (err_fd < 0) throw std::runtime_error("mkstemp failed");
    process.stderr_path_ = pattern;

    int out_pipe[2] = {-1, -1};
    if (!options.close_stdout && ::pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.close_stdout) {
        posix_spawn_file_actions_addclose(&actions, 1);
    } else {
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    }
    posix_spawn_file_actions_adddup2(&actions, err_fd, 2);

    std::string program = server_binary().string();
    std::vector<std::string> args{program};
    args.insert(args.end(), options.args.begin(), options.args.end());
    auto argv = null_terminated(args);
    auto env = child_environment(options);
    auto envp = null_terminated(env);

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(err_fd);
    if (out_pipe[1] >= 0) ::close(out_pipe[1]);
    if (rc != 0) {
        if (out_pipe[0] >= 0) ::close(out_pipe[0]);
        throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(rc));
    }
    process.pid_ = pid;
    process.stdout_fd_ = out_pipe[0];
    return process;
}

ServerProcess ServerProcess::serve(const std::filesystem::path& runs_root, ProcessOptions options,
                                   std::chrono::milliseconds wait) {
    std::vector<std::string> args{"serve", "--runs-root", runs_root.string(), "--bind", "127.0.0.1:0"};
    args.insert(args.end(), options.args.begin(), options.args.end());
    options.args = std::move(args);
    ServerProcess process = spawn(std::move(options));
    process.read_stdout(scaled(wait), true);
    auto nl = process.stdout_.find('\n');
    if (nl == std::string::npos) {
        throw std::runtime_error("no serving line; stderr: " + process.stderr_text());
    }
    process.serving_line_ = process.stdout_.substr(0, nl);
    auto colon = process.serving_line_.rfind(':');
    process.port_ = static_cast<unsigned short>(std::stoi(process.serving_line_.substr(colon + 1)));
    return process;
}

ServerProcess::ServerProcess(ServerProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      stdout_fd_(std::exchange(other.stdout_fd_, -1)),
      stderr_path_(std::move(other.stderr_path_)),
      stdout_(std::move(other.stdout_)),
      serving_line_(std::move(other.serving_line_)),
      port_(other.port_),
      status_(other.status_) {
    other.stderr_path_.clear();
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (stdout_fd_ >= 0) ::close(stdout_fd_);
    if (!stderr_path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(stderr_path_, ignored);
    }
}

void ServerProcess::read_stdout(std::chrono::milliseconds wait, bool until_line) {
    if (stdout_fd_ < 0) return;
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (true) {
        if (until_line && stdout_.find('\n') != std::string::npos) return;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return;
        pollfd pfd{stdout_fd_, POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(until_line ? left.count() : 0));
        if (ready <= 0) return;
        char chunk[4096];
        ssize_t n = ::read(stdout_fd_, chunk, sizeof chunk);
        if (n <= 0) return;
        stdout_.append(chunk, static_cast<std::size_t>(n));
    }
}

void ServerProcess::signal(int sig) const { ::kill(pid_, sig); }

int ServerProcess::wait(std::chrono::milliseconds limit) {
    if (status_) return *status_;
    auto deadline = std::chrono::steady_clock::now() + scaled(limit);
    while (true) {
        int status = 0;
        pid_t got = ::waitpid(pid_, &status, WNOHANG);
        if (got == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return *status_;
        }
        if (std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ServerProcess::stop(std::chrono::milliseconds limit) {
    signal(SIGTERM);
    return wait(limit);
}

bool ServerProcess::running() { return wait(std::chrono::milliseconds(0)) == -1; }

std::string ServerProcess::stdout_text() {
    read_stdout(std::chrono::milliseconds(0), false);
    return stdout_;
}

std::string ServerProcess::stderr_text() const {
    std::ifstream in(stderr_path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace korvalle::testing
