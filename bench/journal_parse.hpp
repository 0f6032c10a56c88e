// The yardstick a document of a run is set beside: every line of the run's journal parsed by
// boost::json::parse, the lines read as the view reads them (in chunks, split without copies).
// A document made from an open view should cost a fraction of that, since the view has done
// the parsing once and the document only walks what it kept.
#pragma once

#include "sdk/journal/journal_lines.hpp"

#include <benchmark/benchmark.h>
#include <boost/json/parse.hpp>

#include <cstddef>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>

namespace korvalle::bench {

// Parses each line of the journal with Boost.JSON, dropping each value before the next line as
// a reader that only looks would; returns the lines that parsed.
inline std::size_t parse_journal_lines(const std::filesystem::path& journal) {
    std::size_t values = 0;
    journal::for_each_journal_line(journal, [&](std::string_view line) {
        boost::json::error_code ec;
        boost::json::value value = boost::json::parse(line, ec);
        values += ec ? 0 : 1;
        benchmark::DoNotOptimize(value);
    });
    return values;
}

// Which of two measured steps goes first in an iteration: a fixed seed, so that runs draw the
// same order, and neither step always finds the caches and the allocator as the other left them.
class CoinFlips {
public:
    bool next() { return std::bernoulli_distribution(0.5)(engine_); }

private:
    std::mt19937 engine_{20260301};
};

// The document beside the parse of the journal's lines, both summed over the iterations:
// "parse_ms" and "{name}_over_parse" (the target is at most 0.3).
inline void report_beside_parse(benchmark::State& state, const std::string& name, double parse_seconds,
                                double document_seconds) {
    state.counters["parse_ms"] = parse_seconds / static_cast<double>(state.iterations()) * 1e3;
    state.counters[name + "_over_parse"] = document_seconds / parse_seconds;
}

}  // namespace korvalle::bench
