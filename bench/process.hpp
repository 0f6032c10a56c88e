// Helpers for the benchmarks that measure in processes of their own: a figure of the process's
// status, and a run of the benchmark's own binary with other arguments.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace korvalle::bench {

// A field of /proc/self/status given in kB ("VmRSS", "VmHWM", "RssAnon"), in MiB; 0 when absent.
inline double status_mb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, length, field) == 0 && line[length] == ':') {
            return std::strtod(line.c_str() + length + 1, nullptr) / 1024.0;
        }
    }
    return 0;
}

// What this benchmark's binary run with args (a command line's text) writes to its standard
// output.
inline std::string child(const std::string& args) {
    const std::string command = "/proc/" + std::to_string(::getpid()) + "/exe " + args;
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
        ::pclose(pipe);
    }
    return out;
}

}  // namespace korvalle::bench
