// How fast a client must take an answer that the socket cannot hold at once: a connection that
// stops reading, or reads a large answer too slowly, must not keep its answer's memory (or the
// stop) for long, while one that reads in bursts at a fair average is served to the end.
//
// Progress is what the peer has taken: the bytes written less those the kernel still holds
// queued for it (SIOCOUTQ: written and not yet acknowledged). Unlike TCP_INFO's count of
// acknowledged bytes, which runs over the connection's whole life, it is read against the
// answer's own count of bytes written, in one small call. The reader holds credit,
// `pace_bytes` at most, and has all of it when the socket first fills; time spends it at
// `pace_bytes` per `stall_timeout`, what the peer takes earns it back, and the answer is given
// up when none is left. For an answer smaller than `pace_bytes` the credit is one byte: any
// progress within `stall_timeout` keeps the connection.
#pragma once

#include <chrono>
#include <cstdint>

namespace korvalle::server {

class Pace {
public:
    using clock = std::chrono::steady_clock;

    // The credit of an answer of `answer_size` bytes whose socket `fd` has just filled, after
    // `written` bytes of it.
    Pace(int fd, std::uint64_t answer_size, std::uint64_t pace_bytes, std::chrono::milliseconds stall_timeout,
         std::uint64_t written, clock::time_point now);

    // Counts what the peer has taken of the `written` bytes since the last look; true when the
    // credit has run out.
    bool spent(std::uint64_t written, clock::time_point now);

    // How long to wait for room before the next look while the socket stays full: a thirtieth
    // of stall_timeout. What the peer takes counts at the look that sees it, so looks this close
    // keep the account near the truth (bytes a client's kernel takes while its credit is full
    // earn nothing), and the cut comes at most this late.
    clock::duration between_looks() const { return credit_time_ / 30; }

private:
    std::int64_t taken(std::uint64_t written) const;

    int fd_;
    std::uint64_t credit_bytes_;   // the most credit a reader holds
    clock::duration credit_time_;  // how long the most credit lasts
    std::int64_t taken_;           // at the last look; below zero while earlier answers are queued
    clock::time_point runs_out_;   // when the credit is gone unless the peer takes more
};

}  // namespace korvalle::server
