// korvo-usbredir: the bench's bootloader model as real USB devices. Each
// socket is one slot that QEMU's usb-redir device connects to, e.g.
//
//   korvo-usbredir out/ /tmp/slot0.sock /tmp/slot1.sock
//   qemu-system-x86_64 ... -device qemu-xhci,id=xhci
//       -chardev socket,id=slot0,path=/tmp/slot0.sock,reconnect=1
//       -device usb-redir,chardev=slot0,bus=xhci.0
//
// Commands come one per line on standard input (see usbredir_commands.h).
// What happens is noted in out/events (see EventLog); each device's memories
// and request log go to out/<name>.flash (all of the part's flash), .eeprom,
// .log (the bench's format, class and vendor requests only) and .times (a line
// "<n> <t> <busy>" for each request of the log: when the model took it, on the
// events' clock, and the microseconds the part was busy with it) when it leaves
// the bus, is unplugged or saved, and when the front end ends. A device leaves
// the bus by itself once the model has carried out a start of the application.
#include "usbredir_slot.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using sim::usbredir::Command;
using sim::usbredir::CommandError;
using sim::usbredir::Slot;

constexpr int kMaxSlots = 127; // one USB address each on the bench's bus
constexpr int kUsageError = 2;
constexpr int kRuntimeError = 1;
constexpr long long kNanosecondsPerSecond = 1000000000;
using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_stop = 0;

void request_stop(int) {
    g_stop = 1;
}

class Frontend {
  public:
    Frontend(const std::string& out_dir, const std::vector<std::string>& sockets)
        : events_(out_dir + "/events") {
        sim::Bench& bench = sim::Bench::install();
        for (std::size_t i = 0; i < sockets.size(); ++i)
            slots_.push_back(
                std::make_unique<Slot>(i, bench, sockets[i], out_dir, events_, used_names_));
        events_.note(0, "", "listening slots=" + std::to_string(slots_.size()));
    }

    void run() {
        while (!g_stop && !quit_) {
            std::vector<pollfd> fds{{STDIN_FILENO, POLLIN, 0}};
            for (const auto& slot : slots_) {
                fds.push_back({slot->listen_fd(), POLLIN, 0});
                const short client_events =
                    static_cast<short>(POLLIN | (slot->wants_write() ? POLLOUT : 0));
                fds.push_back({slot->client_fd(), client_events, 0});
            }
            if (input_closed_)
                fds[0].fd = -1;
            // Until the first held request or busy reply is due: to the microsecond, since a
            // part's page write takes a few milliseconds.
            std::optional<Clock::time_point> due;
            for (const auto& slot : slots_) {
                const auto slot_due = slot->next_due();
                if (slot_due && (!due || *slot_due < *due))
                    due = slot_due;
            }
            timespec wait{};
            if (due) {
                const auto left = std::max(Clock::duration::zero(), *due - Clock::now());
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                wait.tv_sec = static_cast<time_t>(ns / kNanosecondsPerSecond);
                wait.tv_nsec = static_cast<long>(ns % kNanosecondsPerSecond);
            }
            if (::ppoll(fds.data(), fds.size(), due ? &wait : nullptr, nullptr) < 0)
                continue; // a signal: the loop condition decides
            if (fds[0].revents)
                read_commands();
            for (std::size_t i = 0; i < slots_.size(); ++i) {
                const pollfd& listener = fds[1 + 2 * i];
                const pollfd& client = fds[2 + 2 * i];
                if (client.fd >= 0 && (client.revents & (POLLIN | POLLHUP | POLLERR)))
                    slots_[i]->on_readable();
                if (listener.revents & POLLIN)
                    slots_[i]->accept_client();
                slots_[i]->on_timer();
                slots_[i]->on_writable();
            }
        }
        for (const auto& slot : slots_) {
            if (slot->has_device())
                slot->save();
        }
        events_.note(0, "", "stopped");
    }

  private:
    void read_commands() {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            // The end of the commands is the end of the run.
            input_closed_ = true;
            quit_ = true;
            return;
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
        std::size_t newline;
        while ((newline = pending_.find('\n')) != std::string::npos) {
            const std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            carry_out(line);
        }
    }

    void carry_out(const std::string& line) {
        try {
            const auto command = sim::usbredir::parse_command(line);
            if (!command)
                return;
            if (command->kind == Command::Kind::Quit) {
                quit_ = true;
                return;
            }
            if (command->slot >= slots_.size())
                throw CommandError("no slot " + std::to_string(command->slot));
            Slot& slot = *slots_[command->slot];
            switch (command->kind) {
            case Command::Kind::Plug:
                slot.plug(*command);
                break;
            case Command::Kind::Slow:
                slot.set_slow(command->slow_ms);
                break;
            case Command::Kind::Unplug:
                slot.unplug();
                break;
            case Command::Kind::Save:
                slot.save();
                break;
            case Command::Kind::Quit:
                break;
            }
        } catch (const CommandError& error) {
            events_.note(0, "", std::string("error: ") + error.what() + " in \"" + line + "\"");
            std::fprintf(stderr, "korvo-usbredir: %s in \"%s\"\n", error.what(), line.c_str());
        }
    }

    sim::usbredir::EventLog events_;
    std::set<std::string> used_names_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::string pending_;
    bool input_closed_ = false;
    bool quit_ = false;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc - 2 > kMaxSlots) {
        std::fprintf(stderr, "Usage: %s <out-dir> <socket>...  (1 to %d sockets)\n", argv[0],
                     kMaxSlots);
        return kUsageError;
    }
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction stop {};
    stop.sa_handler = request_stop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    try {
        Frontend frontend(argv[1], std::vector<std::string>(argv + 2, argv + argc));
        frontend.run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvo-usbredir: %s\n", error.what());
        return kRuntimeError;
    }
    return 0;
}
