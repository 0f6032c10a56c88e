// A way to run the shards of one job, shards that depend on nothing but their index: the code in
// sdk/ hands such shards over and reads what each made once all have run, and stays free of
// threads and locks; the threads, if any, are those of whoever provides the runner.
#pragma once

#include <cstddef>
#include <functional>

namespace korvalle::shards {

class Runner {
public:
    virtual ~Runner() = default;

    // How many threads would run shards if run were called now, the caller's own included: 1 when
    // only the caller would (a job then has no reason to cut itself into shards).
    virtual std::size_t width() = 0;

    // Runs shard(0) … shard(count - 1), each once, in any order and possibly at once, the
    // caller's thread among those running them, and returns once all have ended. then, unless
    // empty, takes the shards' results in: then(0) … then(count - 1) run on the caller's thread,
    // in that order, each once its shard has ended (and all before it were taken in), while later
    // shards may still run. When a shard or then throws, shards not yet begun may be skipped and
    // then is called no more, and the first exception is rethrown once the begun shards have
    // ended.
    virtual void run(std::size_t count, const std::function<void(std::size_t)>& shard,
                     const std::function<void(std::size_t)>& then) = 0;
};

}  // namespace korvalle::shards
