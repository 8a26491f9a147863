#include "Logging/etw_payload.h"

namespace tessary::ETWLogging {
namespace {

void PutLittleEndian(std::vector<uint8_t>* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutString(std::vector<uint8_t>* out, std::u16string_view text) {
    if (text.size() > kPayloadStringLimit) text = text.substr(0, kPayloadStringLimit);
    PutLittleEndian(out, text.size(), 2);
    for (char16_t unit : text) PutLittleEndian(out, unit, 2);
}

}  // namespace

std::vector<uint8_t> BuildEventPayload(const EventPayloadFields& f) {
    std::vector<uint8_t> out;
    out.reserve(32 + 2 * (f.processName.size() + f.sourceFile.size() + f.function.size() + f.moduleDirectory.size() +
                          f.moduleVersion.size() + f.group.size()));
    PutLittleEndian(&out, f.processId, 4);
    PutLittleEndian(&out, f.threadId, 4);
    PutString(&out, f.processName);
    PutString(&out, f.sourceFile);
    PutString(&out, f.function);
    PutLittleEndian(&out, static_cast<uint32_t>(f.line), 4);
    PutString(&out, f.moduleDirectory);
    PutString(&out, f.moduleVersion);
    PutString(&out, f.group);
    PutLittleEndian(&out, f.messageBytes, 8);
    return out;
}

uint8_t TraceLevelForSeverity(uint32_t severity) noexcept {
    return (severity >= 1 && severity <= 5) ? static_cast<uint8_t>(severity) : 3;
}

}  // namespace tessary::ETWLogging
