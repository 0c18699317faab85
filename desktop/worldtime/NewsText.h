// The hand-over of a downloaded ticker text to the painting. A download builds its text
// privately and publishes it whole, with the ready flag, under a lock; the painting takes it
// when the ticker starts again. Portable.
#pragma once

#include <string>

void publishNewsText(const std::string& text);
// True, with the text, when a published text waits; the flag is cleared.
bool takeNewsText(std::string& text);
