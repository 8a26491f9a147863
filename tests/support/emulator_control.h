#pragma once

// Control client for the service emulator the test runs against (started by
// tests/emulator/with_emulator.sh, port in TS_EMULATOR_PORT). Uses WinHTTP
// directly, so scripting the emulator does not depend on the code under test.
// Test support only.

#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

namespace tessary::testing {

class EmulatorControl {
public:
    // Reads the port; port() is 0 when TS_EMULATOR_PORT is missing.
    EmulatorControl() {
        wchar_t text[16] = {};
        DWORD n = ::GetEnvironmentVariableW(L"TS_EMULATOR_PORT", text, 16);
        if (n > 0 && n < 16) port_ = static_cast<INTERNET_PORT>(_wtoi(text));
    }

    INTERNET_PORT port() const { return port_; }
    std::wstring Origin() const { return L"http://127.0.0.1:" + std::to_wstring(port_); }
    std::wstring Url(const std::wstring& path) const { return Origin() + path; }

    // Sends a control request; true on status 200 with the body in *answer.
    bool Call(const wchar_t* method, const std::wstring& command, const std::string& json,
              std::string* answer = nullptr) const {
        HINTERNET session = ::WinHttpOpen(L"control", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
        HINTERNET connection = session ? ::WinHttpConnect(session, L"127.0.0.1", port_, 0) : nullptr;
        std::wstring object = L"/__control/" + command;
        HINTERNET request = connection
                                ? ::WinHttpOpenRequest(connection, method, object.c_str(), nullptr, nullptr, nullptr, 0)
                                : nullptr;
        bool ok = false;
        std::string body;
        if (request &&
            ::WinHttpSendRequest(request, L"Content-Type: application/json", DWORD(-1),
                                 json.empty() ? nullptr : const_cast<char*>(json.data()), DWORD(json.size()),
                                 DWORD(json.size()), 0) &&
            ::WinHttpReceiveResponse(request, nullptr)) {
            DWORD status = 0;
            DWORD size = sizeof(status);
            ::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &status,
                                  &size, nullptr);
            char buffer[8192];
            DWORD got = 0;
            while (::WinHttpReadData(request, buffer, sizeof(buffer), &got) && got > 0) body.append(buffer, got);
            ok = status == 200;
        }
        if (request) ::WinHttpCloseHandle(request);
        if (connection) ::WinHttpCloseHandle(connection);
        if (session) ::WinHttpCloseHandle(session);
        if (answer) *answer = body;
        return ok;
    }

    bool Reset() const { return Call(L"POST", L"reset", "{}"); }
    // Adds one rule or a list of rules (JSON text in the emulator's rule form).
    bool Script(const std::string& rules) const { return Call(L"POST", L"script", rules); }
    // The recorded requests as JSON text ("" when the call fails).
    std::string Requests() const {
        std::string answer;
        return Call(L"GET", L"requests", "", &answer) ? answer : std::string();
    }
    // A whole-number field of the stats object; -1 when missing.
    long Stat(const std::string& name) const {
        std::string answer;
        if (!Call(L"GET", L"stats", "", &answer)) return -1;
        const std::string key = "\"" + name + "\": ";
        size_t at = answer.find(key);
        return at == std::string::npos ? -1 : std::stol(answer.substr(at + key.size()));
    }

private:
    INTERNET_PORT port_ = 0;
};

// The decrypted request texts the emulator recorded, in order.
inline std::vector<std::string> QueryTexts(const EmulatorControl& emulator) {
    std::vector<std::string> texts;
    const std::string json = emulator.Requests();
    const std::string key = "\"request_text\": \"";
    for (size_t at = json.find(key); at != std::string::npos; at = json.find(key, at + 1)) {
        std::string text;
        for (size_t i = at + key.size(); i < json.size() && json[i] != '"'; ++i) {
            if (json[i] == '\\' && i + 1 < json.size()) {
                ++i;
                if (json[i] == 'u' && i + 4 < json.size()) {
                    text += static_cast<char>(std::stoi(json.substr(i + 1, 4), nullptr, 16));
                    i += 4;
                    continue;
                }
            }
            text += json[i];
        }
        texts.push_back(text);
    }
    return texts;
}

// Number of times `needle` occurs in `text`.
inline size_t CountOf(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
    return count;
}

}  // namespace tessary::testing
