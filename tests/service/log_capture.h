#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "model/host_link.h"

namespace pixolune::test {

// Installs a host callback that records every log line for the life of the
// object, and removes it again afterwards.
class LogCapture {
  public:
    LogCapture() {
        Clear();
        SetHostCallback(&Callback);
    }
    ~LogCapture() { SetHostCallback(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> All() const {
        std::lock_guard<std::mutex> lock(Mutex());
        return Lines();
    }
    bool Has(const std::string& line) const {
        for (const std::string& logged : All())
            if (logged == line) return true;
        return false;
    }
    bool HasContaining(const std::string& text) const {
        for (const std::string& logged : All())
            if (logged.find(text) != std::string::npos) return true;
        return false;
    }
    size_t Count(const std::string& prefix) const {
        size_t count = 0;
        for (const std::string& logged : All()) count += logged.rfind(prefix, 0) == 0 ? 1 : 0;
        return count;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(Mutex());
        Lines().clear();
    }

  private:
    static int Callback(int code, intptr_t, intptr_t text) {
        if (code != KAL_CB_LOG) return 0;
        std::lock_guard<std::mutex> lock(Mutex());
        Lines().emplace_back(reinterpret_cast<const char*>(text));
        return 1;
    }
    static std::mutex& Mutex() {
        static std::mutex mutex;  // guards Lines()
        return mutex;
    }
    static std::vector<std::string>& Lines() {
        static std::vector<std::string> lines;
        return lines;
    }
};

}  // namespace pixolune::test
