#pragma once
// A library figure and its physical limit, measured turn about in one benchmark loop.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

// Each iteration times one library run and one limit run, in alternating order, so that both
// meet the same load on the machine. The iterations are cut into rounds, and each round starts
// with fresh connections (new_round): which core serves which connection, in this process and in
// the simulator, otherwise favours one side for a whole run on a machine shared with other work.
// Every round gives a median for each side and their ratio; the round with the median ratio
// goes out as the counters that every benchmark of these programs reports: library_us, limit_us
// and ratio.
namespace vortlink::bench {

class paired_timing {
  public:
    template <typename Library, typename Limit, typename NewRound>
    void run(benchmark::State &state, std::size_t round_length, NewRound new_round,
             Library library, Limit limit) {
        std::vector<double> library_us;
        std::vector<double> limit_us;
        const auto close_round = [&] {
            if (library_us.empty() || limit_us.empty())
                return;
            const double library_median = median(library_us);
            const double limit_median = median(limit_us);
            rounds_.push_back({library_median, limit_median,
                               limit_median > 0 ? library_median / limit_median : 0});
            library_us.clear();
            limit_us.clear();
        };
        bool library_first = true;
        std::size_t in_round = 0;
        for (auto _ : state) {
            if (in_round == 0) {
                state.PauseTiming();
                close_round();
                new_round();
                state.ResumeTiming();
            }
            in_round = (in_round + 1) % round_length;
            if (library_first)
                library_us.push_back(microseconds_of(library));
            limit_us.push_back(microseconds_of(limit));
            if (!library_first)
                library_us.push_back(microseconds_of(library));
            library_first = !library_first;
        }
        close_round();
        if (rounds_.empty())
            return;
        std::sort(rounds_.begin(), rounds_.end(),
                  [](const round &a, const round &b) { return a.ratio < b.ratio; });
        const round &middle = rounds_[(rounds_.size() - 1) / 2];
        state.counters["library_us"] = middle.library_us;
        state.counters["limit_us"] = middle.limit_us;
        state.counters["ratio"] = middle.ratio;
    }

    // One round: for work that sets itself up anew every time.
    template <typename Library, typename Limit>
    void run(benchmark::State &state, Library library, Limit limit) {
        run(state, SIZE_MAX, [] {}, library, limit);
    }

  private:
    template <typename Work> static double microseconds_of(Work work) {
        const auto start = std::chrono::steady_clock::now();
        work();
        return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count();
    }
    static double median(std::vector<double> samples) {
        if (samples.empty())
            return 0;
        std::sort(samples.begin(), samples.end());
        const std::size_t middle = samples.size() / 2;
        return samples.size() % 2 != 0 ? samples[middle]
                                       : (samples[middle - 1] + samples[middle]) / 2;
    }

    struct round {
        double library_us;
        double limit_us;
        double ratio;
    };
    std::vector<round> rounds_;
};

} // namespace vortlink::bench
