// The line's texts, read in the background while someone looks: viewers get the last texts
// read and never wait on the ledger, and twenty viewers cost the ledger what one costs.
#pragma once

#include "line_data.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace web {

class Refresher {
  public:
    static constexpr std::chrono::seconds PERIOD{1};      // at most one read a second
    static constexpr std::chrono::seconds LOOKED_FOR{30}; // reads go on this long after an ask

    // Reads through `led`, which it alone uses from then on.
    explicit Refresher(ledger::Ledger& led) : reader_(led) {}
    ~Refresher() { stop(); }
    Refresher(const Refresher&) = delete;
    Refresher& operator=(const Refresher&) = delete;
    void start();
    void stop();

    struct Latest {
        std::shared_ptr<const LineTexts> texts; // null when none was ever read
        bool stale = false;                     // the latest read failed: error says why
        std::string error;
    };
    // The last texts read. The first ask, and the first after a pause of LOOKED_FOR, waits
    // for the read it starts; every other returns at once.
    Latest latest();

  private:
    void run();
    bool looked_at(std::chrono::steady_clock::time_point now) const;

    LineReader reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::shared_ptr<const LineTexts> texts_;
    std::string error_;
    bool stale_ = false, stopping_ = false, asked_ = false;
    std::chrono::steady_clock::time_point asked_at_;
    unsigned long reads_ = 0; // reads done, failed or not
    std::thread thread_;
};

} // namespace web
