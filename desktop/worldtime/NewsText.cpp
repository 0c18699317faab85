#include "desktop/worldtime/NewsText.h"

#include <mutex>

namespace {

struct NewsSlot {
    std::mutex lock;
    std::string text;
    bool ready = false;
};

// Never destroyed: a download that is still running when the sheet closes may publish while
// the process ends, after static objects are gone.
NewsSlot& newsSlot() {
    static auto* const slot = new NewsSlot;
    return *slot;
}

} // namespace

void publishNewsText(const std::string& text) {
    NewsSlot& slot = newsSlot();
    std::lock_guard<std::mutex> guard(slot.lock);
    slot.text = text;
    slot.ready = true;
}

bool takeNewsText(std::string& text) {
    NewsSlot& slot = newsSlot();
    std::lock_guard<std::mutex> guard(slot.lock);
    if (!slot.ready) {
        return false;
    }
    text = slot.text;
    slot.ready = false;
    return true;
}
