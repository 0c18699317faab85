#include "service/engine/win/MetricsFile.h"

#include "win32/Guards.h"

LONG writeMetricsFile(const std::string& path, const std::string& text) {
    // Beside the target, so that the move stays on one volume; a collector reads only *.prom.
    const std::string temporary = path + ".tmp";
    {
        const FileHandle file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return static_cast<LONG>(GetLastError());
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr) ||
            written != text.size()) {
            const DWORD error = GetLastError();
            DeleteFileA(temporary.c_str());
            return static_cast<LONG>(error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT);
        }
    }
    // A file that a reader (the collector, a virus scanner) holds open cannot be replaced:
    // such a read ends within moments, so the move is tried again, for half a second at most.
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (MoveFileExA(temporary.c_str(), path.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return ERROR_SUCCESS;
        }
        error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) {
            break;
        }
        Sleep(50);
    }
    DeleteFileA(temporary.c_str());
    return static_cast<LONG>(error);
}
