#include "src/http/pace.hpp"

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>

namespace korvalle::server {

Pace::Pace(int fd, std::uint64_t answer_size, std::uint64_t pace_bytes, std::chrono::milliseconds stall_timeout,
           std::uint64_t written, clock::time_point now)
    : fd_(fd),
      credit_bytes_(std::max<std::uint64_t>(1, answer_size >= pace_bytes ? pace_bytes : 1)),
      credit_time_(stall_timeout),
      taken_(taken(written)),
      runs_out_(now + credit_time_) {}

// Where the kernel cannot say what is queued, nothing is: progress is then what the socket took.
std::int64_t Pace::taken(std::uint64_t written) const {
    int queued = 0;
    if (::ioctl(fd_, SIOCOUTQ, &queued) != 0 || queued < 0) queued = 0;
    return static_cast<std::int64_t>(written) - queued;
}

bool Pace::spent(std::uint64_t written, clock::time_point now) {
    const std::int64_t taken_now = taken(written);
    if (taken_now > taken_) {
        const auto earned = static_cast<std::uint64_t>(taken_now - taken_);
        taken_ = taken_now;
        // The peer took these bytes at some moment since the last look; they count as taken now,
        // which errs on the reader's side by at most the time between two looks.
        const auto earned_time =
            earned >= credit_bytes_
                ? credit_time_
                : std::chrono::duration_cast<clock::duration>(
                      credit_time_ * (static_cast<double>(earned) / static_cast<double>(credit_bytes_)));
        runs_out_ = std::min(now + credit_time_, runs_out_ + earned_time);
    }
    return runs_out_ <= now;
}

}  // namespace korvalle::server
