#include "desktop/worldtime/NewsText.h"

#include <mutex>

namespace {
std::mutex newsLock;
std::string g_newsText;
bool g_newsTextReady = false;
} // namespace

void publishNewsText(const std::string& text) {
    std::lock_guard<std::mutex> guard(newsLock);
    g_newsText = text;
    g_newsTextReady = true;
}

bool takeNewsText(std::string& text) {
    std::lock_guard<std::mutex> guard(newsLock);
    if (!g_newsTextReady) {
        return false;
    }
    text = g_newsText;
    g_newsTextReady = false;
    return true;
}
