// Runs a program as a user would and captures what it prints.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct ProcessResult {
    std::string out;
    std::string err;
    int status = -1;      // exit status, or -1 when stopped by a signal
    int signal = 0;       // the signal that ended it, if any
    bool stopped = false; // stopped by us once stop_when held
};

struct ProcessOptions {
    std::vector<std::string> env;                      // extra NAME=value entries
    std::function<bool(const std::string&)> stop_when; // looked at stdout after each read
    std::string cwd;
    int uid = -1; // run as this user (and gid) when we are root
    int gid = -1;
    int timeout_ms = 20000; // then SIGKILL; the result's signal tells
};

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});
