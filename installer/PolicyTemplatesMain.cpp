// pendra-policy-templates FOLDER: writes FOLDER\Pendra.admx and FOLDER\en-US\Pendra.adml, the
// administrative templates that the package installs beside the programs.
#include "installer/PolicyTemplates.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>

namespace {

// Windows line ends: the files are read there, also by people in older editors.
bool writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    for (const char c : text) {
        if (c == '\n') {
            file.put('\r');
        }
        file.put(c);
    }
    file.close();
    if (!file) {
        std::cerr << "pendra-policy-templates: cannot write " << path.string() << "\n";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: pendra-policy-templates FOLDER\n";
        return 2;
    }
    const std::filesystem::path folder(argv[1]);
    const std::filesystem::path language = folder / policy_templates::admlFolder;
    std::error_code error;
    std::filesystem::create_directories(language, error);
    if (error) {
        std::cerr << "pendra-policy-templates: cannot create " << language.string() << ": "
                  << error.message() << "\n";
        return 1;
    }
    const bool written = writeFile(folder / policy_templates::admxName, policy_templates::admx()) &&
                         writeFile(language / policy_templates::admlName, policy_templates::adml());
    return written ? 0 : 1;
}
