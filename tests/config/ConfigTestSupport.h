// Helpers for the configuration store tests: a log back end that keeps every
// message, and a look at which files a directory holds.
#pragma once

#include "config/ConfigFileSupport.h"

#include <dirent.h>

#include <mutex>
#include <string>
#include <vector>

#include "Log.h"
#include "LogImp.h"

namespace kvotest {

class CapturedLog : public LogImp {
public:
    int ClearLog() override { return 1; }
    int LogMessage(int level, const char* text) override {
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.push_back(std::to_string(level) + ":" + (text ? text : ""));
        return 1;
    }
    int ShowMessage(int level, const char* text) override { return LogMessage(level, text); }

    // Messages of `level` containing `part`.
    int Count(int level, const std::string& part) const {
        std::lock_guard<std::mutex> guard(mutex_);
        int n = 0;
        std::string prefix = std::to_string(level) + ":";
        for (const auto& line : lines_) {
            if (line.compare(0, prefix.size(), prefix) == 0 && line.find(part) != std::string::npos) ++n;
        }
        return n;
    }
    size_t Size() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_.size();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A store on `file` whose log lines are captured instead of printed.
struct Store {
    explicit Store(const std::string& file) {
        config.SetLogImp(&log);
        config.Initialize(file.c_str());
    }
    CapturedLog log;
    ConfigFileSupport config;
};

inline std::vector<std::string> DirectoryEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

}  // namespace kvotest
