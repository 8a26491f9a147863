#pragma once

// Records the security calls the product makes (the observer seam of
// platform/security_descriptor.h) while an object of RecordedSecurityCalls
// lives. Test support only.

#include <mutex>
#include <string>
#include <vector>

#include "platform/security_descriptor.h"

namespace tessary::testing {

class RecordedSecurityCalls {
public:
    RecordedSecurityCalls() {
        Clear();
        previous_ = security::SetSecurityObserver(&Record);
    }
    ~RecordedSecurityCalls() { security::SetSecurityObserver(previous_); }
    RecordedSecurityCalls(const RecordedSecurityCalls&) = delete;
    RecordedSecurityCalls& operator=(const RecordedSecurityCalls&) = delete;

    // The calls made on `target` so far, in order.
    std::vector<security::SecurityEvent> On(const std::wstring& target) const {
        std::lock_guard<std::mutex> lock(Lock());
        std::vector<security::SecurityEvent> found;
        for (const security::SecurityEvent& event : Events()) {
            if (::CompareStringOrdinal(event.target.c_str(), -1, target.c_str(), -1, TRUE) == CSTR_EQUAL) {
                found.push_back(event);
            }
        }
        return found;
    }
    // Every call so far, in order.
    std::vector<security::SecurityEvent> All() const {
        std::lock_guard<std::mutex> lock(Lock());
        return Events();
    }
    static void Clear() {
        std::lock_guard<std::mutex> lock(Lock());
        Events().clear();
    }

    // The model's descriptor for `what` in the canonical text the events carry.
    static std::wstring Model(security::Secured what) {
        return security::Describe(security::BuildDescriptor(what).get(), true);
    }

private:
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
    static std::vector<security::SecurityEvent>& Events() {
        static std::vector<security::SecurityEvent> events;
        return events;
    }
    static void Record(const security::SecurityEvent& event) {
        std::lock_guard<std::mutex> lock(Lock());
        Events().push_back(event);
    }

    security::SecurityObserver previous_ = nullptr;
};

}  // namespace tessary::testing
