#include "refresher.h"

namespace web {

constexpr std::chrono::seconds Refresher::PERIOD;
constexpr std::chrono::seconds Refresher::LOOKED_FOR;

void Refresher::start() {
    thread_ = std::thread([this] { run(); });
}

void Refresher::stop() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

bool Refresher::looked_at(std::chrono::steady_clock::time_point now) const {
    return asked_ && now - asked_at_ <= LOOKED_FOR;
}

Refresher::Latest Refresher::latest() {
    std::unique_lock<std::mutex> hold(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (!looked_at(now)) {
        // Texts from before the pause would be old: wait for the read this ask starts.
        asked_ = true, asked_at_ = now;
        const unsigned long before = reads_;
        changed_.notify_all();
        changed_.wait(hold, [&] { return stopping_ || reads_ != before; });
    }
    asked_at_ = now;
    return Latest{texts_, stale_, error_};
}

void Refresher::run() {
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stopping_) {
        if (!looked_at(std::chrono::steady_clock::now())) {
            changed_.wait(hold,
                          [&] { return stopping_ || looked_at(std::chrono::steady_clock::now()); });
            continue;
        }
        hold.unlock();
        LineTexts texts;
        std::string error;
        const int read = reader_.read(ledger::now_ms(), texts, error);
        hold.lock();
        if (read == 0)
            texts_ = std::make_shared<const LineTexts>(std::move(texts)), error_.clear();
        else
            error_ = error;
        stale_ = read != 0;
        ++reads_;
        changed_.notify_all();
        changed_.wait_for(hold, PERIOD, [&] { return stopping_; });
    }
}

} // namespace web
