#include "desktop/admin/win/FileVersionInfo.h"

#include "desktop/admin/VersionText.h"
#include "win32/Guards.h"
#include "win32/ModulePath.h"

#include <cstdio>
#include <cstring>

namespace {

std::string thisProgram() {
    return modulePath();
}

template <typename Build> std::string versionTextOfThisProgram(Build build) {
    CFileVersionInfo info;
    if (!info.read(thisProgram().c_str())) {
        return {};
    }
    const ProgramVersion version{info.fixedInfo.dwFileVersionMS, info.fixedInfo.dwFileVersionLS,
                                 [&info](const char* name) { return info.value(name); }};
    return build(version);
}

} // namespace

bool CFileVersionInfo::read(const char* moduleName) {
    codePage = 1252;
    fixedInfo = {};
    // Loaded for the duration of the read, so that a module name of any loaded or loadable
    // module can be asked.
    LibraryHandle library(LoadLibraryA(moduleName));
    const HMODULE module = GetModuleHandleA(moduleName);
    if (module == nullptr && moduleName != nullptr) {
        return false;
    }
    const std::string path = modulePath(module);
    if (path.empty()) {
        return false;
    }
    const char* fileName = path.c_str();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(fileName, &handle);
    if (size == 0) {
        return false;
    }
    data.assign(size, 0);
    if (!GetFileVersionInfoA(fileName, 0, size, data.data())) {
        data.clear();
        return false;
    }
    void* fixed = nullptr;
    UINT fixedSize = 0;
    char root[] = "\\";
    if (!VerQueryValueA(data.data(), root, &fixed, &fixedSize) || fixed == nullptr) {
        return false;
    }
    std::memcpy(&fixedInfo, fixed, std::min<std::size_t>(fixedSize, sizeof fixedInfo));
    void* translation = nullptr;
    UINT translationSize = 0;
    char translationPath[] = "\\VarFileInfo\\Translation";
    if (VerQueryValueA(data.data(), translationPath, &translation, &translationSize) &&
        translation != nullptr && translationSize >= 4) {
        const auto* words = static_cast<const WORD*>(translation);
        language = words[0];
        codePage = words[1];
    }
    return fixedInfo.dwSignature == 0xFEEF04BD;
}

std::string CFileVersionInfo::value(const char* name) const {
    if (data.empty()) {
        return {};
    }
    char path[256];
    std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", language, codePage, name);
    void* text = nullptr;
    UINT length = 0;
    // VerQueryValueA only reads the block; it takes it as non-const all the same.
    auto* block = const_cast<BYTE*>(data.data());
    if (!VerQueryValueA(block, path, &text, &length) || text == nullptr || length == 0) {
        return {};
    }
    return static_cast<const char*>(text);
}

std::string infoVersionTextOfThisProgram() {
    return versionTextOfThisProgram(&infoVersionText);
}

std::string aboutVersionTextOfThisProgram() {
    return versionTextOfThisProgram(&aboutVersionText);
}
