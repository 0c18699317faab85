#include "service/host/win/RealtimePriority.h"

#include "service/errors/BaseException.h"

RealtimePriority::RealtimePriority()
    : process_(GetCurrentProcess()), savedClass_(GetPriorityClass(process_)) {
    if (!SetPriorityClass(process_, REALTIME_PRIORITY_CLASS))
        throw LastErrorException("SetPriorityClass", "%a: %r");
}

RealtimePriority::~RealtimePriority() {
    SetPriorityClass(process_, savedClass_);
}
