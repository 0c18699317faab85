#include "desktop/admin/ProgramPaths.h"

std::string folderOf(const std::string& path) {
    const std::size_t last = path.find_last_of("\\/");
    if (last != std::string::npos) {
        return path.substr(0, last + 1);
    }
    // A drive alone, as in "C:Klemora.exe".
    if (path.size() >= 2 && path[1] == ':') {
        return path.substr(0, 2);
    }
    return {};
}

std::string quotedServicePath(const std::string& path) {
    if (path.find_first_of(" \t\"") == std::string::npos) {
        return path;
    }
    std::string quoted = "\"";
    for (const char c : path) {
        if (c == '\\' || c == '"') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}
