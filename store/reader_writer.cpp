#include "store/reader_writer.h"

namespace tessary {

bool WaitSucceeded(DWORD waitResult) { return waitResult == WAIT_OBJECT_0 || waitResult == WAIT_ABANDONED; }

bool WaitForever(HANDLE object) { return object != nullptr && WaitSucceeded(::WaitForSingleObject(object, INFINITE)); }

bool ReaderEnter(HANDLE readSem, HANDLE writeSem, int32_t* readers) {
    if (readSem == nullptr || readers == nullptr) return false;
    if (!WaitForever(readSem)) return false;
    const int32_t before = (*readers)++;
    if (before == 0 && writeSem != nullptr && !WaitForever(writeSem)) {
        --*readers;
        ::ReleaseSemaphore(readSem, 1, nullptr);
        return false;
    }
    ::ReleaseSemaphore(readSem, 1, nullptr);
    return true;
}

bool ReaderLeave(HANDLE readSem, HANDLE writeSem, int32_t* readers) {
    if (readSem == nullptr || readers == nullptr) return false;
    if (!WaitForever(readSem)) return false;
    const int32_t before = (*readers)--;
    if (before == 1 && writeSem != nullptr) ::ReleaseSemaphore(writeSem, 1, nullptr);
    ::ReleaseSemaphore(readSem, 1, nullptr);
    return true;
}

bool WriterEnter(HANDLE writeSem, DWORD timeoutMs) {
    return writeSem != nullptr && WaitSucceeded(::WaitForSingleObject(writeSem, timeoutMs));
}

void WriterLeave(HANDLE writeSem) {
    if (writeSem != nullptr) ::ReleaseSemaphore(writeSem, 1, nullptr);
}

}  // namespace tessary
