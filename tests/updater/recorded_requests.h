#pragma once

// The emulator's recorded requests of one endpoint, reduced to method and exact
// body bytes (taken from the records' base64 form). Test support only.

#include <string>
#include <vector>

#include "tests/support/emulator_control.h"

namespace tessary::testing {

struct RecordedRequest {
    std::string method;
    std::string path;
    std::string body;
};

inline std::string DecodeBase64(const std::string& text) {
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else
            continue;
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
        }
    }
    return out;
}

// The text of the first string member `name` at or after `from` ("" when none);
// *next receives the position after it.
inline std::string StringMember(const std::string& json, const std::string& name, size_t from, size_t* next) {
    const std::string key = "\"" + name + "\": \"";
    size_t at = json.find(key, from);
    if (at == std::string::npos) {
        *next = std::string::npos;
        return {};
    }
    at += key.size();
    size_t end = json.find('"', at);
    *next = end;
    return json.substr(at, end - at);
}

// Requests of `endpoint` ("events", "raw", ...), oldest first. Each record holds
// its members in the order the emulator writes them: method, path, ..., body_b64.
inline std::vector<RecordedRequest> RecordedRequests(const EmulatorControl& emulator, const std::wstring& endpoint) {
    std::string json;
    std::vector<RecordedRequest> requests;
    if (!emulator.Call(L"GET", L"requests?endpoint=" + endpoint, "", &json)) return requests;
    size_t at = 0;
    while (true) {
        RecordedRequest request;
        size_t next = 0;
        request.method = StringMember(json, "method", at, &next);
        if (next == std::string::npos) break;
        request.path = StringMember(json, "path", next, &next);
        request.body = DecodeBase64(StringMember(json, "body_b64", next, &next));
        if (next == std::string::npos) break;
        requests.push_back(request);
        at = next;
    }
    return requests;
}

}  // namespace tessary::testing
