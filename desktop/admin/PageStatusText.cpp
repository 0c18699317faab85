#include "desktop/admin/PageStatusText.h"

std::string pageStatusText(const std::string& statusLine,
                           const std::optional<std::string>& windowsTimeType) {
    if (!windowsTimeType) {
        return statusLine;
    }
    // A line of its own: appended, a long status line would wrap mid-sentence.
    return statusLine + "\r\nThe Windows Time service steers this clock too (Type " +
           *windowsTimeType + ").";
}
