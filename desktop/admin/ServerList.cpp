#include "desktop/admin/ServerList.h"

std::vector<std::string> serverListEntries(const std::string& content) {
    std::vector<std::string> entries;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        const std::size_t next = end == std::string::npos ? content.size() : end + 1;
        if (end == std::string::npos) {
            end = content.size();
        }
        if (end > start && content[end - 1] == '\r') {
            --end;
        }
        entries.push_back(content.substr(start, end - start));
        start = next;
    }
    return entries;
}
